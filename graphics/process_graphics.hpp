// The window and everything the player does with it. Two threads:
//   processing_graphics  initialises GLUT, creates the window, registers the callbacks, builds the pop-up
//                        menu and runs the GLUT event loop; every callback and every GL call runs here;
//   redrawing            a metronome that asks for a redraw and a joystick poll 35 times a second.
//
// freeglut is not thread-safe: other threads never call it. They raise atomic flags (a redraw wanted, a
// joystick poll wanted) that a GLUT timer drains on the graphics thread. No C++ exception unwinds through
// freeglut's C frames: every callback catches at its boundary, logs, and leaves the event loop.
//
// Thread use: `start` and `wait_ready` (the start-up handshake) from the main thread; `menu` runs on the
// graphics thread from the pop-up menu and once on the main thread at start-up (value 424).
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <thread>

#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "log/runtime_log.hpp"
#include "state/game_state.hpp"

namespace graphics {

struct world {
  state::board_monitor& board;
  state::players_monitor& players;
  state::view_monitor& view;
  input::keyboard_monitor& keys;
  computer::computer_thread& computer;
  runtime_log::sink& log;
};

class graphics_thread {
 public:
  // `argc`/`argv` go to glutInit and must outlive the thread.
  graphics_thread(world w, int& argc, char** argv);
  graphics_thread(const graphics_thread&) = delete;
  graphics_thread& operator=(const graphics_thread&) = delete;

  // Starts the thread, which waits for `start`. Once only.
  void launch();
  // Accepted at once; the thread then makes the window and the menus.
  bool start();
  // Returns when the window and the menus are ready; false when the thread has ended (for example when no
  // display could be opened).
  bool wait_ready();

  std::uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }

 private:
  enum class request : std::uint8_t { start, wait_ready };
  void run(std::stop_token stop);

  world world_;
  int& argc_;
  char** argv_;
  common::request_box<request> box_;
  std::atomic<std::uint64_t> frames_{0};
  std::jthread thread_;
};

inline common::game_object<graphics_thread> processing_graphics;

class redraw_thread {
 public:
  explicit redraw_thread(common::clock& clock, common::sleeper& sleeper);
  redraw_thread(const redraw_thread&) = delete;
  redraw_thread& operator=(const redraw_thread&) = delete;

  void launch();
  bool start();

 private:
  void run(std::stop_token stop);

  common::clock& clock_;
  common::sleeper& sleeper_;
  common::request_box<bool> box_;
  std::jthread thread_;
};

inline common::game_object<redraw_thread> redrawing;

// The menu action for one entry's value (100..109, 200, 300, 411..413, 421..424, 501, 502, 600).
void menu(int value);

}  // namespace graphics
