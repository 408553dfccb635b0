// The shared game state: the board, players and view monitors.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "state/camera.hpp"
#include "state/game_state.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using common::direction;
using testing_support::recording_log;

// A board monitor whose boards come from a scratch directory.
class BoardState : public ::testing::Test {
 protected:
  BoardState() : board_(log_, (dir_.path() / "boards/").string(), 7, [] { return 42u; }) {}

  void write_board(int number, const std::string& rows) {
    testing_support::write_file(dir_ / ("boards/board (" + std::to_string(number) + ").txt"), rows);
  }
  // A board whose walls are firm and whose middle cell of row 5 is destructible.
  static std::string walled_board() {
    std::string rows;
    for (int r = 1; r <= 20; ++r) rows += r == 5 ? "X        D         X\n" : "X                  X\n";
    return rows;
  }
  void reset_on(int number) {
    common::board_pattern.choose(number);
    board_.reset();
    common::board_pattern.choose(0);
  }

  testing_support::temp_dir dir_;
  recording_log log_;
  state::board_monitor board_;
};

TEST_F(BoardState, BeforeTheFirstResetEverythingIsZero) {
  EXPECT_FALSE(board_.enabled());
  EXPECT_EQ(board_.get_ball(), common::ball_type{});
  EXPECT_EQ(board_.get_pad1(), common::pad_type{});
  EXPECT_EQ(board_.get_pad2(), common::pad_type{});
  EXPECT_EQ(board_.get_brick_matrix_state(), board::brick_matrix{});
  EXPECT_EQ(board_.get_info(), "");
  EXPECT_EQ(board_.started(), std::chrono::system_clock::time_point{});
  EXPECT_EQ(board_.get_ball().owner, common::ball_owner::PLAYER1);
}

TEST_F(BoardState, ResetStartsANewGameOnTheChosenBoard) {
  write_board(3, walled_board());
  board_.set_network_line("Kod dolaczenia: 1234-5678");
  board_.set_info("Wygra\xB3 Gracz zielony !");
  EXPECT_EQ(board_.message_line(), "Wygra\xB3 Gracz zielony !");  // the game's message covers the network's
  board_.stop();
  const auto before = std::chrono::system_clock::now();
  reset_on(3);

  EXPECT_EQ(board_.get_info(), "");
  EXPECT_EQ(board_.message_line(), "Kod dolaczenia: 1234-5678");  // which a new game does not clear
  EXPECT_TRUE(board_.enabled());
  EXPECT_GE(board_.started(), before);
  EXPECT_LE(board_.started(), std::chrono::system_clock::now());
  const common::pad_type pad1 = board_.get_pad1();
  const common::pad_type pad2 = board_.get_pad2();
  EXPECT_EQ(pad1, (common::pad_type{common::make_color(0.6f, 0.2f, 0.2f), 6.0f, {10.0f, -0.5f}}));
  EXPECT_EQ(pad2, (common::pad_type{common::make_color(0.2f, 0.6f, 0.2f), 6.0f, {10.0f, 20.5f}}));
  const common::ball_type ball = board_.get_ball();
  EXPECT_EQ(ball.color, common::make_color(1.0f, 1.0f, 0.0f));
  EXPECT_EQ(ball.pos, (common::vector{10.0f, 10.0f}));
  EXPECT_EQ(ball.owner, common::ball_owner::NONE);

  // The board's cells, row 5 column 10 destructible and the walls firm.
  EXPECT_TRUE(board_.brick_exists(10, 5));
  EXPECT_TRUE(board_.get_brick_matrix_state()(5, 10).destructible);
  EXPECT_TRUE(board_.brick_exists(1, 7));
  EXPECT_FALSE(board_.get_brick_matrix_state()(7, 1).destructible);
  EXPECT_FALSE(board_.brick_exists(10, 6));
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"Wygenerowano Plansze losowych klockow"}));

  // Pausing and resuming leaves the game as it was.
  board_.stop();
  EXPECT_FALSE(board_.enabled());
  board_.start();
  EXPECT_TRUE(board_.enabled());
  EXPECT_EQ(board_.get_ball(), ball);
  EXPECT_EQ(board_.get_pad1(), pad1);
}

