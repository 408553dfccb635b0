// The running game's figures: the whole game machinery (every thread, the real window, under a private
// Xvfb unless DISPLAY is set) runs in this process for 10 s, then this prints physics ticks, input samples
// and frames a second, the CPU time of the process as a share of one core and per frame drawn, the physics
// thread's share, and the peak resident memory.
//
//   build/bench/game_figures [seconds]             steady play: two tireless players keep the ball in play
//   build/bench/game_figures --paused [seconds]    play paused from the menu ("Zatrzymaj")
//   build/bench/game_figures --compare OLD NEW [seconds]
//       OLD and NEW are the bench folders of two builds of the game. Runs both builds' steady play, paused
//       play and full-board frame (draw_frame) alternately, OLD NEW OLD NEW, so that both meet the same
//       load on a busy machine, and prints each figure's mean for both and the ratio NEW / OLD.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "graphics/process_graphics.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "physics/process_physics.hpp"
#include "startup/multiplayer_tolvaran.hpp"
#include "state/game_state.hpp"
#include "support/game_process.hpp"

namespace {

using namespace std::chrono;

// CPU seconds of each of this process's threads, by thread name (threads of one name added up).
std::map<std::string, double> cpu_by_thread() {
  std::map<std::string, double> seconds;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string stat = testing_support::read_file(task.path() / "stat");
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
      if (i >= 12) ticks += std::stod(field);
    std::string name = stat.substr(open + 1, close - open - 1);
    if (name.rfind("llvmpipe", 0) == 0) name = "llvmpipe (all)";
    seconds[name] += ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return seconds;
}

struct counters {
  std::uint64_t ticks, samples, frames;
  double cpu, x_cpu;
  int lost;
  std::map<std::string, double> threads;
  steady_clock::time_point at;
};

// ---------------------------------------------------------------------------------------------------------
// Comparing two builds

using figures = std::map<std::string, double>;

// The "label:  number" lines of a program's output, labelled with `prefix`; of a benchmark's JSON output
// only the times of one full-board frame.
figures run_for_figures(const std::string& command, const std::string& prefix) {
  const testing_support::command_result run = testing_support::run_command(command + " 2>/dev/null");
  if (run.status != 0) throw std::runtime_error("failed: " + command);
  figures found;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    label.erase(0, label.find_first_not_of(' '));
    if (label == "\"cpu_time\"") label = "full-board frame CPU, ms";
    if (label == "\"real_time\"") label = "full-board frame wall time, ms";
    if (label.starts_with('"')) continue;  // the rest of a benchmark's JSON
    char* end = nullptr;
    const double value = std::strtod(line.c_str() + colon + 1, &end);
    if (end == line.c_str() + colon + 1) continue;
    found[prefix + label] = value;
  }
  return found;
}

// One build's figures: steady play, paused play and one full-board frame.
figures measure_build(const std::filesystem::path& bench, const std::string& seconds) {
  const auto program = [&](const char* name) { return "'" + (bench / name).string() + "' "; };
  figures all = run_for_figures(program("game_figures") + seconds, "play: ");
  all.merge(run_for_figures(program("game_figures") + "--paused " + seconds, "paused: "));
  all.merge(
      run_for_figures(program("draw_frame") + "--benchmark_format=json --benchmark_min_time=3", "frame: "));
  return all;
}

