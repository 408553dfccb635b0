// The physics: the heart of the game. One thread, `process_physics`, ticks once a millisecond while play is
// enabled: the brick phase (contacts with neighbouring bricks, destroyed bricks, points, the bounce), the pad
// phase (returns from the pads, speed-up, bending by the hit point), the loss phase (a dropped ball costs
// points, pauses 2 s and re-serves, or ends the game) and finally one millisecond of motion.
//
// Thread use: `tick` and the phases are plain code over the monitors, the log and the sleeper of a `world`,
// so tests run whole rallies on their own instances and fake time. The thread offers two requests: `init`
// (it then resets the board) and `start` (accepted only once that reset has finished); then it ticks for
// ever. Nothing else talks to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <thread>

#include "common/common_data.hpp"
#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "state/game_state.hpp"

namespace physics {

// What a tick works on.
struct world {
  state::board_monitor& board;
  state::players_monitor& players;
  runtime_log::sink& log;
  common::sleeper& pause;  // the 2 s pause after a lost ball
};

// The helpers, in single precision.
float mantisa(float x);                            // x - floor(x), in [0, 1)
bool check_rad(float a, float b, float c, float d);  // (a, b) strictly within 0.5 of (c, d)
float sqrt(float x);                               // a negative x is a domain_error
float upspeed(float v);                            // the speed-up of one velocity component at a pad

// The phases of one tick.
void wykrywanie_klockow(const world& w, const common::ball_type& ball);
void destroy_brick(const world& w, std::int32_t column, std::int32_t row, const common::ball_type& ball);
void wykrywanie_padow(const world& w, const common::ball_type& ball);
void wykrywanie_przegranej(const world& w);

// One tick's work, without the wait for the next tick. An error inside a phase is logged and the tick goes
// on; an error outside the phases is thrown (it ends the physics thread).
void tick(const world& w);

class physics_thread {
 public:
  physics_thread(world w, common::clock& clock, common::sleeper& sleeper);
  physics_thread(const physics_thread&) = delete;
  physics_thread& operator=(const physics_thread&) = delete;

  // Starts the thread, which then waits for `init`. Once only.
  void launch();
  // Requests; false when the thread has ended.
  bool init();
  bool start();

  // Ticks run so far, for the game's figures.
  std::uint64_t ticks() const { return ticks_.load(std::memory_order_relaxed); }

 private:
  enum class request : std::uint8_t { init, start };
  void run(std::stop_token stop);

  world world_;
  common::clock& clock_;
  common::sleeper& sleeper_;
  common::request_box<request> box_;
  std::atomic<std::uint64_t> ticks_{0};
  std::jthread thread_;
};

inline common::game_object<physics_thread> process_physics;

}  // namespace physics
