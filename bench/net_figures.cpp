// A network game's figures, on loopback: the whole game as host in this process (every thread, the real
// window, under a private Xvfb unless DISPLAY is set) and a guest of its own beside it, each phase for some
// seconds. Prints:
//   - the host's physics ticks and frames a second, and its network thread's CPU, without a guest, with one,
//     and with one while junk floods the host's port (10 000 datagrams a second);
//   - the bytes a second the host sends its guest;
//   - from a guest's key going down to the host's green pad moving (the input thread samples every 10 ms);
//   - from a host's pad moving to the guest's copy of it moving (the guest then draws it at its next frame);
//   - from the game's start to its port mapped by a UPnP router (a stand-in on loopback, tests/support);
//   - the host's CPU added by a guest, phases without and with one alternated: the median difference and
//     its spread;
//   - behind a relay losing 5 % each way, 0, 50, 100 and 150 ms each way: from a guest's key to its own pad
//     moving and to the host's green pad moving, the guest's pad corrections, the bytes a second each way;
//     and the load average.
//
//   build/bench/net_figures [seconds]      default 10 a phase
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "graphics/process_graphics.hpp"
#include "input/process_input.hpp"
#include "net/play.hpp"
#include "physics/process_physics.hpp"
#include "startup/multiplayer_tolvaran.hpp"
#include "state/game_state.hpp"
#include "support/game_process.hpp"
#include "support/net_peer.hpp"
#include "support/recording_log.hpp"
#include "support/router_responder.hpp"

namespace {

using namespace std::chrono;
using steady = steady_clock;

// CPU seconds of this process's threads of one name.
double thread_cpu(const std::string& wanted) {
  double seconds = 0.0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string stat = testing_support::read_file(task.path() / "stat");
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (stat.substr(open + 1, close - open - 1) != wanted) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 1; i <= 13 && fields >> field; ++i)
      if (i >= 12) seconds += std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return seconds;
}

// Whether this process has a thread of that name.
bool has_thread(const std::string& wanted) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name = testing_support::read_file(task.path() / "comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    if (name == wanted) return true;
  }
  return false;
}

struct reading {
  std::uint64_t ticks, frames, sent;
  double net_cpu, physics_cpu, host_cpu;
  int lost;
  steady::time_point at;
};

