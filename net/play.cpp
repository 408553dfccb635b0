#include "net/play.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "common/seams.hpp"
#include "net/mirror.hpp"
#include "net/transport.hpp"

namespace net {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Events taken per pass of a role's loop: a burst of them never holds up the snapshots.
constexpr int events_a_pass = 64;

// The deadline of a request that is only taken when it waits already.
constexpr common::steady_time at_once{};

// Takes the transport's events for a pass: the first waits up to `wait`.
template <class Handle>
void take_events(transport& wire, milliseconds wait, Handle handle) {
  int taken = 0;
  for (auto e = wire.service(wait); e;
       e = ++taken < events_a_pass ? wire.service(milliseconds(0)) : std::nullopt)
    handle(*e);
}

// Says goodbye and waits a moment for the other side to acknowledge it, so that it hears the game ended
// rather than lost.
template <class Goodbye>
void part(transport& wire, Goodbye goodbye) {
  goodbye();
  wire.flush();
  const auto give_up = steady::now() + farewell_wait;
  while (steady::now() < give_up) {
    const auto e = wire.service(milliseconds(10));
    if (e && e->what == transport::event::kind::disconnected) return;
  }
}

}  // namespace

std::string waiting_line(std::string_view code, const std::vector<std::string>& addresses,
                         std::uint16_t port) {
  std::string where;
  for (std::size_t i = 0; i < addresses.size() && i < 3; ++i) where += (i == 0 ? "" : ", ") + addresses[i];
  if (where.empty()) where = "brak sieci";
  return "Kod dolaczenia: " + shown_code(code) + "   adresy: " + where + "   port UDP" + common::image(port);
}

// ---------------------------------------------------------------------------------------------------------
// The host

host_role::host_role(host_world w, std::uint16_t port, std::string code, pwhash_cost cost)
    : world_(w), port_(port), code_(std::move(code)), cost_(cost) {}

void host_role::launch() {
  common::start_thread(thread_, "net-host", [this](std::stop_token stop) { run(stop); });
}

bool host_role::start() {
  return box_.call(request::start);
}

bool host_role::takes_menu_command(common::menu_command c) {
  if (!guest_plays() || !common::steers_green(c)) return false;
  world_.log.info("Gracz zielony gra przez siec: jego sterowanie nalezy do goscia");
  return true;
}

void host_role::game_ends() noexcept {
  try {
    box_.call(request::farewell);
  } catch (...) {
    // The game ends all the same; the guest then finds its host lost.
  }
}

void host_role::green_to_guest(bool guest) {
  world_.keys.set_key_up(common::guest_left);
  world_.keys.set_key_up(common::guest_right);
  guest_plays_.store(guest, std::memory_order_release);
  // As the menu's steering entries do: the preset first, then the computer player.
  if (guest) {
    world_.players.set2(common::key_preset::GUEST);
    world_.computer.disable();
  } else {
    world_.players.set2(common::key_preset::COMPUTER);
    world_.computer.enable();
  }
}

void host_role::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    if (box_.accept(
            stop, [](request r) { return r == request::start; }, [](request) {}) != common::accepted::request)
      return;
    serve(stop);
  } catch (...) {
    try {
      world_.log.error(common::error_line(net_error_prefix));
      world_.board.set_network_line("");
      if (guest_plays()) green_to_guest(false);
    } catch (...) {
      // Nothing more to be done; the game goes on at this keyboard.
    }
  }
}

