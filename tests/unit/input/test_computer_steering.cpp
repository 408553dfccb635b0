// The computer player: its decisions, its switches, its failures, and a real game with it.
#include <gtest/gtest.h>

#include "input/computer_steering.hpp"
#include "support/broken_random.hpp"
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

TEST(ComputerCycle, ChasesTheBallOutsideAQuarterOfThePadsWidthOrErrs) {
  // Pad 2 at 10.0, width 6.0: the dead zone is 8.5 .. 11.5, bounds inside. Whatever the computer held
  // before, a cycle leaves exactly the keys of its decision.
  struct decision {
    float draw, ball_x;
    std::string held;
  };
  const std::vector<decision> decisions{
      {0.9f, 8.4f, "L"},   {0.9f, 8.45f, "L"}, {0.9f, 8.5f, ""},   {0.9f, 10.0f, ""}, {0.9f, 11.5f, ""},
      {0.9f, 11.55f, "R"}, {0.9f, 11.6f, "R"}, {0.9f, -3.0f, "L"},  // beyond the pad's travel: held on
      {0.41f, 2.0f, "L"},  {0.4f, 2.0f, ""},   {0.0f, 2.0f, ""},   {0.4f, 18.0f, ""},  // u <= 0.4: lets go
      {1.0f, 18.0f, "R"},
  };
  for (const auto& before : {"", "L", "R", "LR"}) {
    for (const auto& [draw, ball_x, held] : decisions) {
      computer_game game;
      game.keys.set_key_down(std::string(before).find('L') != std::string::npos ? pc_left : 'q');
      game.keys.set_key_down(std::string(before).find('R') != std::string::npos ? pc_right : 'q');
      game.ball_at(ball_x);
      common::scripted_random random({draw});
      computer::cycle(game.world(), random);
      EXPECT_EQ(game.held(), held) << "ball at " << ball_x << ", draw " << draw << ", held " << before;
      EXPECT_EQ(random.draws(), 1);
    }
  }

  // Paused or not, the computer follows the ball; it reads pad 2, never pad 1.
  computer_game game;
  common::scripted_random acts({0.9f});
  game.board.stop();
  game.ball_at(19.0f);
  computer::cycle(game.world(), acts);
  EXPECT_EQ(game.held(), "R");
  for (int i = 0; i < 30; ++i) game.board.pad1_go(common::direction::L);
  game.ball_at(9.0f);
  computer::cycle(game.world(), acts);
  EXPECT_EQ(game.held(), "");
}

TEST(ComputerThread, SwitchesAreLoggedOnlyWhenTheModeChangesAndCyclesEveryTenMilliseconds) {
  computer_game game;
  common::steady_clock_source clock;
  computer::computer_thread thread(game.world(), game.log, clock,
                                   std::make_unique<common::scripted_random>(std::vector<float>{0.9f}));
  thread.launch();
  EXPECT_EQ(thread.cycles(), 0u);
  ASSERT_TRUE(thread.disable());  // Manual already: nothing
  ASSERT_TRUE(thread.enable());
  ASSERT_TRUE(thread.enable());  // Automatic already: the next cycle at once, no second line
  ASSERT_TRUE(thread.disable());
  ASSERT_TRUE(thread.disable());
  ASSERT_TRUE(thread.enable());
  const auto begun = std::chrono::steady_clock::now();
  const std::uint64_t cycles = thread.cycles();
  ASSERT_TRUE(testing_support::eventually([&] { return game.log.size() >= 3; }, 5s));
  EXPECT_EQ(game.log.entries(), (std::vector<testing_support::recording_log::entry>{
                                    info("Gracz zielony przelaczony na sterowanie automatyczne"),
                                    info("Gracz zielony przelaczony na sterowanie reczne"),
                                    info("Gracz zielony przelaczony na sterowanie automatyczne"),
                                }));
  // Six more cycles hold five full periods between them, however slow the machine; the first may have
  // begun just before this test's clock reading, so at least four of them come after it.
  ASSERT_TRUE(testing_support::eventually([&] { return thread.cycles() >= cycles + 6; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 40ms);
}

TEST(ComputerThread, AFailureEndsItAndLaterRequestsReturnAtOnce) {
  computer_game game;
  common::steady_clock_source clock;
  computer::computer_thread thread(game.world(), game.log, clock,
                                   std::make_unique<testing_support::broken_random>());
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
  input::input_thread sampling(input::world{game.keys, players, game.board, view}, game.log, clock,
                               input_sleeper);
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
