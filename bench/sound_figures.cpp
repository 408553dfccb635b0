// What the sound costs the game and how soon it is heard. The real physics thread ticks a ball that bounces
// for ever inside a box of firm bricks, and another thread records a brick destroyed 20 times a second on the
// same channel, as a busy rally would. Runs without the sound and with it (the game's sound thread on
// OpenAL Soft's wave writer, mixing into /dev/null in real time, as a device would) alternate, so that both
// meet the same load, and this prints:
//   - the physics ticks a second without and with the sound, and their ratio;
//   - from an event's recording to its clip handed to the mixer (alSourcePlay returned): p50, p95, max;
//   - from the recording to the clip's first samples mixed (the device clock first seen moving after its
//     start), in a run of its own: this adds the mixer's own period, given with it;
//   - the CPU the whole process uses without and with the sound, as a share of one core, and the difference.
//
//   sound_figures [seconds per run, default 5] [runs of each, default 3] [mixer period in samples, default
//   1024, OpenAL Soft's own]
#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "physics/process_physics.hpp"
#include "sound/sound_output.hpp"
#include "sound/synthesis.hpp"
#include "support/quiet_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// When each of the bench's bricks was recorded, in order; the sound plays them in that order.
struct recordings {
  std::mutex mutex;
  std::deque<steady_clock::time_point> times;
};

// The samples the device has mixed so far, in nanoseconds of sound; it moves on once a mixer period.
std::int64_t device_clock() {
  ALCint64SOFT clock = 0;
  if (ALCcontext* context = alcGetCurrentContext())
    alcGetInteger64vSOFT(alcGetContextsDevice(context), ALC_DEVICE_CLOCK_SOFT, 1, &clock);
  return clock;
}

// The game's speaker, timed: from the recording to alSourcePlay; a watcher then sees the clip mixed.
class timed_speaker final : public sound::speaker {
 public:
  timed_speaker(sound::speaker& inner, recordings& recorded) : inner_(inner), recorded_(recorded) {}

  bool play(std::size_t s, const sound::heard& where) override {
    const bool started = inner_.play(s, where);
    const auto played = steady_clock::now();
    if (s > std::size_t(sound::top_points)) return started;  // the box's walls: not the bench's bricks
    steady_clock::time_point recorded;
    {
      std::scoped_lock lock(recorded_.mutex);
      if (recorded_.times.empty()) return started;
      recorded = recorded_.times.front();
      recorded_.times.pop_front();
    }
    if (!started) return false;
    to_play.push_back(played - recorded);
    std::scoped_lock lock(mutex_);
    unmixed_.push_back({recorded, device_clock()});
    return true;
  }
  void silence(bool silent) override { inner_.silence(silent); }

  // Watcher thread: clips started before the device clock last moved have been mixed by now.
  void watch() {
    const std::int64_t clock = device_clock();
    const auto now = steady_clock::now();
    std::scoped_lock lock(mutex_);
    while (!unmixed_.empty() && unmixed_.front().clock < clock) {
      to_mixed.push_back(now - unmixed_.front().recorded);
      unmixed_.pop_front();
    }
  }

  std::vector<nanoseconds> to_play;   // sound thread
  std::vector<nanoseconds> to_mixed;  // watcher

 private:
  struct started {
    steady_clock::time_point recorded;
    std::int64_t clock;
  };
  sound::speaker& inner_;
  recordings& recorded_;
  std::mutex mutex_;
  std::deque<started> unmixed_;
};

struct run_figures {
  double ticks_a_second = 0;
  double cpu_share = 0;
};

