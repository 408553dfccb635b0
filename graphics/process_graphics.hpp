// The window and everything the player does with it. Two threads:
//   processing_graphics  initialises GLUT, creates the window, registers the callbacks, builds the pop-up
//                        menu and runs the GLUT event loop; every callback and every GL call runs here;
//   redrawing            a metronome that asks for a redraw and a joystick poll 35 times a second.
//
// freeglut is not thread-safe: other threads never call it. They raise flags in `window_requests` (a redraw
// wanted, a joystick poll wanted, a window size wanted) that a GLUT timer drains on the graphics thread.
//
// No C++ exception unwinds through freeglut's C frames: every callback catches at its boundary, logs the
// error as the graphics thread's own and ends the game with status 1 once the line is written (without its
// window nobody could play or end the game). freeglut's fatal errors (no display to open) would otherwise
// call exit() under live threads: they are logged, printed on standard error, refuse any further request to
// the thread and park it for good, and `wait_until_gone` returns, so that the main thread can end the game
// with status 1 once the start-up has logged what it could not do. A lost X connection (Xlib would call
// exit() too) is logged and ends the game with status 1.
//
// The game ends through the "Zakoncz" entry or the window's close button alike: the closing line goes to the
// log, and once it is written the process ends with status 0 without running static destructors.
//
// Thread use: `start` and `wait_ready` (the start-up handshake) from the main thread; `menu` runs on the
// graphics thread from the pop-up menu and once on the main thread at start-up (`green_computer`). The
// drawing functions (`set_rendering_state`, `reshape`, `display`) on the thread that owns the GL context.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "common/menu_command.hpp"
#include "common/network_link.hpp"
#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "log/runtime_log.hpp"
#include "sound/game_events.hpp"
#include "sound/sound_output.hpp"
#include "state/game_state.hpp"

namespace graphics {

inline constexpr std::string_view graphics_error_prefix =
    "Nastapil wyjatek w module obslugi grafiki, nazwa: ";
inline constexpr std::string_view menu_error_prefix =
    "Nastapil wyjatek w module obslugi grafiki - tworzenie menu, nazwa: ";
inline constexpr std::string_view closing_line =
    "Zako\xF1"
    "czono dzialanie programu";

// The metronome's period: one frame-rate-th of a second, cut to whole nanoseconds (28 571 428 ns).
inline constexpr std::chrono::nanoseconds redraw_period =
    std::chrono::nanoseconds(std::chrono::seconds(1)) / common::frame_rate;

using common::menu_command;

// The pop-up menu as the player sees it. An entry either asks for a command or opens a submenu (its place
// in `menu_tree`). Labels are Windows-1250 bytes.
struct menu_entry {
  std::string_view label;
  menu_command command{};
  int submenu = -1;
  constexpr bool opens_submenu() const { return submenu >= 0; }
};

// The menus in the order they are made: each submenu before the menu that opens it, the main menu last
// (it is the one the right mouse button opens).
extern const std::array<std::span<const menu_entry>, 6> menu_tree;

// A failure of the windowing system: one of freeglut's fatal errors, or the X connection lost.
class glut_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct world {
  state::board_monitor& board;
  state::players_monitor& players;
  state::view_monitor& view;
  input::keyboard_monitor& keys;
  computer::computer_thread& computer;
  runtime_log::sink& log;
  // Where a new game from the menu is told, for the sound; none when nobody listens.
  sound::event_channel* events = nullptr;
  // What the `m` key switches; none when the game has no sound.
  sound::sound_switch* sound = nullptr;
  // The network game this window belongs to; none at one keyboard.
  common::network_link* network = nullptr;
};

// What a frame is drawn from.
struct scene {
  const state::board_monitor& board;
  const state::players_monitor& players;
  const state::view_monitor& view;
  // The wall-clock time the heads-up times are read at: the real clock, or a fixed time for still pictures.
  std::chrono::system_clock::time_point (*now)() = std::chrono::system_clock::now;
};

// Requests for the GLUT loop from any thread; the graphics thread takes them. Requests of one kind that
// arrive before the loop has taken the first merge into one, as GLUT merges redisplays.
class loop_requests {
 public:
  void post_redisplay() { redisplay_.store(true, std::memory_order_release); }
  void post_joystick_poll() { joystick_poll_.store(true, std::memory_order_release); }
  // `default_window` or `full_screen`; the later request wins.
  void post_window_size(menu_command size) {
    window_size_.store(common::value_of(size), std::memory_order_release);
  }

  bool take_redisplay() { return redisplay_.exchange(false, std::memory_order_acq_rel); }
  bool take_joystick_poll() { return joystick_poll_.exchange(false, std::memory_order_acq_rel); }
  std::optional<menu_command> take_window_size() {
    const int size = window_size_.exchange(0, std::memory_order_acq_rel);
    if (size == 0) return std::nullopt;
    return menu_command{size};
  }

