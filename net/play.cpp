#include "net/play.hpp"

#include <arpa/inet.h>

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

// This computer's addresses (host byte order), loopback aside.
std::vector<std::uint32_t> own_addresses() {
  std::vector<std::uint32_t> own;
  for (const std::string& text : local_addresses()) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) == 1) own.push_back(ntohl(a.s_addr));
  }
  return own;
}

// A router's line as a sentence of its own on standard output.
std::string sentence(std::string line) {
  if (!line.empty() && line[0] >= 'a' && line[0] <= 'z') line[0] = static_cast<char>(line[0] - 'a' + 'A');
  return line;
}

}  // namespace

std::string waiting_line(std::string_view code, const std::vector<std::string>& addresses,
                         std::uint16_t port) {
  std::string where;
  for (std::size_t i = 0; i < addresses.size() && i < 3; ++i) where += (i == 0 ? "" : ", ") + addresses[i];
  if (where.empty()) where = "brak sieci";
  return "Kod dolaczenia: " + shown_code(code) + "   adresy: " + where + "   port UDP" + common::image(port);
}

std::string waiting_lines(std::string_view code, const std::vector<std::string>& addresses,
                          std::uint16_t port, std::string_view router) {
  const std::vector<std::string> first(addresses.begin(),
                                       addresses.begin() + std::min<std::size_t>(addresses.size(), 2));
  // A guest on this network finds the host by itself (discovery.hpp) and needs nothing more.
  return waiting_line(code, first, port) + "\n" + std::string(router) + "   w tej sieci: sam kod";
}

std::string router_asking_line(std::uint16_t port) {
  return "router: prosba o przekierowanie portu UDP" + common::image(port) + " ...";
}

std::string no_router_line(std::uint16_t port) {
  return "bez routera (--no-router): przekieruj recznie port UDP" + common::image(port);
}

std::vector<lan_host> hosts_to_try(const std::vector<lan_host>& found, std::span<const std::uint32_t> own) {
  // One UDP port of one computer is one game's: whatever address it answered from, it is the same host.
  const auto here = [&](std::uint32_t a) { return a >> 24 == 127 || std::ranges::find(own, a) != own.end(); };
  std::vector<lan_host> free;
  bool here_taken = false;
  for (const lan_host& h : found) {
    if (h.busy || h.version != protocol_version) continue;
    if (here(h.address)) {
      if (here_taken) continue;
      here_taken = true;
    }
    free.push_back(h);
  }
  return free;
}

std::string host_text(const lan_host& host) {
  std::string said = address_text(host.address);
  if (host.version != protocol_version)
    said += ", inna wersja gry";
  else if (host.busy)
    said += ", gra z gosciem";
  return (host.name.empty() ? "bez nazwy" : host.name) + " (" + said + ")";
}

std::string no_host_line(const std::vector<lan_host>& found, std::uint16_t port) {
  if (found.empty()) return "Nie znaleziono gospodarza w tej sieci (port UDP" + common::image(port) + ")";
  constexpr std::size_t most_told = 3;
  std::string line = "Zaden gospodarz w tej sieci nie przyjal goscia:";
  for (std::size_t i = 0; i < found.size() && i < most_told; ++i)
    line += (i == 0 ? " " : ", ") + host_text(found[i]);
  if (found.size() > most_told)
    line += " i" + common::image(static_cast<std::int64_t>(found.size() - most_told)) + " innych";
  return line;
}

// ---------------------------------------------------------------------------------------------------------
// The host

host_role::host_role(host_world w, std::uint16_t port, std::optional<join_code> code,
                     std::optional<router_settings> router)
    : world_(w), port_(port), code_(std::move(code)), router_(std::move(router)) {}

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

  lan_responder lan(host_name(), port_);  // outlives the wire that answers with it
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
  wire->answer_probes(&lan);

  const std::vector<std::string> addresses = local_addresses();
  common::steady_clock_source clock;
  // Removes the mapping on every way out of this thread, a failure's included.
  const std::unique_ptr<port_mapper> router = announce(code, addresses, clock);
  host_pass pass(
      world_, session,
      waiting_lines(code, addresses, port_, router ? router_line(router->outcome()) : no_router_line(port_)),
      guest_plays_);

  const auto take = [&](const transport::event& e) {
    pass.take(e, steady::now(), std::chrono::system_clock::now());
  };
  while (!stop.stop_requested()) {
    lan.busy(guest_plays());
    take_events(*wire, pass.wait(steady::now()), take);
    pass.tick(steady::now(), std::chrono::system_clock::now());
    if (router && router->due()) router->renew();
    box_.accept_until(
        stop, at_once, [](request r) { return r == request::farewell; },
        [&](request) {
          part(*wire, pass, take);
          if (router) router->close();
        });
    bytes_sent_.store(wire->bytes_sent(), std::memory_order_relaxed);
    datagrams_received_.store(wire->datagrams_received(), std::memory_order_relaxed);
  }
}