// With `watch`, a watcher thread polls the device clock every 0.1 ms to see clips mixed; it costs CPU of its
// own, so the runs that count CPU and ticks go without it.
run_figures run(const std::string& boards, double seconds, bool with_sound, bool watch,
                std::vector<nanoseconds>& to_play, std::vector<nanoseconds>& to_mixed) {
  testing_support::quiet_log log{testing_support::quiet_log::echo::on_standard_error};
  state::board_monitor board{log, boards};
  state::players_monitor players;
  state::view_monitor view;
  sound::event_channel events;
  sound::sound_switch on{true};
  sound::sound_player player{events, view, on};
  recordings recorded;
  common::steady_clock_source clock;
  common::precise_sleeper physics_sleeper;
  std::atomic<bool> done{false};
  run_figures figures;
  physics::physics_thread physics{{board, players, log, physics_sleeper, &events}, clock, physics_sleeper};
  physics.launch();
  if (!physics.init() || !physics.start()) std::exit(1);

  // The sound thread's loop, with the speaker timed.
  std::jthread sound_thread;
  if (with_sound)
    sound_thread = std::jthread([&] {
      sound::opened_speaker opened = sound::open_speaker();
      timed_speaker timed(*opened.out, recorded);
      std::jthread watcher([&] {
        while (watch && !done.load()) {
          timed.watch();
          std::this_thread::sleep_for(100us);
        }
      });
      common::precise_sleeper rest;
      while (!done.load()) {
        const auto next = clock.now() + sound::pass_period;
        player.pass(timed);
        rest.rest_until(next);
      }
      watcher.join();
      to_play.insert(to_play.end(), timed.to_play.begin(), timed.to_play.end());
      to_mixed.insert(to_mixed.end(), timed.to_mixed.begin(), timed.to_mixed.end());
    });
  std::this_thread::sleep_for(300ms);  // the sleepers learn their wake-ups, the device opens
  std::jthread bricks([&] {
    for (int n = 0; !done.load(); ++n) {
      {
        std::scoped_lock lock(recorded.mutex);
        recorded.times.push_back(steady_clock::now());
        events.record({sound::event_kind::brick_destroyed,
                       common::ball_owner::PLAYER1,
                       n % 31,
                       {float(1 + n % 18), 10.0f}});
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  const auto t0 = steady_clock::now();
  const double c0 = bench::cpu_seconds();
  const std::uint64_t n0 = physics.ticks();
  std::this_thread::sleep_for(duration<double>(seconds));
  const std::uint64_t n1 = physics.ticks();
  const double c1 = bench::cpu_seconds();
  const double wall = duration<double>(steady_clock::now() - t0).count();
  done = true;
  figures.ticks_a_second = double(n1 - n0) / wall;
  figures.cpu_share = (c1 - c0) / wall;
  return figures;
}

void print_spread(const char* what, std::vector<nanoseconds> times) {
  std::sort(times.begin(), times.end());
  const auto at = [&](double q) {
    return times.empty()
               ? 0.0
               : duration<double, std::milli>(times[std::size_t(q * double(times.size() - 1))]).count();
  };
  std::printf("%-44s p50 %6.2f ms   p95 %6.2f ms   max %6.2f ms   (%zu clips)\n", what, at(0.5), at(0.95),
              at(1.0), times.size());
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const int period = argc > 3 ? std::atoi(argv[3]) : 1024;
  testing_support::temp_dir dir;
  std::string box;
  for (int row = 1; row <= 20; ++row)
    box += (row == 3 || row == 18 ? std::string(20, 'X') : "X" + std::string(18, ' ') + "X") + "\n";
  testing_support::write_file(dir / "board (0).txt", box);
  testing_support::write_file(
      dir / "alsoft.conf", "[general]\nperiod_size=" + std::to_string(period) + "\n[wave]\nfile=/dev/null\n");
  // Before any thread: OpenAL reads these when it first opens a device.
  ::setenv("ALSOFT_DRIVERS", "wave", 1);
  ::setenv("ALSOFT_CONF", (dir / "alsoft.conf").c_str(), 1);

  std::printf(
      "load average before: %s   (%u cores)   %d runs of %.1f s each, mixer period %d samples (%.1f ms)\n",
      bench::load_average().c_str(), std::thread::hardware_concurrency(), runs, seconds, period,
      period * 1000.0 / sound::sample_rate);
  std::vector<nanoseconds> to_play, to_mixed, none;
  double without = 0, with = 0, cpu_without = 0, cpu_with = 0;
  for (int r = 0; r < runs; ++r) {
    const run_figures a = run(dir.path().string() + "/", seconds, false, false, none, none);
    const run_figures b = run(dir.path().string() + "/", seconds, true, false, to_play, none);
    std::printf(
        "  run %d: physics %8.1f ticks/s without sound, %8.1f with; CPU %5.1f %% and %5.1f %% of a core\n",
        r + 1, a.ticks_a_second, b.ticks_a_second, 100 * a.cpu_share, 100 * b.cpu_share);
    without += a.ticks_a_second / runs, with += b.ticks_a_second / runs;
    cpu_without += a.cpu_share / runs, cpu_with += b.cpu_share / runs;
  }
  run(dir.path().string() + "/", seconds, true, true, none, to_mixed);
  std::printf("physics rate: %.1f ticks/s without sound, %.1f with: ratio %.4f\n", without, with,
              with / without);
  print_spread("event recorded -> handed to the mixer", to_play);
  print_spread("event recorded -> first samples mixed", to_mixed);
  std::printf("CPU of the process: %.1f %% of a core without sound, %.1f %% with: the sound adds %.1f %%\n",
              100 * cpu_without, 100 * cpu_with, 100 * (cpu_with - cpu_without));
  std::printf("load average after:  %s\n", bench::load_average().c_str());
  return 0;
}
