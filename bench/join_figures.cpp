// What a join costs and what a stranger gets: a host and its guests on loopback (ENet, the real sessions,
// every side serviced in turn on this one thread), and prints
//   - the time from a guest's connection to its playing, over many joins (median and 95th percentile);
//   - the host's CPU time per join attempt (the challenge and the proof checked), its session's work alone;
//   - what an attacker with 200 addresses gets, trying wrong codes as fast as the host lets it: the guesses
//     the host checked before it closed the code, and how long that took;
//   - the same against one address alone, on the sessions with fake time: guesses in the first hour.
//
//   build/bench/join_figures [joins]     default 200 joins
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "net/session.hpp"
#include "net/transport.hpp"
#include "support/net_fakes.hpp"
#include "support/quiet_log.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const join_code code("27182818"), wrong("00000000");

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::uint16_t free_port() {
  for (std::uint16_t port = 41000;; ++port) {
    try {
      transport::listen(port);
      return port;
    } catch (const std::runtime_error&) {
    }
  }
}

struct host_side {
  explicit host_side(std::uint16_t p)
      : port(p), wire(transport::listen(p)), session(code, random, *wire, log) {
    wire->filter([this](const endpoint& from) {
      const auto why = session.gate().refuses(from, steady::now());
      if (why) session.drops().note(*why);
      return why.has_value();
    });
  }
  // The session's own work is timed, not the waiting on the wire.
  void pass() {
    for (auto e = wire->service(0ms); e; e = wire->service(0ms)) {
      const double before = thread_cpu_seconds();
      if (e->what == wire_event::kind::connected) session.connected(e->peer, e->from, steady::now());
      if (e->what == wire_event::kind::received) session.received(e->peer, e->ch, e->data, steady::now());
      if (e->what == wire_event::kind::disconnected) session.disconnected(e->peer, steady::now());
      cpu += thread_cpu_seconds() - before;
    }
    session.tick(steady::now());
  }
  std::uint16_t port;
  system_entropy random;
  testing_support::quiet_log log;
  std::unique_ptr<transport> wire;
  host_session session;
  double cpu = 0;
};

struct guest_side {
  guest_side(std::uint16_t port, int local, const join_code& tried)
      : wire(transport::connect("127.0.0.1", port, 0x7F000000u + static_cast<std::uint32_t>(local))),
        session(tried, random, *wire, steady::now()) {}
  void pass() {
    for (auto e = wire->service(0ms); e; e = wire->service(0ms)) {
      if (e->what == wire_event::kind::connected) {
        connected_at = steady::now();
        session.connected(steady::now());
      }
      if (e->what == wire_event::kind::received) session.received(e->ch, e->data, steady::now());
      if (e->what == wire_event::kind::disconnected) session.disconnected(steady::now());
    }
    session.tick(steady::now());
    wire->flush();
  }
  bool over() const {
    return session.current() == guest_session::state::playing || session.end() != guest_session::ending::none;
  }
  system_entropy random;
  std::unique_ptr<transport> wire;
  guest_session session;
  steady::time_point connected_at{};
};

// Services both until the guest has joined or been refused.
void join(host_side& host, guest_side& guest) {
  for (const auto give_up = steady::now() + 20s; !guest.over() && steady::now() < give_up;) {
    host.pass();
    guest.pass();
    std::this_thread::sleep_for(100us);
  }
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const int joins = argc > 1 ? std::atoi(argv[1]) : 200;
  std::printf("load average at the start: %s\n", bench::load_average().c_str());

  // Joins with the right code, one after another; the guest then leaves.
  host_side host(free_port());
  std::vector<double> times;
  for (int n = 0; n < joins; ++n) {
    guest_side guest(host.port, 2 + n % 200, code);
    join(host, guest);
    if (guest.session.current() != guest_session::state::playing) {
      std::printf("join %d failed\n", n);
      return 1;
    }
    times.push_back(std::chrono::duration<double, std::milli>(steady::now() - guest.connected_at).count());
    guest.session.say_goodbye();
    for (int i = 0; i < 50 && host.session.has_guest(); ++i) {
      guest.pass();
      host.pass();
      std::this_thread::sleep_for(100us);
    }
  }
  std::printf("join on loopback, connection to playing: p50 %.2f ms, p95 %.2f ms (%d joins)\n",
              percentile(times, 0.5), percentile(times, 0.95), joins);
  std::printf("host CPU per join (challenge, proof, confirmation, welcome): %.0f us\n",
              host.cpu / joins * 1e6);

  // An attacker with 200 addresses, a wrong code from each as fast as the host takes them.
  host_side attacked(free_port());
  int checked = 0, closed = 0, other = 0;
  const auto start = steady::now();
  for (int local = 10; local < 210 && closed == 0; ++local) {
    guest_side attacker(attacked.port, local, wrong);
    join(attacked, attacker);
    switch (attacker.session.end()) {
      case guest_session::ending::wrong_code:
        ++checked;
        break;
      case guest_session::ending::closed:
        ++closed;
        break;
      default:
        ++other;
        break;
    }
  }
  const double seconds = std::chrono::duration<double>(steady::now() - start).count();
  std::printf(
      "attacker with 200 addresses: %d wrong codes checked, then the code closed (%d told so, %d other "
      "endings) after %.1f s; host CPU per attempt %.0f us\n",
      checked, closed, other, seconds, attacked.cpu / (checked + closed + other) * 1e6);

  // One address alone, on fake time: as fast as the host allows over an hour.
  testing_support::recording_wire host_wire;
  testing_support::counting_entropy host_random(1);
  testing_support::quiet_log log;
  host_session alone(code, host_random, host_wire, log);
  common::steady_time now{};
  int guesses = 0;
  for (peer_id peer = 2; now < common::steady_time{} + 1h && !alone.closed(); ++peer, now += 100ms) {
    testing_support::recording_wire guest_wire;
    testing_support::counting_entropy guest_random(static_cast<std::uint8_t>(128 + peer));
    guest_session g(wrong, guest_random, guest_wire, now);
    alone.connected(peer, {0x0A000001, 1}, now);
    g.connected(now);
    for (bool moved = true; moved;) {
      moved = false;
      for (auto& d : std::exchange(guest_wire.sent, {}))
        moved = true, alone.received(peer, d.ch, d.data, now);
      for (auto& d : std::exchange(host_wire.sent, {})) moved = true, g.received(d.ch, d.data, now);
    }
    guesses += g.end() == guest_session::ending::wrong_code;
  }
  std::printf("one address alone, trying every 100 ms: %d guesses checked in the first hour%s\n", guesses,
              alone.closed() ? ", then the code closed" : "");
  std::printf("load average at the end:   %s\n", bench::load_average().c_str());
}