struct phase_figures {
  double ticks, frames, net_cpu, physics_cpu, bytes, host_cpu;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  std::unique_ptr<testing_support::xvfb_server> x;
  if (std::getenv("DISPLAY") == nullptr) x = std::make_unique<testing_support::xvfb_server>();
  const auto dir =
      std::filesystem::temp_directory_path() / ("tolvaran-net-figures-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir / "boards");
  std::filesystem::current_path(dir);

  const std::uint16_t port = testing_support::free_udp_port();
  // The router a stand-in on loopback: nothing goes to the network's own.
  testing_support::upnp_responder router(200, 209);
  static startup::command_line host;
  host.play = startup::command_line::role::host;
  host.port = port;
  host.code = net::join_code("13572468");
  host.toolkit = {"multiplayer_tolvaran"};
  host.seams.router_search = std::pair(router.address(), router.search_address().port);
  host.seams.natpmp_gateway = router.address();
  const auto started = steady::now();
  startup::static_initialisation(host);
  startup::multiplayer_tolvaran(*runtime_log::log);
  state::board_monitor& host_board = *state::board_state;
  if (!testing_support::eventually(
          [&] {
            return testing_support::log_contains(
                dir, "Gra przez siec czeka na goscia, port UDP " + std::to_string(port));
          },
          60s)) {
    std::fprintf(stderr, "the host does not wait for a guest\n");
    std::_Exit(1);
  }

  if (!testing_support::eventually([&] { return !router.requests("AddPortMapping").empty(); }, 10s)) {
    std::fprintf(stderr, "the host did not ask its router for its port\n");
    std::_Exit(1);
  }
  const double to_mapping =
      duration<double, std::milli>(router.requests("AddPortMapping").front().at - started).count();

  // Players who never tire: the red pad follows the ball with the host's keys, the green one with j/l
  // while nobody has joined and with the guest's keys once one has.
  graphics::menu(common::menu_command::green_jl);
  testing_support::recording_log guest_log;
  state::board_monitor guest_board{guest_log};
  state::players_monitor guest_players;
  input::keyboard_monitor guest_keys;
  std::atomic<bool> guest_steers{false}, playing{true}, hold_still{false};
  std::jthread players([&] {
    pthread_setname_np(pthread_self(), "players");
    const auto follow = [](input::keyboard_monitor& keys, float pad, float ball, unsigned char l,
                           unsigned char r) {
      keys.set_key_up(l);
      keys.set_key_up(r);
      if (ball < pad - 0.3f) keys.set_key_down(l);
      if (ball > pad + 0.3f) keys.set_key_down(r);
    };
    while (playing) {
      if (!hold_still) {
        const float ball = host_board.get_ball().pos.x;
        follow(*input::keyboard_state, host_board.get_pad1().pos.x, ball, 'a', 'd');
        if (guest_steers)
          follow(guest_keys, guest_board.get_pad2().pos.x, guest_board.get_ball().pos.x, 'a', 'd');
        else
          follow(*input::keyboard_state, host_board.get_pad2().pos.x, ball, 'j', 'l');
      }
      std::this_thread::sleep_for(5ms);
    }
  });

  std::this_thread::sleep_for(2s);
  const auto read = [&] {
    return reading{physics::process_physics->ticks(), graphics::processing_graphics->frames(),
                   net::hosting->bytes_sent(), thread_cpu("net-host"), thread_cpu("physics"),
                   // The host's side of this process: all of it but the guest's thread and the players'.
                   bench::cpu_seconds() - thread_cpu("net-guest") - thread_cpu("players"),
                   bench::lost_balls(dir), steady::now()};
  };
  const auto measure = [&](const std::function<void()>& meanwhile) {
    const reading a = read();
    const auto until = a.at + duration_cast<steady::duration>(duration<double>(seconds));
    while (steady::now() < until) meanwhile();
    const reading b = read();
    const double span = duration<double>(b.at - a.at).count();
    const double playing_span = std::max(0.1, span - 2.0 * (b.lost - a.lost));  // lost balls pause 2 s
    return phase_figures{static_cast<double>(b.ticks - a.ticks) / playing_span,
                         static_cast<double>(b.frames - a.frames) / span,
                         100.0 * (b.net_cpu - a.net_cpu) / span,
                         100.0 * (b.physics_cpu - a.physics_cpu) / span,
                         static_cast<double>(b.sent - a.sent) / span,
                         100.0 * (b.host_cpu - a.host_cpu) / span};
  };
  const auto idle = [] { std::this_thread::sleep_for(50ms); };

  const phase_figures alone = measure(idle);

  net::guest_role guest(
      net::guest_world{guest_board, guest_players, guest_keys, guest_log, nullptr, [](int) {}}, "127.0.0.1",
      port, net::join_code("13572468"));
  guest.launch();
  guest.start();
  if (!testing_support::eventually([&] { return guest.playing(); }, 60s)) {
    std::fprintf(stderr, "the guest did not join\n");
    std::_Exit(1);
  }
  guest_steers = true;
  std::this_thread::sleep_for(2s);
  const phase_figures with_guest = measure(idle);

  // Latencies, with the players' hands off the keys.
  hold_still = true;
  std::this_thread::sleep_for(100ms);
  for (const unsigned char key : {'a', 'd', 'j', 'l'}) {
    guest_keys.set_key_up(key);
    input::keyboard_state->set_key_up(key);
  }
  std::this_thread::sleep_for(200ms);
  std::vector<double> key_to_host, host_to_guest;
  for (int n = 0; n < 100; ++n) {
    const bool left = host_board.get_pad2().pos.x > 10.0f;
    const float start = host_board.get_pad2().pos.x;
    const auto pressed = steady::now();
    guest_keys.set_key_down(left ? 'a' : 'd');
    testing_support::eventually([&] { return host_board.get_pad2().pos.x != start; }, 1s, 0ms);
    key_to_host.push_back(duration<double, std::milli>(steady::now() - pressed).count());
    guest_keys.set_key_up(left ? 'a' : 'd');
    std::this_thread::sleep_for(30ms);

    const float red = host_board.get_pad1().pos.x, red_on_guest = guest_board.get_pad1().pos.x;
    input::keyboard_state->set_key_down(red > 10.0f ? 'a' : 'd');
    testing_support::eventually([&] { return host_board.get_pad1().pos.x != red; }, 1s, 0ms);
    const auto moved = steady::now();
    testing_support::eventually([&] { return guest_board.get_pad1().pos.x != red_on_guest; }, 1s, 0ms);
    host_to_guest.push_back(duration<double, std::milli>(steady::now() - moved).count());
    input::keyboard_state->set_key_up(red > 10.0f ? 'a' : 'd');
    std::this_thread::sleep_for(30ms);
  }
  hold_still = false;
  std::this_thread::sleep_for(1s);

  // The guest plays on while junk floods the host's port from another address.
  testing_support::udp_socket flood(77);
  std::mt19937 junk(1);
  std::uniform_int_distribution<int> byte(0, 255), length(1, 600);
  auto next_burst = steady::now();
  const phase_figures flooded = measure([&] {
    for (int n = 0; n < 10; ++n) {
      std::vector<std::uint8_t> d(static_cast<std::size_t>(length(junk)));
      for (auto& b : d) b = static_cast<std::uint8_t>(byte(junk));
      flood.send(port, d);
    }
    next_burst += 1ms;
    std::this_thread::sleep_until(next_burst);
  });
  const bool still_playing = guest.playing();
  playing = false;

  const auto row = [](const char* what, const phase_figures& f) {
    std::printf("%-26s %9.1f %9.1f %9.2f %% %9.2f %% %9.0f\n", what, f.ticks, f.frames, f.net_cpu,
                f.physics_cpu, f.bytes);
  };
  std::printf("%-26s %9s %9s %11s %11s %9s\n", "host, for each phase", "ticks/s", "frames/s", "net CPU",
              "physics CPU", "bytes/s");
  row("waiting, no guest", alone);
  row("a guest playing", with_guest);
  row("a guest, 10000 junk/s", flooded);
  std::printf("physics rate with a guest / without:           %.3f\n", with_guest.ticks / alone.ticks);
  std::printf("physics rate under the flood / without guest:  %.3f\n", flooded.ticks / alone.ticks);
  std::printf(
      "host CPU added by a guest:                     %.2f %% of a core (its network thread %.2f %%)\n",
      with_guest.host_cpu - alone.host_cpu, with_guest.net_cpu - alone.net_cpu);
  std::printf("host to guest:                                 %.1f KB/s\n", with_guest.bytes / 1000.0);
  std::printf("guest key down to host pad moving, ms:         p50 %.1f  p95 %.1f  max %.1f\n",
              percentile(key_to_host, 0.5), percentile(key_to_host, 0.95), percentile(key_to_host, 1.0));
  std::printf("host pad moving to guest's copy moving, ms:    p50 %.1f  p95 %.1f  max %.1f\n",
              percentile(host_to_guest, 0.5), percentile(host_to_guest, 0.95),
              percentile(host_to_guest, 1.0));
  std::printf("the guest still plays after the flood:         %s\n", still_playing ? "yes" : "no");
  std::printf("game start to its port mapped (UPnP), ms:      %.1f\n", to_mapping);
  std::fflush(stdout);

  // The first guest leaves; from here on guests come and go one after another, nobody at the host's keys.
  hold_still = true;
  guest.game_ends();
  const auto host_alone = [&] {
    if (!testing_support::eventually([&] { return !net::hosting->guest_plays(); }, 10s)) {
      std::fprintf(stderr, "the host did not let its guest go\n");
      std::_Exit(1);
    }
  };
  host_alone();
  // A guest's thread that ends takes its CPU out of what `thread_cpu` subtracts: none may end while measured.
  if (!testing_support::eventually([] { return !has_thread("net-guest"); }, 10s)) {
    std::fprintf(stderr, "the first guest's thread did not end\n");
    std::_Exit(1);
  }

  // The host's CPU added by a guest: phases without and with one, alternated, so that what else the machine
  // does weighs on both alike; the median of the differences, and their spread.
  const auto host_cpu_over = [&](duration<double> span) {
    const double cpu = bench::cpu_seconds() - thread_cpu("net-guest") - thread_cpu("players");
    const auto from = steady::now();
    std::this_thread::sleep_for(span);
    const double spent = bench::cpu_seconds() - thread_cpu("net-guest") - thread_cpu("players") - cpu;
    return 100.0 * spent / duration<double>(steady::now() - from).count();
  };
  const auto cpu_span = duration<double>(std::max(1.0, seconds / 3.0));
  std::vector<double> added;
  for (int round = 0; round < 5; ++round) {
    const double without = host_cpu_over(cpu_span);
    testing_support::recording_log log;
    state::board_monitor board{log};
    state::players_monitor players;
    input::keyboard_monitor keys;
    net::guest_role visitor(net::guest_world{board, players, keys, log, nullptr, [](int) {}}, "127.0.0.1",
                            port, net::join_code("13572468"), 0ms);
    visitor.launch();
    visitor.start();
    if (!testing_support::eventually([&] { return visitor.playing(); }, 60s)) {
      std::fprintf(stderr, "a guest did not join\n");
      std::_Exit(1);
    }
    std::this_thread::sleep_for(500ms);
    added.push_back(host_cpu_over(cpu_span) - without);
    visitor.game_ends();
    host_alone();
  }

  // Behind a relay that loses 5 % each way and delays the rest: the guest's key to its own pad and to the
  // host's pad, the guest's pad corrections (a move of the pad that is not whole key steps), and the bytes.
  struct line_figures {
    int one_way;
    std::vector<double> own, host;
    double largest_correction;
    int corrections;
    double to_guest, to_host;
  };
  std::vector<line_figures> lines;
  for (const int one_way : {0, 50, 100, 150}) {
    testing_support::lossy_relay relay(port, 0.05, milliseconds(one_way));
    testing_support::recording_log log;
    state::board_monitor board{log};
    state::players_monitor players;
    input::keyboard_monitor keys;
    net::guest_role visitor(net::guest_world{board, players, keys, log, nullptr, [](int) {}}, "127.0.0.1",
                            relay.port(), net::join_code("13572468"), 0ms);
    visitor.launch();
    visitor.start();
    if (!testing_support::eventually(
            [&] { return visitor.playing() && board.get_ball().color[common::color_part::R] > 0; }, 60s)) {
      std::fprintf(stderr, "a guest behind the relay did not join\n");
      std::_Exit(1);
    }
    std::this_thread::sleep_for(1s);
    line_figures f{one_way, {}, {}, 0.0, 0, 0.0, 0.0};
    std::atomic<bool> watching{true};
    std::jthread watcher([&] {
      float last = board.get_pad2().pos.x;
      while (watching) {
        std::this_thread::sleep_for(1ms);
        const common::pad_type pad = board.get_pad2();
        const float moved = std::abs(pad.pos.x - last), steps = std::round(moved / common::pad_step);
        const float off = std::abs(moved - steps * common::pad_step);
        const bool at_side = pad.pos.x == state::pad_within(-100.0f, pad.width) ||
                             pad.pos.x == state::pad_within(100.0f, pad.width);
        if (off > 1e-3f && !at_side) {
          ++f.corrections;
          f.largest_correction = std::max(f.largest_correction, static_cast<double>(off));
        }
        last = pad.pos.x;
      }
    });
    const std::uint64_t to_guest = relay.bytes_to_guest(), to_host = relay.bytes_to_host();
    const auto from = steady::now();
    for (int n = 0; n < 40; ++n) {
      const unsigned char key = board.get_pad2().pos.x > 10.0f ? 'a' : 'd';
      const float own_was = board.get_pad2().pos.x, host_was = host_board.get_pad2().pos.x;
      const auto pressed = steady::now();
      keys.set_key_down(key);
      testing_support::eventually([&] { return board.get_pad2().pos.x != own_was; }, 1s, 0ms);
      f.own.push_back(duration<double, std::milli>(steady::now() - pressed).count());
      testing_support::eventually([&] { return host_board.get_pad2().pos.x != host_was; }, 2s, 0ms);
      f.host.push_back(duration<double, std::milli>(steady::now() - pressed).count());
      std::this_thread::sleep_for(100ms);
      keys.set_key_up(key);
      // Until the host has the pad's last position, and a little more so that the next press is out of step.
      std::this_thread::sleep_for(milliseconds(2 * one_way + 100 + 7 * (n % 5)));
    }
    const double span = duration<double>(steady::now() - from).count();
    f.to_guest = static_cast<double>(relay.bytes_to_guest() - to_guest) / span;
    f.to_host = static_cast<double>(relay.bytes_to_host() - to_host) / span;
    watching = false;
    watcher.join();
    visitor.game_ends();
    host_alone();
    lines.push_back(std::move(f));
  }

  std::printf(
      "\nhost CPU added by a guest, %d alternated phases of %.1f s: median %.2f %% of a core, "
      "spread %.2f .. %.2f\n",
      static_cast<int>(added.size()), cpu_span.count(), percentile(added, 0.5), percentile(added, 0.0),
      percentile(added, 1.0));
  std::printf("behind a relay, 5 %% lost each way:\n");
  std::printf("%-12s %21s %21s %22s %18s\n", "each way", "key -> own pad p50/p95", "key -> host pad p50/p95",
              "pad corrections (max)", "bytes/s to g / h");
  for (const line_figures& f : lines)
    std::printf("%9d ms %10.1f / %6.1f ms %10.1f / %6.1f ms %12d (%.3f cell) %9.0f / %6.0f\n", f.one_way,
                percentile(f.own, 0.5), percentile(f.own, 0.95), percentile(f.host, 0.5),
                percentile(f.host, 0.95), f.corrections, f.largest_correction, f.to_guest, f.to_host);
  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) == 3) std::printf("load average: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::fflush(stdout);

  std::error_code ignored;
  std::filesystem::current_path("/", ignored);
  std::filesystem::remove_all(dir, ignored);
  std::_Exit(0);
}
