// The computer player: its decisions, its switches, its failures, and a real game with it.
#include <gtest/gtest.h>

#include "input/computer_steering.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"
#include "support/waiting.hpp"

namespace {

using common::pc_left;
using common::pc_right;
using namespace std::chrono_literals;
using testing_support::info;

struct computer_game {
  computer_game() {
    board.reset();
    log.clear();
  }
  void ball_at(float x) {
    common::ball_type ball = board.get_ball();
    ball.pos.x = x;
    board.ball_change(ball);
  }
  // Which of the computer's keys are held: "L", "R", or "" for none.
  std::string held() const {
    return std::string(keys.is_key_down(pc_left) ? "L" : "") + (keys.is_key_down(pc_right) ? "R" : "");
  }
  computer::world world() { return {board, keys}; }

  testing_support::temp_dir dir;
  testing_support::recording_log log;
  state::board_monitor board{log, (dir.path() / "boards/").string()};
  input::keyboard_monitor keys;
};

TEST(ComputerCycle, ChasesTheBallOutsideAQuarterOfThePadsWidth) {
  computer_game game;  // pad 2 at 10.0, width 6.0: the dead zone is 8.5 .. 11.5, bounds inside
  common::scripted_random acts({0.9f});
  const auto decide = [&](float ball_x) {
    game.ball_at(ball_x);
    computer::cycle(game.world(), acts);
    return game.held();
  };
  EXPECT_EQ(decide(8.4f), "L");
  EXPECT_EQ(decide(8.5f), "");
  EXPECT_EQ(decide(11.6f), "R");
  EXPECT_EQ(decide(11.5f), "");
  EXPECT_EQ(decide(10.0f), "");
  EXPECT_EQ(decide(-3.0f), "L");  // beyond the pad's travel: the key stays held, the pad stays at its limit

  // Paused or not, the computer follows the ball.
  game.board.stop();
  EXPECT_EQ(decide(19.0f), "R");
}

TEST(ComputerCycle, FailingCyclesLetGoOfBothKeys) {
  computer_game game;
  game.ball_at(2.0f);
  common::scripted_random draws({0.9f, 0.4f, 0.41f, 0.0f});
  computer::cycle(game.world(), draws);
  EXPECT_EQ(game.held(), "L");
  computer::cycle(game.world(), draws);  // u = 0.4 fails: the comparison is u <= 0.4
  EXPECT_EQ(game.held(), "");
  computer::cycle(game.world(), draws);
  EXPECT_EQ(game.held(), "L");
  computer::cycle(game.world(), draws);
  EXPECT_EQ(game.held(), "");
}

TEST(ComputerThread, SwitchesAreLoggedOnlyWhenTheModeChanges) {
  computer_game game;
  common::steady_clock_source clock;
  computer::computer_thread thread(game.world(), game.log, clock,
                                   std::make_unique<common::scripted_random>(std::vector<float>{0.9f}));
  thread.launch();
  ASSERT_TRUE(thread.disable());  // Manual already: nothing
  ASSERT_TRUE(thread.enable());
  ASSERT_TRUE(thread.enable());  // Automatic already: the next cycle at once, no second line
  ASSERT_TRUE(thread.disable());
  ASSERT_TRUE(thread.disable());
  ASSERT_TRUE(thread.enable());
  ASSERT_TRUE(testing_support::eventually([&] { return game.log.size() >= 3; }, 5s));
  EXPECT_EQ(game.log.entries(), (std::vector<testing_support::recording_log::entry>{
                                    info("Gracz zielony przelaczony na sterowanie automatyczne"),
                                    info("Gracz zielony przelaczony na sterowanie reczne"),
                                    info("Gracz zielony przelaczony na sterowanie automatyczne"),
                                }));
  EXPECT_GE(thread.cycles(), 1u);
}

// A random source that breaks, as a failing generator would.
class broken_random final : public common::random_source {
 public:
  float uniform() override { throw std::runtime_error("generator zepsuty"); }
};

TEST(ComputerThread, AFailureEndsItAndLaterRequestsReturnAtOnce) {
  computer_game game;
  common::steady_clock_source clock;
  computer::computer_thread thread(game.world(), game.log, clock, std::make_unique<broken_random>());
  thread.launch();
  ASSERT_TRUE(thread.enable());
  ASSERT_TRUE(testing_support::eventually([&] { return game.log.size() == 2; }, 5s));
  EXPECT_EQ(game.log.entries()[1], testing_support::error("Nastapil wyjatek w module autopilota, nazwa: "
                                                          "std::runtime_error jego opis: generator zepsuty"));
  EXPECT_FALSE(thread.enable());
  EXPECT_FALSE(thread.disable());
}

TEST(ComputerThread, SteersTheGreenPadTowardsTheBallThroughTheInputThread) {
  computer_game game;
  state::players_monitor players;
  state::view_monitor view;
  players.set2(common::key_preset::COMPUTER);
  game.board.stop();  // the ball stays where it is put
  game.ball_at(17.0f);

  common::steady_clock_source clock;
  common::precise_sleeper input_sleeper;
  input::input_thread sampling(input::world{game.keys, players, game.board, view}, game.log, clock, input_sleeper);
  computer::computer_thread computer(game.world(), game.log, clock);
  sampling.launch();
  computer.launch();
  ASSERT_TRUE(sampling.start());
  ASSERT_TRUE(computer.enable());
  // The pad runs right until the ball is within its dead zone: 16.0 is its limit, 15.5 is close enough.
  EXPECT_TRUE(testing_support::eventually([&] { return game.board.get_pad2().pos.x >= 15.5f; }, 10s));
  game.ball_at(3.0f);
  EXPECT_TRUE(testing_support::eventually([&] { return game.board.get_pad2().pos.x <= 4.5f; }, 10s));
  EXPECT_EQ(game.board.get_pad1().pos.x, 10.0f);  // the red pad is not the computer's
}

}  // namespace
