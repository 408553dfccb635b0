// The main procedure and the start-up order of the whole game.
//
// Start-up, on the main thread: the log thread first, then `program_started`, then the shared state and the
// worker threads in the order physics, input, computer player, graphics, redraw and sound; each worker waits
// at its first request. Then the main procedure reports the settings and brings the threads into play one
// after another with their requests (the handshake), starts the sound, and returns; the main thread then
// waits until the process is ended by the "Zakoncz" menu entry or by closing the window.
#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "log/runtime_log.hpp"
#include "net/session.hpp"

namespace startup {

// ---------------------------------------------------------------------------------------------------------
// The command line. Without an option of the game's own the game starts as it always has; the X options
// (-display, -geometry, ...) go on to the window toolkit either way.

inline constexpr std::uint16_t default_port = 47630;  // UDP, for a game over the network

struct command_line {
  enum class role : std::uint8_t { alone, host, guest };
  role play = role::alone;
  bool mute = false;
  bool help = false;
  std::uint16_t port = default_port;
  std::string address;                 // a guest's host: a host name or an address
  std::optional<net::join_code> code;  // none: a host draws one
  std::vector<std::string> toolkit;    // the program's name and the X options, in their order
};

// An unknown or malformed option; what() says which, in the game's language.
class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the arguments; the first is the program's name. `--code -` reads the code from `code_input`.
command_line read_command_line(std::span<const char* const> arguments, std::istream& code_input = std::cin);
// What --help prints, and what follows a usage error on standard error.
std::string usage(std::string_view program);
// main()'s first step: reads the command line; after --help prints the usage and ends the process with
// status 0, after a mistake prints it on standard error and ends with status 2, before anything else has
// started. The code given on the command line is then blanked out of `argv`, so that the process list no
// longer shows it. The result lives until the process ends; start-up wipes its code once it is handed on.
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
// the game with its sound switched off.
void static_initialisation(int& argc, char** argv, bool mute = false);
// The same for the game as the command line asks for it; the code is wiped from `options` once handed on.
void static_initialisation(command_line& options);

// The main thread's wait after the main procedure: until the process is ended, by the player or, when the
// window has gone for good, here with status 1 once the log has the reasons.
[[noreturn]] void wait_for_the_end();

}  // namespace startup
