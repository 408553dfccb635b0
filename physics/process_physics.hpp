// The physics: the heart of the game. One thread, `process_physics`, ticks once a millisecond while play is
// enabled: the brick phase (contacts with neighbouring bricks, destroyed bricks, points, the bounce), the pad
// phase (returns from the pads, speed-up, bending by the hit point), the loss phase (a dropped ball costs
// points, pauses 2 s and re-serves, or ends the game) and finally one millisecond of motion.
//
// Thread use: `tick`, `tick_period` and the phases are plain code over the monitors, the log and the sleeper
// of a `world`, so tests run whole rallies on their own instances and fake time. The thread offers two
// requests: `init` (it then resets the board) and `start` (accepted only once that reset has finished); then
// it ticks for ever and takes no more requests. Nothing else talks to it.
//
// Errors: each phase, and the writing-off of a brick inside the brick phase, catches its own errors, logs
// them with a prefix of its own and lets the tick go on. Anything else that fails in a tick (reading the
// ball, a ball position that is not a usable number, the motion step, the clock, the sleep) ends the thread
// with one logged line; the rest of the game goes on without it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string_view>
#include <thread>

#include "common/common_data.hpp"
#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "sound/game_events.hpp"
#include "state/game_state.hpp"

namespace physics {

// What a tick works on.
struct world {
  state::board_monitor& board;
  state::players_monitor& players;
  runtime_log::sink& log;
  common::sleeper& pause;  // the 2 s pause after a lost ball
  // Where the tick tells what a player should hear; none when nobody listens.
  sound::event_channel* events = nullptr;
};

// The prefixes of the logged error lines, outermost first.
inline constexpr std::string_view thread_error_prefix = "Nastapil wyjatek w module fizyki, nazwa: ";
inline constexpr std::string_view brick_phase_error_prefix =
    "Nastapil wyjatek w module fizyki - niszczenie/odbicia kostek, nazwa: ";
inline constexpr std::string_view destroy_brick_error_prefix =
    "Nastapil wyjatek w module fizyki - niesczenie kostki- Destroy_Brick, nazwa: ";
inline constexpr std::string_view pad_phase_error_prefix =
    "Nastapil wyjatek w module fizyki - wykrywanie padow - odbic, nazwa: ";
inline constexpr std::string_view loss_phase_error_prefix =
    "Nastapil wyjatek w module fizyki - wykrywanie przegranej, nazwa: ";

// How long the game stands still after a dropped ball before the next serve.
inline constexpr std::chrono::seconds lost_ball_pause{2};

// Records an event on the world's channel, if it has one.
void tell(const world& w, const sound::game_event& event) noexcept;

// The helpers, in single precision.
float mantisa(float x);                              // x - floor(x), in [0, 1)
bool check_rad(float a, float b, float c, float d);  // (a, b) strictly within 0.5 of (c, d)
float sqrt(float x);                                 // a negative or NaN x is a domain_error
float upspeed(float v);                              // the speed-up of one velocity component at a pad

// The cell (column X, row Y, both from 1 on the board) that holds a point. A coordinate that is not a number
// or whose floor does not fit a 32-bit integer is an overflow_error.
struct cell {
  std::int32_t column;
  std::int32_t row;
};
cell cell_of(common::vector pos);

// The rules of a tick as plain code over what they read, for the phases below and for a guest that foresees
// its host's ball.
//
// What the ball touches at the start of a tick: the bricks it strikes, in the order they are written off (one
// across and one along, or one at a corner), and the reflections.
struct contacts {
  common::dir_change hits{};
  std::array<cell, 2> struck{};
  std::size_t count = 0;
};
// Whether a brick stands in a cell (column, row), false off the board: the host's monitor, or a guest's
// copy of its host's board.
class brick_lookup {
 public:
  // Any callable `exists(column, row)`; it must outlive the lookup, which only refers to it.
  template <class Exists>
  brick_lookup(const Exists& exists)  // NOLINT: implicit, as a function reference
      : callable_(&exists), call_([](const void* f, std::int32_t column, std::int32_t row) {
          return (*static_cast<const Exists*>(f))(column, row);
        }) {}
  bool operator()(std::int32_t column, std::int32_t row) const { return call_(callable_, column, row); }

 private:
  const void* callable_;
  bool (*call_)(const void*, std::int32_t, std::int32_t);
};
contacts brick_contacts(const brick_lookup& exists, const common::ball_type& ball, cell at);

// The end of the board a ball is beyond: a pad's line, or a loss line.
enum class side : std::uint8_t { none, red, green };
side beyond_pad_line(const common::ball_type& ball);
side beyond_loss_line(const common::ball_type& ball);
// The ball sent back by `pad`, the pad of the end it is beyond: along y with the new speed, bent across by
// where it met the pad, put back on the pad's line. None when the ball is not over the pad.
std::optional<common::ball_type> pad_return(const common::ball_type& ball, const common::pad_type& pad,
                                            side end);

// The phases of one tick. Each catches and logs its own errors, except where noted.
//
// The brick phase, on the ball read at the start of the tick and its cell: destroys what the ball touches
// and bounces it, with one `ball_bounce` call (unless an error came first).
void wykrywanie_klockow(const world& w, const common::ball_type& ball, cell at);
// Writes off one brick that the ball touched: firm bricks (and cells found empty) stay as they are. An error
// in reading the matrix reaches the caller; one in logging, scoring or writing the brick back is logged here.
void destroy_brick(const world& w, std::int32_t column, std::int32_t row, const common::ball_type& ball);
// The pad phase, on the ball read after the bounce.
void wykrywanie_padow(const world& w, const common::ball_type& ball);
// The loss phase. It reads the ball itself; an error in that reading reaches the caller.
void wykrywanie_przegranej(const world& w);

// One tick's work, without the wait for the next tick; false when play is not enabled and the tick did
// nothing. An error inside a phase is logged and the tick goes on; an error outside the phases is thrown
// (it ends the physics thread).
bool tick(const world& w);

// One period of the physics thread: the next tick's time is taken first, then the tick runs, then the
// thread sleeps until that time: precisely after play, resting after an idle tick, which only has to
// notice a resume by the next tick. A late tick (the pause after a lost ball) is not made up. Throws what
// `tick` throws.
void tick_period(const world& w, common::clock& clock, common::sleeper& sleeper);

class physics_thread {
 public:
  physics_thread(world w, common::clock& clock, common::sleeper& sleeper);
  physics_thread(const physics_thread&) = delete;
  physics_thread& operator=(const physics_thread&) = delete;

  // Starts the thread, which then waits for `init`. Once only.
  void launch();
  // Requests; false when the thread has ended, or when it already ticks and takes no more requests (then
  // at once, rather than keeping the caller waiting for ever).
  bool init();
  bool start();

  // Ticks run so far, for the game's figures.
  std::uint64_t ticks() const { return ticks_.load(std::memory_order_relaxed); }
  // True while the thread is alive (from `launch` until an error has ended it).
  bool running() const { return running_.load(std::memory_order_acquire); }
  // Tests: a caller is waiting for the thread to take its request.
  bool has_waiting_caller() const { return box_.has_waiting_caller(); }

 private:
  enum class request : std::uint8_t { init, start };
  void run(std::stop_token stop);

  world world_;
  common::clock& clock_;
  common::sleeper& sleeper_;
  common::request_box<request> box_;
  std::atomic<std::uint64_t> ticks_{0};
  std::atomic<bool> running_{false};
  std::jthread thread_;
};

inline common::game_object<physics_thread> process_physics;

}  // namespace physics