TEST_F(BoardState, ResetOnAMissingBoardGivesAnEmptyBoardAndAWarning) {
  reset_on(5);
  EXPECT_EQ(log_.entries(),
            (std::vector<recording_log::entry>{
                testing_support::warning("Wybrany plik:\"" + (dir_.path() / "boards/").string() +
                                         "board (5).txt\" nie isnieje"),
                testing_support::info("Wygenerowano Plansze losowych klockow")}));
  EXPECT_EQ(board_.get_brick_matrix_state(), board::brick_matrix{});
  EXPECT_TRUE(board_.enabled());
}

TEST(PadStep, WholeStepsThatStopExactlyAtTheLimits) {
  // A pad of width 6 stops at 4 and 16: one cell from each side plus half its width.
  struct step {
    float from;
    direction d;
    float to;
  };
  for (const auto& [from, d, to] : {
           step{10.0f, direction::L, 9.8f},
           step{4.21f, direction::L, 4.01f},  // a whole step, just
           step{4.2f, direction::L, 4.0f},
           step{4.1f, direction::L, 4.0f},  // ... or cut at the limit
           step{4.005f, direction::L, 4.0f},
           step{4.0f, direction::L, 4.0f},  // at the limit it stays
           step{3.9f, direction::L, 3.9f},  // beyond it too
           step{10.0f, direction::R, 10.2f},
           step{15.79f, direction::R, 15.99f},
           step{15.8f, direction::R, 16.0f},
           step{15.9f, direction::R, 16.0f},
           step{15.995f, direction::R, 16.0f},
           step{16.0f, direction::R, 16.0f},
           step{16.1f, direction::R, 16.1f},
       }) {
    const float x = state::pad_step_from(from, 6.0f, d);
    EXPECT_FLOAT_EQ(x, to) << from << (d == direction::L ? " L" : " R");
    if (to == 4.0f || to == 16.0f) {
      EXPECT_EQ(x, to) << from << ": not exactly at the limit";
    }
  }
  // The limits follow the width.
  EXPECT_FLOAT_EQ(state::pad_step_from(2.3f, 2.0f, direction::L), 2.1f);
  EXPECT_EQ(state::pad_step_from(2.1f, 2.0f, direction::L), 2.0f);
  EXPECT_EQ(state::pad_step_from(17.9f, 2.0f, direction::R), 18.0f);
  for (direction d : {direction::U, direction::D, direction::RU, direction::RD, direction::LU, direction::LD})
    EXPECT_EQ(state::pad_step_from(10.0f, 6.0f, d), 10.0f);
}

TEST(PadWithin, HeldAtTheLimitsThePadStepsStopAt) {
  struct row {
    float x, width, within;
  };
  for (const auto& [x, width, within] : {
           row{10.0f, 6.0f, 10.0f},  // within
           row{4.0f, 6.0f, 4.0f},    // at a limit
           row{3.99f, 6.0f, 4.0f},   // beyond it
           row{-50.0f, 6.0f, 4.0f}, row{16.0f, 6.0f, 16.0f}, row{16.01f, 6.0f, 16.0f},
           row{2.5f, 2.0f, 2.5f},  // the limits follow the width
           row{1.5f, 2.0f, 2.0f}, row{18.5f, 2.0f, 18.0f},
           row{10.0f, 20.0f, 11.0f},  // wider than its limits allow: the lower one
       }) {
    EXPECT_EQ(state::pad_within(x, width), within) << x << " " << width;
  }
  // Where a held key stops, pad_within holds.
  for (const float width : {2.0f, 6.0f, 9.0f}) {
    float left = 10.0f, right = 10.0f;
    for (int i = 0; i < 100; ++i) {
      left = state::pad_step_from(left, width, direction::L);
      right = state::pad_step_from(right, width, direction::R);
    }
    EXPECT_EQ(state::pad_within(-1.0f, width), left) << width;
    EXPECT_EQ(state::pad_within(21.0f, width), right) << width;
  }
}

