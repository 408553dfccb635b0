// The main procedure and the start-up order of the whole game.
//
// Start-up, on the main thread: the log thread first, then `program_started`, then the shared state and the
// worker threads in the order physics, input, computer player, graphics and redraw; each worker waits at its
// first request. Then the main procedure reports the settings and brings the threads into play one after
// another with their requests (the handshake), and returns; the main thread then waits until the process is
// ended by the "Zakoncz" menu entry or by closing the window.
#pragma once

#include <vector>

#include "log/runtime_log.hpp"

namespace startup {

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
};

// The main procedure: the settings report, the handshake, "Zadania uruchomione". Any error, a refused
// request included, is logged with the procedure's own prefix and the remaining steps are skipped; it
// always returns normally.
void multiplayer_tolvaran(runtime_log::sink& log, handshake_parties& threads);
// The same with the game's own threads.
void multiplayer_tolvaran(runtime_log::sink& log);

// Everything main() does before the main procedure, in the game's start-up order. `argc`/`argv` go to the
// windowing library when the graphics thread initialises it; they must outlive the process.
void static_initialisation(int& argc, char** argv);

// The main thread's wait after the main procedure: until the process is ended.
[[noreturn]] void wait_for_the_end();

}  // namespace startup