std::unique_ptr<port_mapper> host_role::announce(std::string_view code,
                                                 const std::vector<std::string>& addresses,
                                                 common::clock& clock) {
  // The line shows at once; what the router says follows within its bound.
  world_.board.set_network_line(
      waiting_lines(code, addresses, port_, router_ ? router_asking_line(port_) : no_router_line(port_)));
  world_.out << "Multiplayer Tolvaran: gra przez siec na porcie UDP " << port_
             << "\nKod dolaczenia: " << shown_code(code) << "\nAdresy tego komputera:";
  for (const std::string& a : addresses) world_.out << ' ' << a;
  world_.out << (addresses.empty() ? " brak sieci\n" : "\n")
             << "W tej samej sieci wystarczy sam kod: --join --code " << shown_code(code) << '\n'
             << std::flush;
  world_.log.info("Gra przez siec czeka na goscia, port UDP" + common::image(port_));
  if (!router_) {
    world_.out << sentence(no_router_line(port_)) << '\n' << std::flush;
    world_.log.info("Gra przez siec: router nie jest pytany o przekierowanie portu (--no-router)");
    return nullptr;
  }
  router_settings settings = *router_;
  settings.log = [&log = world_.log](std::string_view line) { log.info(line); };
  auto mapper = std::make_unique<port_mapper>(std::move(settings), clock);
  world_.out << sentence(router_line(mapper->open(port_))) << '\n' << std::flush;
  return mapper;
}

// ---------------------------------------------------------------------------------------------------------
// The guest

guest_role::guest_role(guest_world w, std::string address, std::uint16_t port, const join_code& code,
                       std::chrono::milliseconds show_ending, host_search search)
    : world_(std::move(w)),
      address_(std::move(address)),
      port_(port),
      code_(code),
      show_ending_(show_ending),
      search_(std::move(search)) {}

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
    if (address_.empty())
      play_found_host(stop);
    else
      play(stop, address_);
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
  finish(ending_text(why, host_version), why == guest_session::ending::goodbye ? 0 : 1);
}

void guest_role::finish(const std::string& why, int status) {
  code_.wipe();
  playing_.store(false, std::memory_order_release);
  box_.close();  // nothing more goes to the host; the window's requests return at once
  world_.board.set_info(why);
  world_.board.set_network_line(why);
  world_.log.info(why);
  std::this_thread::sleep_for(show_ending_);  // for the player to read it
  world_.end(status);
}

void guest_role::play_found_host(std::stop_token stop) {
  world_.board.set_network_line("Szukanie gospodarza w tej sieci ...");
  world_.log.info("Gra przez siec: szukanie gospodarza w tej sieci, port UDP" + common::image(port_));
  std::vector<std::uint32_t> targets = search_.targets;
  if (targets.empty()) {
    targets = broadcast_addresses();
    targets.push_back(0x7F000001u);  // a host on this computer
  }
  const std::vector<lan_host> found = find_hosts(port_, targets, search_.limit);
  const std::vector<lan_host> free = hosts_to_try(found, own_addresses());
  world_.log.info(
      "Gra przez siec: znalezieni gospodarze:" + common::image(static_cast<std::int64_t>(found.size())) +
      ", wolni:" + common::image(static_cast<std::int64_t>(free.size())));
  // Each in turn until one takes the code. Nobody can tell a wrong host from a wrong code: each host that
  // refuses it counts one wrong guess from this computer (5 within a minute and it ignores us for a minute).
  for (const lan_host& host : free)
    if (play(stop, address_text(host.address), true)) return;
  const std::string line = no_host_line(found, port_);
  if (search_.out != nullptr) {
    *search_.out << "Multiplayer Tolvaran: " << line << '\n';
    for (const lan_host& host : found) *search_.out << "  " << host_text(host) << '\n';
    *search_.out << std::flush;
  }
  finish(line, 1);
}

bool guest_role::play(std::stop_token stop, const std::string& address, bool another_to_try) {
  world_.board.set_network_line("Laczenie z gospodarzem " + address + " ...");
  world_.log.info("Gra przez siec: dolaczanie do gospodarza " + address + ", port UDP" +
                  common::image(port_));
  // The ball moves on this thread as on a host's physics thread: woken promptly, also on a busy machine.
  common::ask_for_short_slices();
  for (int attempt = 1;; ++attempt) {
    std::unique_ptr<transport> wire;
    try {
      wire = transport::connect(address, port_);
    } catch (const std::exception&) {
      if (another_to_try) return false;
      finish(guest_session::ending::unreachable, 0);
      return true;
    }
    system_entropy random;
    guest_session session(code_, random, *wire, steady::now());
    common::steady_clock_source clock;
    guest_pass pass(world_, session, *wire, clock, steady::now(), playing_, host_jumps_);
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
      if (playing()) code_.wipe();  // joined: no other host will be asked for it
      const guest_session::ending end = pass.ending();
      if (end == guest_session::ending::none) continue;
      if (end == guest_session::ending::left) return true;  // the window ends the game
      if (session.may_try_again() && attempt < join_attempts) break;
      if (another_to_try && !playing()) {
        world_.log.info(ending_text(end, session.host_version()));
        return false;  // not joined: the next host may be the one
      }
      finish(end, session.host_version());
      return true;
    }
    if (stop.stop_requested()) return true;
    world_.log.info("Gra przez siec: gospodarz " + address + " nie odpowiada, proba" +
                    common::image(attempt + 1) + " z" + common::image(join_attempts));
  }
}

}  // namespace net