TEST_F(BoardState, APutPadTwoStaysWithinItsLimitsAndOnlyInTheGameItWasMeantFor) {
  reset_on(5);
  const auto game = board_.started();
  const common::pad_type pad1 = board_.get_pad1();
  EXPECT_TRUE(board_.put_pad2(12.5f, game));
  EXPECT_EQ(board_.get_pad2().pos.x, 12.5f);
  EXPECT_TRUE(board_.put_pad2(30.0f, game));
  EXPECT_EQ(board_.get_pad2().pos.x, 16.0f);
  EXPECT_EQ(board_.get_pad2().pos.y, 20.5f);
  EXPECT_EQ(board_.get_pad1(), pad1) << "the red pad is not the guest's";
  board_.set_started(game + std::chrono::milliseconds(1));
  EXPECT_FALSE(board_.put_pad2(8.0f, game));
  EXPECT_EQ(board_.get_pad2().pos.x, 16.0f);
}

TEST_F(BoardState, HeldMovesBringThePadsExactlyToTheirLimits) {
  reset_on(5);
  for (int i = 0; i < 40; ++i) board_.pad1_go(direction::L);
  EXPECT_EQ(board_.get_pad1().pos.x, 4.0f);
  for (int i = 0; i < 40; ++i) board_.pad2_go(direction::R);
  EXPECT_EQ(board_.get_pad2().pos.x, 16.0f);
  EXPECT_EQ(board_.get_pad2().pos.y, 20.5f);
  EXPECT_EQ(board_.get_pad1().pos.y, -0.5f);

  const common::pad_type before = board_.get_pad2();
  for (direction d : {direction::U, direction::D, direction::RU, direction::RD, direction::LU, direction::LD})
    board_.pad2_go(d);
  EXPECT_EQ(board_.get_pad2(), before);
}

TEST_F(BoardState, BallMotionAndBounces) {
  reset_on(5);
  common::ball_type ball = board_.get_ball();
  ball.vel = {0.0f, 12.0f};
  board_.ball_change(ball);
  board_.ball_step();
  EXPECT_FLOAT_EQ(board_.get_ball().pos.y, 10.012f);
  EXPECT_EQ(board_.get_ball().pos.x, 10.0f);
  ball.vel = {-5.0f, 3.0f};
  board_.ball_change(ball);
  board_.ball_step();  // one millisecond of motion on both axes
  EXPECT_EQ(board_.get_ball().pos, (common::vector{10.0f - 0.005f, 10.0f + 0.003f}));

  const auto bounce = [&](common::vector vel, std::initializer_list<direction> raised) {
    common::ball_type b = board_.get_ball();
    b.vel = vel;
    board_.ball_change(b);
    common::dir_change change{};
    for (direction d : raised) change[d] = true;
    board_.ball_bounce(change);
    return board_.get_ball().vel;
  };
  EXPECT_EQ(bounce({3.0f, -5.0f}, {direction::U}), (common::vector{3.0f, 5.0f}));
  EXPECT_EQ(bounce({-2.0f, 1.0f}, {direction::L}), (common::vector{-2.0f, 1.0f}));
  EXPECT_EQ(bounce({2.0f, 1.0f}, {direction::L}), (common::vector{-2.0f, 1.0f}));
  EXPECT_EQ(bounce({-2.0f, 1.0f}, {direction::R}), (common::vector{2.0f, 1.0f}));
  EXPECT_EQ(bounce({2.0f, 1.0f}, {direction::D}), (common::vector{2.0f, -1.0f}));
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::RU}), (common::vector{-2.0f, 2.0f}));
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::LU}), (common::vector{2.0f, 2.0f}));
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::RD}), (common::vector{2.0f, 2.0f}));
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::LD}), (common::vector{-2.0f, 2.0f}));
  // Later reflections see earlier ones: D makes vy -2, then LD sets vx from it.
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::D, direction::LD}), (common::vector{2.0f, -2.0f}));
  // Across and along together turn both components.
  EXPECT_EQ(bounce({1.0f, 2.0f}, {direction::L, direction::D}), (common::vector{-1.0f, -2.0f}));
  EXPECT_EQ(bounce({1.0f, 2.0f}, {}), (common::vector{1.0f, 2.0f}));

  const common::ball_type before = board_.get_ball();
  board_.ball_bounce(common::dir_change{});
  EXPECT_EQ(board_.get_ball(), before);  // position, colour and owner untouched
}