 private:
  std::atomic<bool> redisplay_{false};
  std::atomic<bool> joystick_poll_{false};
  std::atomic<int> window_size_{0};  // 0: none wanted
};

inline loop_requests window_requests;

// One tick of the redraw metronome: a redisplay and a joystick poll. Returns the next tick's time, one
// period after the clock reading at the top of this tick.
common::steady_time redraw_tick(common::clock& clock, loop_requests& requests);

// The game's side of a menu command: a new game on a board (with both players back to 1000 points), pause,
// resume, each player's steering. Other commands do nothing here. False when the computer player's thread
// has ended and refused the switch of the green player's steering; the chosen preset stands all the same.
bool menu_action(const world& w, menu_command c);

// Whether a command sets the running flag itself: a new game, pause, resume.
bool sets_running_flag(menu_command c);

// Keeps the game paused while the pop-up menu is open and resumes it when the menu closes, with the entry
// chosen from the menu having the last word: freeglut reports the menu closed before it calls the entry,
// while a toolkit that reports the closing after the entry must not undo a "Zatrzymaj".
// Graphics thread only.
class menu_pause {
 public:
  // With a network link, the pause and the resume go to it first (a guest's menu pauses its host's game).
  explicit menu_pause(state::board_monitor& board, common::network_link* network = nullptr)
      : board_(board), network_(network) {}
  // GLUT_MENU_IN_USE (1) or GLUT_MENU_NOT_IN_USE (0); other values do nothing.
  void menu_state(int status);
  // Called before the chosen entry's action runs.
  void entry_chosen(menu_command c);

 private:
  void set_running(bool running);

  state::board_monitor& board_;
  common::network_link* network_;
  bool open_ = false;
  bool entry_decided_ = false;  // an entry chosen while the menu was open set the running flag
};

// The key that switches the sound off and on.
inline constexpr unsigned char sound_key = 'm';

// Tells a key's real presses from the repeats of the key held down. The window asks X to repeat a held key
// as presses alone; a server that cannot repeats it as a release and a press at the same moment, and GLUT
// passes both on, so a press that follows its release within `repeat_gap` is the key still held too.
// Graphics thread only.
class key_presses {
 public:
  static constexpr std::chrono::milliseconds repeat_gap{15};
  // True for a new press.
  bool press(common::steady_time now);
  void release(common::steady_time now);

 private:
  bool down_ = false;
  bool released_before_ = false;
  common::steady_time released_{};
};

// The `m` key: the sound off or on, and the switch in the log.
void switch_sound(const world& w);

// The joystick's x axis (-1000..1000) into the two pseudo-keys of the PAD preset, with a dead zone of
// -10..10 in which both are let go.
void joystick_keys(input::keyboard_monitor& keys, int x);

// The rendering state every frame relies on, set once on a new window's context.
void set_rendering_state();
// The projection for a window of this size; a window without height keeps a square aspect.
void reshape(int width, int height);
// One complete frame: camera, floor, bricks, pads, ball, heads-up block; then the buffers are swapped.
void display(const scene& s);
// The heads-up block of nine lines; a network line that holds a line break is drawn as two.
void rysowanie_informacji(const scene& s);

// Logs the closing line as the log's last entry and, once it is written, ends the process with `status`.
// A network game's other side is told first.
[[noreturn]] void end_game(runtime_log::sink& log, common::network_link* network = nullptr, int status = 0);

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

  // The menu action for one command, from any thread; what `menu_action` returns.
  bool menu(menu_command c);

  // Returns once the window has gone for good: the toolkit failed (no display to open, say), or the thread
  // ended without a window or left its loop. Its reason is logged by then. From any thread.
  void wait_until_gone() const;

  std::uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }

 private:
  enum class request : std::uint8_t { start, wait_ready };
  friend struct glut_callbacks;

  void run(std::stop_token stop);
  void create_window();
  void create_menus();
  // An error caught at a callback's boundary: logged, and the game ends with status 1.
  [[noreturn]] void fail_in_loop() noexcept;
  // freeglut cannot go on: logged, and no request is accepted any more.
  void fail_for_good(std::string_view message) noexcept;
  // The X server has gone: logged, and the game ends with status 1.
  [[noreturn]] void lose_x_connection() noexcept;
  void window_gone() noexcept;

  world world_;
  int& argc_;
  char** argv_;
  std::string program_name_;
  common::request_box<request> box_;
  std::atomic<std::uint64_t> frames_{0};
  menu_pause pause_;
  key_presses sound_key_presses_;
  int window_ = 0;
  bool full_screen_pending_ = false;     // moved to the screen's corner, full screen on the next pass
  bool default_window_pending_ = false;  // left full screen, the start-up place and size on the next pass
  bool failed_ = false;                  // freeglut has failed for good: no callback runs any more
  std::atomic<bool> gone_{false};
  int previous_mouse_x_ = 0;
  int previous_mouse_y_ = 0;
  std::jthread thread_;
};

inline common::game_object<graphics_thread> processing_graphics;

class redraw_thread {
 public:
  redraw_thread(common::clock& clock, common::sleeper& sleeper, loop_requests& requests = window_requests);
  redraw_thread(const redraw_thread&) = delete;
  redraw_thread& operator=(const redraw_thread&) = delete;

  void launch();
  // Starts the ticks; false when the thread has ended.
  bool start();

  std::uint64_t ticks() const { return ticks_.load(std::memory_order_relaxed); }

 private:
  void run(std::stop_token stop);

  common::clock& clock_;
  common::sleeper& sleeper_;
  loop_requests& requests_;
  common::request_box<bool> box_;
  std::atomic<std::uint64_t> ticks_{0};
  std::jthread thread_;
};

inline common::game_object<redraw_thread> redrawing;

// The menu action for one command, on the game's graphics thread object. False when the computer player
// refused a steering switch.
bool menu(menu_command c);

}  // namespace graphics
