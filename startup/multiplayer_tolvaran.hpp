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

// The main procedure: the settings report, the handshake, "Zadania uruchomione". Any error is logged with
// the procedure's own prefix and the remaining steps are skipped; it always returns normally.
void multiplayer_tolvaran(runtime_log::sink& log);

// Everything main() does before the main procedure, in the game's start-up order. `argc`/`argv` go to the
// windowing library when the graphics thread initialises it; they must outlive the process.
void static_initialisation(int& argc, char** argv);

// The main thread's wait after the main procedure: until the process is ended.
[[noreturn]] void wait_for_the_end();

}  // namespace startup