TEST_F(BoardState, ServesGoBothWaysFromTheCentre) {
  reset_on(5);
  std::set<float> directions;
  int towards_pad1 = 0;
  for (int i = 0; i < 1000; ++i) {
    common::ball_type moved = board_.get_ball();
    moved.pos = {3.0f, 3.0f};
    moved.vel = {4.0f, -3.0f};
    moved.owner = common::ball_owner::PLAYER2;
    moved.color = common::make_color(0.5f, 0.5f, 0.5f);
    board_.ball_change(moved);
    board_.reset_ball();
    const common::ball_type ball = board_.get_ball();
    ASSERT_EQ(ball.pos, (common::vector{10.0f, 10.0f}));
    ASSERT_EQ(ball.vel.x, 0.0f);
    ASSERT_EQ(std::abs(ball.vel.y), 12.0f);
    ASSERT_EQ(ball.owner, common::ball_owner::NONE);
    ASSERT_EQ(ball.color, common::make_color(0.5f, 0.5f, 0.5f));  // the serve keeps the colour
    directions.insert(ball.vel.y);
    towards_pad1 += ball.vel.y < 0.0f;
  }
  EXPECT_EQ(directions, (std::set<float>{-12.0f, 12.0f}));
  EXPECT_NEAR(towards_pad1, 500, 50);  // a fair coin: 3 standard deviations
}

TEST_F(BoardState, BricksOffTheBoardAreEmptyAndCannotBeSet) {
  write_board(3, walled_board());
  reset_on(3);
  EXPECT_FALSE(board_.brick_exists(0, 5));
  EXPECT_FALSE(board_.brick_exists(5, 0));
  EXPECT_FALSE(board_.brick_exists(21, 1));
  EXPECT_FALSE(board_.brick_exists(1, 21));
  EXPECT_TRUE(board_.brick_exists(20, 20));

  const board::brick_matrix before = board_.get_brick_matrix_state();
  common::brick b{true, 5, true, common::make_color(0.3f, 0.3f, 0.3f)};
  EXPECT_THROW(board_.set_brick(21, 1, b), std::out_of_range);
  EXPECT_THROW(board_.set_brick(1, 0, b), std::out_of_range);
  EXPECT_EQ(board_.get_brick_matrix_state(), before);

  // Column first, row second: (3, 7) is the cell over 2 <= x <= 3 and 6 <= y <= 7, row 7 of the matrix.
  board_.set_brick(3, 7, b);
  EXPECT_TRUE(board_.brick_exists(3, 7));
  EXPECT_EQ(board_.get_brick_matrix_state()(7, 3), b);
  EXPECT_FALSE(board_.brick_exists(7, 3));
  // The lock was released by the failed call: the monitor still answers.
  EXPECT_TRUE(board_.enabled());
}

TEST(PlayersAndView, StartValuesScoresAndTheCamera) {
  state::players_monitor players;
  EXPECT_EQ(players.get1(), common::key_preset::AD);
  EXPECT_EQ(players.get2(), common::key_preset::JL);
  EXPECT_EQ(players.r1(), 600);
  EXPECT_EQ(players.r2(), 600);

  players.add1(-500);
  EXPECT_EQ(players.r1(), 100);
  players.add1(-500);
  EXPECT_EQ(players.r1(), -400);  // negative scores are kept as they are
  players.add2(30);
  players.set1(common::key_preset::PAD);
  players.set2(common::key_preset::COMPUTER);
  players.reset_players();
  EXPECT_EQ(players.r1(), 1000);
  EXPECT_EQ(players.r2(), 1000);
  EXPECT_EQ(players.get1(), common::key_preset::PAD);  // presets survive a new game
  EXPECT_EQ(players.get2(), common::key_preset::COMPUTER);

  state::view_monitor view;
  EXPECT_EQ(view.get(), (state::user_view_type{0.0f, 90.0f, 50.0}));
  view.angle_change(1.0f, -2.0f);
  EXPECT_EQ(view.get().tilt, 1.0f);
  EXPECT_EQ(view.get().turn, 88.0f);
  for (int i = 0; i < 400; ++i) view.angle_change(1.0f, 1.0f);
  EXPECT_EQ(view.get().tilt, 401.0f);  // not wrapped at 360
  for (int i = 0; i < 250; ++i) view.distance_change(-0.2);
  EXPECT_NEAR(view.get().distance, 0.0, 1e-9);
  view.distance_change(-0.2);
  EXPECT_LT(view.get().distance, 0.0);  // nothing stops it
}