void host_role::serve(std::stop_token stop) {
  system_entropy random;
  const std::string code = code_.empty() ? draw_join_code(random) : code_;
  salt_bytes salt{};
  random.fill(salt);
  const host_config config{derive_code_key(code, salt, cost_), salt};

  std::unique_ptr<transport> wire;
  try {
    wire = transport::listen(port_);
  } catch (const std::exception&) {
    const std::string line = "Gra przez siec niemozliwa: port UDP" + common::image(port_) + " jest zajety";
    world_.log.error(line);
    world_.board.set_network_line(line);
    world_.out << "Multiplayer Tolvaran: gra przez siec niemozliwa, port UDP " << port_ << " jest zajety\n"
               << std::flush;
    return;
  }
  host_session session(config, random, *wire, world_.log);
  host_report report(world_.board, world_.players, world_.events, world_.physics_ticks);
  wire->filter([&](const endpoint& from) {
    const std::optional<drop_reason> why = session.gate().refuses(from, steady::now());
    if (why) session.drops().note(*why);
    return why.has_value();
  });

  const std::vector<std::string> addresses = local_addresses();
  const std::string waiting = waiting_line(code, addresses, port_);
  world_.board.set_network_line(waiting);
  world_.out << "Multiplayer Tolvaran: gra przez siec na porcie UDP " << port_
             << "\nKod dolaczenia: " << shown_code(code) << "\nAdresy tego komputera:";
  for (const std::string& a : addresses) world_.out << ' ' << a;
  world_.out << (addresses.empty() ? " brak sieci\n" : "\n") << std::flush;
  world_.log.info("Gra przez siec czeka na goscia, port UDP" + common::image(port_));

  const auto react = [&](host_session::happening h) {
    switch (h) {
      case host_session::happening::joined:
        world_.board.set_network_line("");
        green_to_guest(true);
        for (const game_message& m : report.joined(steady::now(), std::chrono::system_clock::now()))
          session.send(channel::reliable, m);
        break;
      case host_session::happening::left:
      case host_session::happening::lost:
        green_to_guest(false);
        world_.board.set_network_line(waiting);
        break;
      case host_session::happening::none:
        break;
    }
  };
  const auto act = [&](const game_message& m) {
    if (const auto* keys = std::get_if<steering>(&m)) {
      keys->left ? world_.keys.set_key_down(common::guest_left) : world_.keys.set_key_up(common::guest_left);
      keys->right ? world_.keys.set_key_down(common::guest_right)
                  : world_.keys.set_key_up(common::guest_right);
    } else if (const auto* entry = std::get_if<menu_choice>(&m)) {
      world_.menu(entry->command);
    }
  };

  common::steady_time next_snapshot = steady::now();
  while (!stop.stop_requested()) {
    // With a guest, up to its next snapshot; alone, longer: a datagram wakes the thread at once anyway.
    const auto wait = session.has_guest()
                          ? std::clamp(std::chrono::ceil<milliseconds>(next_snapshot - steady::now()),
                                       milliseconds(0), milliseconds(5))
                          : milliseconds(20);
    take_events(*wire, wait, [&](const transport::event& e) {
      const common::steady_time now = steady::now();
      switch (e.what) {
        case transport::event::kind::connected:
          session.connected(e.peer, e.from, now);
          break;
        case transport::event::kind::received: {
          const host_session::outcome got = session.received(e.peer, e.ch, e.data, now);
          react(got.what);
          if (got.message) act(*got.message);
          break;
        }
        case transport::event::kind::disconnected:
          react(session.disconnected(e.peer, now));
          break;
      }
    });
    const common::steady_time now = steady::now();
    react(session.tick(now));
    if (now >= next_snapshot) {
      if (session.has_guest()) {
        const auto wall = std::chrono::system_clock::now();
        for (const game_message& m : report.changes(now, wall)) session.send(channel::reliable, m);
        session.send(channel::moving, report.moving(now, wall));
      }
      next_snapshot = now + snapshot_period;  // a late snapshot is not made up
    }
    if (const std::optional<std::string> line = session.drops().report(now)) world_.log.info(*line);
    box_.accept_until(
        stop, at_once, [](request r) { return r == request::farewell; },
        [&](request) {
          part(*wire, [&] { session.say_goodbye(); });
          guest_plays_.store(false, std::memory_order_release);
        });
    bytes_sent_.store(wire->bytes_sent(), std::memory_order_relaxed);
    datagrams_received_.store(wire->datagrams_received(), std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------------------------------------------------
// The guest

guest_role::guest_role(guest_world w, std::string address, std::uint16_t port, std::string code,
                       pwhash_cost cost, std::chrono::milliseconds show_ending)
    : world_(std::move(w)),
      address_(std::move(address)),
      port_(port),
      code_(std::move(code)),
      cost_(cost),
      show_ending_(show_ending) {}

void guest_role::launch() {
  common::start_thread(thread_, "net-guest", [this](std::stop_token stop) { run(stop); });
}

bool guest_role::start() {
  return box_.call(request{request::kind::start});
}

bool guest_role::takes_menu_command(common::menu_command c) {
  if (common::shared_with_other_computer(c)) {
    box_.call(request{request::kind::menu, c});  // an ended connection takes nothing, and asks nothing
    return true;
  }
  // The guest steers the green pad with its own keys; the red player is the host's.
  return common::steers_red(c) || common::steers_green(c);
}

void guest_role::game_ends() noexcept {
  try {
    box_.call(request{request::kind::farewell});
  } catch (...) {
    // The game ends all the same; the host then finds its guest lost.
  }
}

void guest_role::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    if (box_.accept(
            stop, [](const request& r) { return r.what == request::kind::start; }, [](const request&) {}) !=
        common::accepted::request)
      return;
    play(stop);
  } catch (...) {
    std::string line;
    try {
      line = common::error_line(net_error_prefix);
    } catch (...) {
    }
    world_.log.error(line);
    finish(guest_session::ending::lost, 0);
  }
}

void guest_role::finish(guest_session::ending why, std::uint16_t host_version) {
  playing_.store(false, std::memory_order_release);
  box_.close();  // nothing more goes to the host; the window's requests return at once
  const std::string text = ending_text(why, host_version);
  world_.board.set_info(text);
  world_.board.set_network_line(text);
  world_.log.info(text);
  std::this_thread::sleep_for(show_ending_);  // for the player to read it
  world_.end(why == guest_session::ending::goodbye ? 0 : 1);
}

void guest_role::play(std::stop_token stop) {
  world_.board.set_network_line("Laczenie z gospodarzem " + address_ + " ...");
  world_.log.info("Gra przez siec: dolaczanie do gospodarza " + address_ + ", port UDP" +
                  common::image(port_));
  std::unique_ptr<transport> wire;
  try {
    wire = transport::connect(address_, port_);
  } catch (const std::exception&) {
    finish(guest_session::ending::unreachable, 0);
    return;
  }
  system_entropy random;
  guest_session session({code_, cost_}, random, *wire, steady::now());
  common::steady_clock_source clock;
  guest_mirror mirror(world_.board, world_.players, world_.events, clock);

  // The ball moves on this thread as on a host's physics thread: woken promptly, also on a busy machine.
  common::ask_for_short_slices();
  common::steady_time stepped = steady::now();
  common::steady_time next_steering = stepped;
  std::optional<steering> sent;
  while (!stop.stop_requested()) {
    take_events(*wire, milliseconds(1), [&](const transport::event& e) {
      const common::steady_time now = steady::now();
      switch (e.what) {
        case transport::event::kind::connected:
          session.connected(now);
          break;
        case transport::event::kind::received: {
          const guest_session::outcome got = session.received(e.ch, e.data, now);
          if (!got.message) break;
          if (std::holds_alternative<welcome>(*got.message)) {
            world_.board.set_network_line("");
            world_.log.info("Gra przez siec: gracz zielony dolaczyl do gospodarza");
            playing_.store(true, std::memory_order_release);
          }
          // A message is half a round trip old when it arrives. ENet starts from a guess of half a second
          // and a resent datagram stretches its measure: more than a tenth of a second is not believed.
          const std::chrono::duration<float> age =
              std::min(wire->round_trip(e.peer), milliseconds(200)) / 2.0f;
          mirror.take(*got.message, age, std::chrono::system_clock::now());
          host_jumps_.store(mirror.host_jumps(), std::memory_order_release);
          break;
        }
        case transport::event::kind::disconnected:
          session.disconnected(now);
          break;
      }
    });

    // The ball between snapshots, a millisecond at a time as the physics moves it. After a stall of this
    // thread it catches up 20 ms at most at once, rather than jumping: the snapshots make up the rest.
    const common::steady_time now = steady::now();
    const auto due = std::min<std::int64_t>((now - stepped) / milliseconds(1), 20);
    for (std::int64_t i = 0; i < due; ++i) mirror.step();
    stepped = due == 20 ? now : stepped + milliseconds(due);

    if (session.current() == guest_session::state::playing) {
      const auto down = [&](unsigned char a, unsigned char b, unsigned char c) {
        return world_.keys.is_key_down(a) || world_.keys.is_key_down(b) || world_.keys.is_key_down(c);
      };
      const steering keys{down('a', 'j', common::joy_left), down('d', 'l', common::joy_right)};
      if (!sent || !(*sent == keys) || now >= next_steering) {
        session.send(channel::moving, keys);
        sent = keys;
        next_steering = now + steering_repeat;
      }
    }
    session.tick(now);
    if (const std::optional<std::string> line = session.drops().report(now)) world_.log.info(line->c_str());
    box_.accept_until(
        stop, at_once, [](const request& r) { return r.what != request::kind::start; },
        [&](const request& r) {
          if (r.what == request::kind::menu)
            session.send(channel::reliable, menu_choice{r.command});
          else
            part(*wire, [&] { session.say_goodbye(); });
        });
    if (session.end() == guest_session::ending::left) return;  // the window ends the game
    if (session.end() != guest_session::ending::none) {
      finish(session.end(), session.host_version());
      return;
    }
  }
}

}  // namespace net
