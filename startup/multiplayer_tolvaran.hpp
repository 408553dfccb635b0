// The main procedure and the start-up order of the whole game.
//
// Start-up, on the main thread: SIGTERM and SIGINT blocked for every thread to come, the log thread first,
// then `program_started`, then the shared state and the worker threads in the order physics, input,
// computer player, network, graphics, redraw and sound; each worker waits at its first request; last the
// thread that waits for those signals. Then the main procedure reports the settings and brings the threads
// into play one after another with their requests (the handshake), starts the sound, and returns; the main
// thread then waits until the process is ended by the "Zakoncz" menu entry, by closing the window or by
// SIGTERM or SIGINT, which end the game as "Zakoncz" does.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log/runtime_log.hpp"
#include "net/router.hpp"
#include "net/session.hpp"

namespace startup {

// ---------------------------------------------------------------------------------------------------------
// The command line. Without an option of the game's own the game starts as it always has; the X options
// (-display, -geometry, ...) go on to the window toolkit either way.

inline constexpr std::uint16_t default_port = 47630;  // UDP, for a game over the network

// Seams for the tests in the environment; a player needs none of them. Each may name loopback addresses
// alone, so that a test never reaches a real router or anyone's network:
//   TOLVARAN_ROUTER_SEARCH=127.0.0.x:port   the search for a UPnP router goes there alone, unicast
//   TOLVARAN_NATPMP_GATEWAY=127.0.0.y       NAT-PMP asks there rather than the default route's gateway
//   TOLVARAN_ROUTER_LEASE=seconds           the lease asked of the router, 1 to 86400 (else an hour)
//   TOLVARAN_LAN_TARGETS=127.0.0.1[,...]    the only targets of a guest's search for its host
// An empty variable counts as unset; any other value is a usage error.
struct network_seams {
  std::optional<std::pair<std::uint32_t, std::uint16_t>> router_search;  // address (host byte order), port
  std::uint32_t natpmp_gateway = 0;                                      // 0: unset
  std::chrono::seconds lease{0};                                         // 0: unset
  std::vector<std::uint32_t> lan_targets;
};

struct command_line {
  enum class role : std::uint8_t { alone, host, guest };
  role play = role::alone;
  bool mute = false;
  bool help = false;
  bool router = true;  // a host asks its router to forward its port (--no-router: it does not)
  std::uint16_t port = default_port;
  std::string address;                 // a guest's host: a host name or an address; empty: looked for here
  std::optional<net::join_code> code;  // none: a host draws one
  std::vector<std::string> toolkit;    // the program's name and the X options, in their order
  network_seams seams;
};

// An unknown or malformed option; what() says which, in the game's language.
class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the arguments; the first is the program's name. `--code -` reads the code from `code_input`.
command_line read_command_line(std::span<const char* const> arguments, std::istream& code_input = std::cin);
// Reads the seams from `variable` (std::getenv's way: null when unset).
network_seams read_network_seams(const std::function<const char*(const char*)>& variable);
// What a host asks of its router: none with --no-router, else the defaults as the seams change them.
std::optional<net::router_settings> router_settings(const command_line& options);
// What --help prints, and what follows a usage error on standard error.
std::string usage(std::string_view program);
// main()'s first step: reads the command line and the seams; after --help prints the usage and ends the
// process with status 0, after a mistake prints it on standard error and ends with status 2, before
// anything else has started. The code given on the command line is then blanked out of `argv`, so that the
// process list no longer shows it. The result lives until the process ends; start-up wipes its code once it
// is handed on.
command_line& command_line_or_exit(int argc, char** argv);

// The settings report, in the order it is logged.
std::vector<std::string> settings_report();

// The threads that the handshake brings into play, one request each, in the handshake's order. Each returns
// false when its thread has ended (or, for the computer player, refused the switch).
class handshake_parties {
 public:
  virtual ~handshake_parties() = default;
  virtual bool graphics_start() = 0;
  virtual bool graphics_wait_ready() = 0;
  virtual bool physics_init() = 0;
  virtual bool physics_start() = 0;
  // The green player's "Komputer" menu entry, run on the calling thread.
  virtual bool green_player_to_computer() = 0;
  virtual bool input_start() = 0;
  // False for a guest over the network, which shows its host's game: no physics and no computer player
  // are brought into play there.
  virtual bool plays_here() const { return true; }
  // A game over the network: the host begins to wait for a guest, the guest to join. Last of all.
  virtual bool network_start() { return true; }
};

// The main procedure: the settings report, the handshake, "Zadania uruchomione". Any error, a refused
// request included, is logged with the procedure's own prefix and the remaining steps are skipped; it
// always returns normally.
void multiplayer_tolvaran(runtime_log::sink& log, handshake_parties& threads);
// The same with the game's own threads; then the sound thread is started.
void multiplayer_tolvaran(runtime_log::sink& log);

// Everything main() does before the main procedure, in the game's start-up order. `argc`/`argv` go to the
// windowing library when the graphics thread initialises it; they must outlive the process. `mute` starts
// the game with its sound switched off. SIGTERM and SIGINT stay blocked in the calling thread.
void static_initialisation(int& argc, char** argv, bool mute = false);
// The same for the game as the command line asks for it; the code is wiped from `options` once handed on.
void static_initialisation(command_line& options);

// The main thread's wait after the main procedure: until the process is ended, by the player or, when the
// window has gone for good, here with status 1 once the log has the reasons.
[[noreturn]] void wait_for_the_end();

}  // namespace startup