// Several threads use the monitors as the game does; ThreadSanitizer checks the locking.
TEST_F(BoardState, ConcurrentUseIsSafe) {
  write_board(0, walled_board());
  board_.reset();
  state::players_monitor players;
  state::view_monitor view;
  std::atomic<bool> go{false};
  std::vector<std::jthread> threads;
  threads.emplace_back([&] {  // physics
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) {
      if (board_.enabled()) {
        (void)board_.get_ball();
        (void)board_.brick_exists(i % 22, i % 21);
        board_.ball_bounce(common::dir_change{});
        board_.ball_step();
        players.add1(1);
      }
    }
  });
  threads.emplace_back([&] {  // input
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 20000; ++i) {
      board_.pad1_go(i % 2 ? direction::L : direction::R);
      board_.pad2_go(direction::R);
      view.distance_change(0.1);
      (void)players.get1();
    }
  });
  threads.emplace_back([&] {  // graphics and menus
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 300; ++i) {
      (void)board_.get_brick_matrix_state();
      (void)board_.get_info();
      (void)players.r1();
      (void)view.get();
      view.angle_change(0.5f, 0.5f);
      if (i % 50 == 0) {
        board_.reset();
        players.reset_players();
      }
      board_.set_info("x");
    }
  });
  go = true;
  threads.clear();
  // Resets fall anywhere between the moves, so only the invariants can be checked here.
  for (const common::pad_type& pad : {board_.get_pad1(), board_.get_pad2()}) {
    EXPECT_GE(pad.pos.x, 4.0f);
    EXPECT_LE(pad.pos.x, 16.0f);
  }
  EXPECT_GE(players.r1(), 1000);
}

}  // namespace

namespace {

// The camera that the drawing and the hearing share.
TEST(Camera, TurnsAboutTheCentreThenTiltsAboutTheAxisAcrossTheLineOfSight) {
  using namespace state::camera;
  const auto near = [](point a, point b) { return length(a - b) < 1e-9; };
  const state::user_view_type start;
  EXPECT_EQ(eye(start), (point{50.0, 50.0, 50.0}));
  struct row {
    float turn, tilt;
    point on_board, placed;
  };
  const double half = std::sqrt(0.5);
  for (const row& r : {
           row{0.0f, 0.0f, {13.0, 4.0, 0.0}, {13.0, 4.0, 0.0}},     // nothing turned: where it lies
           row{90.0f, 0.0f, {11.0, 10.0, 0.0}, {10.0, 11.0, 0.0}},  // a quarter counter-clockwise from above
           row{-90.0f, 0.0f, {11.0, 10.0, 0.0}, {10.0, 9.0, 0.0}},
           row{180.0f, 0.0f, {12.0, 13.0, 1.0}, {8.0, 7.0, 1.0}},
           row{0.0f, 90.0f, {9.0, 11.0, 0.0}, {9.0, 11.0, 0.0}},                // on the tilt axis: stays
           row{0.0f, 90.0f, {11.0, 11.0, 0.0}, {10.0, 10.0, -std::sqrt(2.0)}},  // across the axis: sinks
           row{0.0f, 90.0f, {10.0, 10.0, 1.0}, {10.0 + half, 10.0 + half, 0.0}},
           row{90.0f, 90.0f, {11.0, 10.0, 0.0}, {9.5, 10.5, -half}},  // turned, then tilted
       }) {
    const state::user_view_type view{r.tilt, r.turn, 50.0};
    EXPECT_TRUE(near(placed(r.on_board, view), r.placed))
        << r.turn << " " << r.tilt << ": " << placed(r.on_board, view).x << ", " << placed(r.on_board, view).y
        << ", " << placed(r.on_board, view).z;
    EXPECT_TRUE(near(placed(centre, view), centre)) << "the centre never moves";
    EXPECT_NEAR(length(placed(r.on_board, view) - centre), length(r.on_board - centre), 1e-9)
        << "turning keeps distances";
  }
}

}  // namespace
