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

// Events taken per pass of a role's loop, and how long a farewell waits for the wire at a time.
constexpr int events_a_pass = 64;
constexpr milliseconds farewell_step{10};

// The deadline of a request that is only taken when it waits already.
constexpr common::steady_time at_once{};

// Takes the transport's events for a pass: the first waits up to `wait`, and a burst of them never holds up
// the pass for long.
template <class Handle>
void take_events(transport& wire, milliseconds wait, Handle handle) {
  int taken = 0;
  for (auto e = wire.service(wait); e;
       e = ++taken < events_a_pass ? wire.service(milliseconds(0)) : std::nullopt)
    handle(*e);
}

// Says goodbye through `pass` and takes the wire's events until the other side has acknowledged it or the
// farewell's time is up, so that it hears the game ended rather than lost.
template <class Pass, class Take>
void part(transport& wire, Pass& pass, Take take) {
  pass.say_goodbye(steady::now());
  wire.flush();
  while (!pass.parted(steady::now())) take_events(wire, farewell_step, take);
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

host_role::host_role(host_world w, std::uint16_t port, std::optional<join_code> code)
    : world_(w), port_(port), code_(std::move(code)) {}

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

void host_role::run(std::stop_token stop) {
  common::box_closer closer(box_);
  struct wiper {
    std::optional<join_code>& code;
    ~wiper() {
      if (code) code->wipe();
    }
  } wipe_code{code_};
  try {
    if (box_.accept(
            stop, [](request r) { return r == request::start; }, [](request) {}) != common::accepted::request)
      return;
    serve(stop);
  } catch (...) {
    try {
      world_.log.error(common::error_line(net_error_prefix));
      world_.board.set_network_line("");
      if (guest_plays()) green_steering(world_, false, guest_plays_);
    } catch (...) {
      // Nothing more to be done; the game goes on at this keyboard.
    }
  }
}

void host_role::serve(std::stop_token stop) {
  system_entropy random;
  if (!code_) code_ = draw_join_code(random);
  const std::string_view code = code_->view();

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
  host_session session(*code_, random, *wire, world_.log);
  wire->filter([&](const endpoint& from) {
    const std::optional<drop_reason> why = session.gate().refuses(from, steady::now());
    if (why) session.drops().note(*why);
    return why.has_value();
  });

  const std::vector<std::string> addresses = local_addresses();
  host_pass pass(world_, session, waiting_line(code, addresses, port_), guest_plays_);
  world_.out << "Multiplayer Tolvaran: gra przez siec na porcie UDP " << port_
             << "\nKod dolaczenia: " << shown_code(code) << "\nAdresy tego komputera:";
  for (const std::string& a : addresses) world_.out << ' ' << a;
  world_.out << (addresses.empty() ? " brak sieci\n" : "\n") << std::flush;
  world_.log.info("Gra przez siec czeka na goscia, port UDP" + common::image(port_));

  const auto take = [&](const transport::event& e) {
    pass.take(e, steady::now(), std::chrono::system_clock::now());
  };
  while (!stop.stop_requested()) {
    take_events(*wire, pass.wait(steady::now()), take);
    pass.tick(steady::now(), std::chrono::system_clock::now());
    box_.accept_until(
        stop, at_once, [](request r) { return r == request::farewell; },
        [&](request) { part(*wire, pass, take); });
    bytes_sent_.store(wire->bytes_sent(), std::memory_order_relaxed);
    datagrams_received_.store(wire->datagrams_received(), std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------------------------------------------------
// The guest

guest_role::guest_role(guest_world w, std::string address, std::uint16_t port, const join_code& code,
                       std::chrono::milliseconds show_ending)
    : world_(std::move(w)),
      address_(std::move(address)),
      port_(port),
      code_(code),
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
  code_.wipe();
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
  guest_session session(code_, random, *wire, steady::now());
  code_.wipe();  // the session wipes its own copy once the join no longer needs it
  common::steady_clock_source clock;
  guest_pass pass(world_, session, *wire, clock, steady::now(), playing_, host_jumps_);

  // The ball moves on this thread as on a host's physics thread: woken promptly, also on a busy machine.
  common::ask_for_short_slices();
  const auto take = [&](const transport::event& e) {
    pass.take(e, steady::now(), std::chrono::system_clock::now());
  };
  while (!stop.stop_requested()) {
    take_events(*wire, pass.wait(), take);
    pass.tick(steady::now());
    box_.accept_until(
        stop, at_once, [](const request& r) { return r.what != request::kind::start; },
        [&](const request& r) {
          if (r.what == request::kind::menu)
            pass.choose(r.command);
          else
            part(*wire, pass, take);
        });
    if (pass.ending() == guest_session::ending::left) return;  // the window ends the game
    if (pass.ending() != guest_session::ending::none) {
      finish(pass.ending(), session.host_version());
      return;
    }
  }
}

}  // namespace net