int compare_builds(const std::filesystem::path& old_bench, const std::filesystem::path& new_bench,
                   const std::string& seconds) {
  std::printf("load average at the start: %s\n", bench::load_average().c_str());
  std::map<std::string, std::pair<double, double>> sums;  // old, new
  for (int round = 1; round <= 2; ++round)
    for (const bool is_new : {false, true}) {
      std::printf("round %d, %s build ...\n", round, is_new ? "new" : "old");
      std::fflush(stdout);
      for (const auto& [label, value] : measure_build(is_new ? new_bench : old_bench, seconds))
        (is_new ? sums[label].second : sums[label].first) += value;
    }
  std::printf("load average at the end:   %s\n\n", bench::load_average().c_str());
  std::printf("%-48s %10s %10s %8s\n", "figure (mean of two runs each)", "old", "new", "new/old");
  for (const auto& [label, sum] : sums) {
    const double old_mean = sum.first / 2.0, new_mean = sum.second / 2.0;
    std::printf("%-48s %10.3f %10.3f", label.c_str(), old_mean, new_mean);
    if (old_mean != 0.0)
      std::printf(" %8.3f\n", new_mean / old_mean);
    else
      std::printf(" %8s\n", "-");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--compare") {
    if (args.size() < 3) {
      std::fprintf(stderr, "usage: game_figures --compare OLD_BENCH_DIR NEW_BENCH_DIR [seconds]\n");
      return 2;
    }
    try {
      return compare_builds(args[1], args[2], args.size() > 3 ? args[3] : "10");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
  }
  const bool paused = !args.empty() && args[0] == "--paused";
  const std::size_t seconds_at = paused ? 1 : 0;
  const double seconds = args.size() > seconds_at ? std::atof(args[seconds_at].c_str()) : 10.0;
  std::unique_ptr<testing_support::xvfb_server> x;
  if (std::getenv("DISPLAY") == nullptr) x = std::make_unique<testing_support::xvfb_server>();

  // The game runs from a scratch directory holding the shipped boards; its log goes there too.
  const auto dir = std::filesystem::temp_directory_path() / ("tolvaran-figures-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir / "boards");
  std::filesystem::current_path(dir);

  int game_argc = 1;
  static char name[] = "multiplayer_tolvaran";
  static char* game_argv[] = {name, nullptr};
  startup::static_initialisation(game_argc, game_argv);
  startup::multiplayer_tolvaran(*runtime_log::log);

  // Steady play: two players who never tire follow the ball with their keys, as people at the keyboard
  // would, so that rallies go on instead of the game pausing for lost balls.
  graphics::menu(common::menu_command::green_jl);  // the green pad back to j/l: the computer lets the ball go
                                                   // 40 % of its cycles
  std::atomic<bool> playing{true};
  std::jthread players([&playing] {
    const auto follow = [](float pad, float ball, unsigned char left, unsigned char right) {
      input::keyboard_state->set_key_up(left);
      input::keyboard_state->set_key_up(right);
      if (ball < pad - 0.3f) input::keyboard_state->set_key_down(left);
      if (ball > pad + 0.3f) input::keyboard_state->set_key_down(right);
    };
    while (playing) {
      const float ball = state::board_state->get_ball().pos.x;
      follow(state::board_state->get_pad1().pos.x, ball, 'a', 'd');
      follow(state::board_state->get_pad2().pos.x, ball, 'j', 'l');
      std::this_thread::sleep_for(5ms);
    }
  });

  std::this_thread::sleep_for(2s);  // let the start-up settle
  if (paused) {
    graphics::menu(common::menu_command::pause);
    std::this_thread::sleep_for(500ms);
  }
  const auto read = [&] {
    return counters{physics::process_physics->ticks(),
                    input::processing_input->samples(),
                    graphics::processing_graphics->frames(),
                    bench::cpu_seconds(),
                    x ? bench::cpu_seconds_of(x->pid()) : 0.0,
                    bench::lost_balls(dir),
                    cpu_by_thread(),
                    steady_clock::now()};
  };
  const counters before = read();
  std::this_thread::sleep_for(duration<double>(seconds));
  const counters after = read();

  playing = false;
  const double span = duration<double>(after.at - before.at).count();
  // A lost ball pauses the physics for 2 s by design; those pauses are not part of the tick rate.
  const double lost = static_cast<double>(after.lost - before.lost);
  if (paused)
    std::printf("play paused for %.1f s\n", span);
  else
    std::printf("steady play for %.1f s, %.0f lost balls (2 s pause each)\n", span, lost);
  std::printf("physics ticks a second:  %.1f\n",
              static_cast<double>(after.ticks - before.ticks) / std::max(0.1, span - 2.0 * lost));
  std::printf("input samples a second:  %.1f\n", static_cast<double>(after.samples - before.samples) / span);
  std::printf("frames drawn a second:   %.1f\n", static_cast<double>(after.frames - before.frames) / span);
  const double frames = static_cast<double>(after.frames - before.frames);
  std::printf("CPU, share of one core:  %.1f %%\n", 100.0 * (after.cpu - before.cpu) / span);
  std::printf("CPU per frame:           %.2f ms\n",
              1000.0 * (after.cpu - before.cpu) / std::max(1.0, frames));
  const auto used_by = [&](const std::string& name) {
    const auto now = after.threads.find(name), earlier = before.threads.find(name);
    return (now == after.threads.end() ? 0.0 : now->second) -
           (earlier == before.threads.end() ? 0.0 : earlier->second);
  };
  std::printf("physics thread CPU:      %.2f %%\n", 100.0 * used_by("physics") / span);
  if (x) std::printf("X server CPU (apart):    %.1f %%\n", 100.0 * (after.x_cpu - before.x_cpu) / span);
  std::printf("peak resident memory:    %.1f MB\n", static_cast<double>(bench::peak_resident_kb()) / 1024.0);
  std::printf("CPU by thread, share of one core:\n");
  for (const auto& thread : after.threads) {
    const double used = used_by(thread.first);
    if (used / span >= 0.001) std::printf("  %-16s %5.1f %%\n", thread.first.c_str(), 100.0 * used / span);
  }
  std::fflush(stdout);

  // The game's threads still run: leave without static destructors. The private X server goes with this
  // process.
  std::error_code ignored;
  std::filesystem::current_path("/", ignored);
  std::filesystem::remove_all(dir, ignored);
  std::_Exit(0);
}
