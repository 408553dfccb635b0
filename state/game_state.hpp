// The shared game state: three monitors that the threads meet in.
//
//   board_state    the brick matrix, the two pads, the ball, the running flag, the start of the current game
//                  and the line of game information that the heads-up text shows
//   players_state  each player's steering preset and points
//   view_state     the camera: tilt, turn, distance
//
// Each monitor has one private mutex taken by every public operation, readers included; getters return
// copies; no operation calls another monitor, so locks never nest. The physics thread changes the ball, the
// bricks and the points; the input thread moves the pads; the menus reset, pause and resume; the drawing
// copies everything out once a frame and works on the copies outside the locks.
//
// The operations the physics calls every millisecond (enabled, get_ball, ball_step, brick_exists,
// ball_bounce) allocate nothing and do no I/O. Only reset reads a file, holding the board lock meanwhile.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"
#include "log/runtime_log.hpp"

namespace state {

// Where one move of a pad centred at `x` ends: a whole step of 0.2 cells left (L) or right (R), stopping
// exactly at the limit (half the width plus one cell from each side) instead of passing it; a pad already at
// or beyond its limit stays put, and other directions change nothing.
float pad_step_from(float x, float width, common::direction d);
// Where a pad centred at `x` is held within those limits; too wide a pad for them keeps to the lower one.
float pad_within(float x, float width);

// A velocity after the raised reflections, applied in the order L, R, U, D, LD, RD, LU, RU.
common::vector bounced(common::vector vel, const common::dir_change& change);

class board_monitor {
 public:
  // `log` receives the pattern loader's and the generator's reports during reset. Boards are read from
  // `boards_dir` + the board pattern's name. The serve direction is drawn from a generator seeded with
  // `serve_seed`; the bricks from `bricks`.
  explicit board_monitor(runtime_log::sink& log, std::string boards_dir = "boards/",
                         std::uint64_t serve_seed = common::clock_seed(),
                         board::brick_generator::seed_source bricks = common::clock_seed);
  board_monitor(const board_monitor&) = delete;
  board_monitor& operator=(const board_monitor&) = delete;

  // Wall-clock time of the last reset; the zero time point before the first one.
  std::chrono::system_clock::time_point started() const;
  board::brick_matrix get_brick_matrix_state() const;
  common::pad_type get_pad1() const;
  common::pad_type get_pad2() const;
  common::ball_type get_ball() const;
  bool enabled() const;

  // Moves a pad one step left (L) or right (R), stopping exactly at its limit; other directions do nothing.
  void pad1_go(common::direction d);
  void pad2_go(common::direction d);
  // Puts pad 2 at `x` within its limits (a guest's word for where it is), if the game that began at `game`
  // is still the board's: a position meant for a game before the last reset moves nothing. False then.
  bool put_pad2(float x, std::chrono::system_clock::time_point game);

  // One millisecond of the ball's motion; no bound is checked.
  void ball_step();
  void ball_change(const common::ball_type& ball);
  // Applies the raised reflections to the ball's velocity (`bounced`).
  void ball_bounce(const common::dir_change& change);
  // The serve: the ball to the centre, moving along y at the start speed towards a random player; no owner.
  void reset_ball();
  void stop();
  void start();

  // Columns and rows count from 1; a cell off the board is an out_of_range error and changes nothing.
  void set_brick(int column, int row, const common::brick& brick);
  // False off the board: cells beyond the edges count as empty space.
  bool brick_exists(int column, int row) const;

  void set_info(std::string_view text);
  std::string get_info() const;
  // A standing line of the network game (a host's join code and addresses while it waits for a guest),
  // shown on the message line while the game's own message is empty: a lost ball's message or the winner
  // covers it for as long as it stands, and a new game, which clears the game's message, does not clear it.
  void set_network_line(std::string_view text);
  // What the heads-up message line shows: the game's message, or when it is empty the network's line.
  std::string message_line() const;

  // Copies of another game (a guest shows its host's game): the pads, the whole brick matrix and the
  // moment the game began, each set whole.
  void set_pads(const common::pad_type& pad1, const common::pad_type& pad2);
  void set_brick_matrix(const board::brick_matrix& matrix);
  void set_started(std::chrono::system_clock::time_point started);

  // A new game on the board named by the board pattern: loads the pattern, generates the bricks, places
  // the pads, serves the ball, enables play and notes the start time, all under the lock.
  void reset();

 private:
  void serve();  // lock held

  mutable std::mutex mutex_;
  std::string info_text_;
  std::string network_line_;
  board::brick_matrix matrix_{};
  common::pad_type pad1_{};
  common::pad_type pad2_{};
  common::ball_type ball_{};
  bool enabled_ = false;
  std::chrono::system_clock::time_point started_{};

  runtime_log::sink& log_;
  std::string boards_dir_;
  std::mt19937_64 boolgen_;
  board::brick_generator generator_;
};

class players_monitor {
 public:
  players_monitor() = default;
  players_monitor(const players_monitor&) = delete;
  players_monitor& operator=(const players_monitor&) = delete;

  common::key_preset get1() const;
  common::key_preset get2() const;
  void set1(common::key_preset p);
  void set2(common::key_preset p);
  void add1(std::int32_t n);
  void add2(std::int32_t n);
  std::int32_t r1() const;
  std::int32_t r2() const;
  // Both players to 1000 points for a new game from the menu; presets stay.
  void reset_players();
  // Both players' points set whole, copied from another game (a guest shows its host's points).
  void set_points(std::int32_t points1, std::int32_t points2);

 private:
  mutable std::mutex mutex_;
  common::key_preset preset1_ = common::key_preset::AD;
  common::key_preset preset2_ = common::key_preset::JL;
  std::int32_t points1_ = common::initial_points;
  std::int32_t points2_ = common::initial_points;
};

struct user_view_type {
  float tilt = 0.0f;       // degrees, about the board's horizontal axis across the line of sight
  float turn = 90.0f;      // degrees, about the vertical axis through the board's centre
  double distance = 50.0;  // the eye stands at (distance, distance, distance)
  friend bool operator==(const user_view_type&, const user_view_type&) = default;
};

class view_monitor {
 public:
  view_monitor() = default;
  view_monitor(const view_monitor&) = delete;
  view_monitor& operator=(const view_monitor&) = delete;

  user_view_type get() const;
  // Unbounded: angles are not wrapped and the distance may pass zero.
  void angle_change(float a, float b);
  void distance_change(double d);

 private:
  mutable std::mutex mutex_;
  user_view_type view_;
};

// The game's single instances, created by main() at start-up.
inline common::game_object<board_monitor> board_state;
inline common::game_object<players_monitor> players_state;
inline common::game_object<view_monitor> view_state;

}  // namespace state
