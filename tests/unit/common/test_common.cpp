// The shared vocabulary, the request hand-over and the time seams.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/common_data.hpp"
#include "common/menu_command.hpp"
#include "common/rendezvous.hpp"
#include "common/seams.hpp"

namespace {

using namespace std::chrono_literals;
using common::accepted;
using common::request_box;

// Waits (without sleeping a fixed time) until `condition` holds; fails the test after a generous bound.
template <class Condition>
void wait_until(Condition condition) {
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "condition never held";
    std::this_thread::yield();
  }
}

TEST(CommonData, IntegerImagesAndLength) {
  EXPECT_EQ(common::image(20), " 20");
  EXPECT_EQ(common::image(0), " 0");
  EXPECT_EQ(common::image(-500), "-500");
  EXPECT_EQ(common::image(INT64_MIN), "-9223372036854775808");

  EXPECT_EQ(common::lenght({0.0f, 0.0f}), 0.0f);
  EXPECT_EQ(common::lenght({3.0f, 4.0f}), 5.0f);
  EXPECT_EQ(common::lenght({0.0f, -12.0f}), 12.0f);
}

TEST(CommonData, EnumerationPositionsAndControlTable) {
  EXPECT_EQ(static_cast<int>(common::ball_owner::PLAYER1), 0);
  EXPECT_EQ(static_cast<int>(common::ball_owner::NONE), 2);
  EXPECT_EQ(static_cast<int>(common::key_preset::AD), 0);
  EXPECT_EQ(static_cast<int>(common::key_preset::COMPUTER), 3);
  EXPECT_EQ(static_cast<int>(common::key_preset::GUEST), 4);
  EXPECT_EQ(static_cast<int>(common::direction::L), 0);
  EXPECT_EQ(static_cast<int>(common::direction::RU), 4);
  EXPECT_EQ(static_cast<int>(common::direction::LD), 7);
  EXPECT_EQ(sizeof(common::direction), 1u);

  using common::key_preset;
  EXPECT_EQ(common::control_config[key_preset::AD].left, 'a');
  EXPECT_EQ(common::control_config[key_preset::JL].right, 'l');
  EXPECT_EQ(common::control_config[key_preset::PAD].left, 229);
  EXPECT_EQ(common::control_config[key_preset::PAD].right, 230);
  EXPECT_EQ(common::control_config[key_preset::COMPUTER].left, 231);
  EXPECT_EQ(common::control_config[key_preset::COMPUTER].right, 232);
  EXPECT_EQ(common::control_config[key_preset::GUEST].left, 233);
  EXPECT_EQ(common::control_config[key_preset::GUEST].right, 234);
  EXPECT_EQ(common::pc_sampling_clock, 10ms);  // the computer player's period, which no test can time

  // The start-up step notes when the program started, for its running time on screen.
  const auto before = std::chrono::system_clock::now();
  common::initialise_common_data();
  EXPECT_GE(common::program_started, before);
  EXPECT_LE(common::program_started, std::chrono::system_clock::now());
}

TEST(CommonData, BoardPatternNamesTheChosenBoard) {
  common::board_pattern_setting pattern;
  EXPECT_EQ(pattern.name(), "board (0).txt");
  EXPECT_EQ(pattern.name().size(), 13u);
  pattern.choose(7);
  EXPECT_EQ(pattern.name(), "board (7).txt");
  EXPECT_EQ(pattern.name()[7], '7');
  EXPECT_EQ(pattern.board(), 7);
  EXPECT_THROW(pattern.choose(10), std::out_of_range);
  EXPECT_THROW(pattern.choose(-1), std::out_of_range);
  EXPECT_EQ(pattern.name(), "board (7).txt");
}

TEST(CommonData, ErrorLinesNameTheErrorAndItsMessage) {
  try {
    throw std::out_of_range("poza zakresem");
  } catch (...) {
    EXPECT_EQ(common::error_line("Prefiks, nazwa: "),
              "Prefiks, nazwa: std::out_of_range jego opis: poza zakresem");
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(common::error_line("P: "), "P: int jego opis: ");
  }
  EXPECT_EQ(common::error_line("P: ", nullptr), "P: brak bledu jego opis: ");  // outside a catch: no error
}

TEST(CommonData, GameObjectIsMadeOnceAndRefusesUseBeforeIt) {
  common::game_object<std::string> text;
  EXPECT_FALSE(text.exists());
  EXPECT_THROW(text->size(), std::logic_error);
  text.create("plansza");
  EXPECT_EQ(*text, "plansza");
  EXPECT_THROW(text.create("again"), std::logic_error);
}

// --- the request hand-over ------------------------------------------------------------------------------

TEST(MenuCommands, EachNumberHasOneMeaningAndOnlyTheSharedGameIsShared) {
  using common::menu_command;
  struct row {
    int value;
    std::optional<int> board;
    bool red, green, shared;
  };
  // The edges of every range, and a neighbour on each side.
  for (const row& r : {row{99, {}, false, false, false},  row{100, 0, false, false, true},
                       row{105, 5, false, false, true},   row{109, 9, false, false, true},
                       row{110, {}, false, false, false}, row{199, {}, false, false, false},
                       row{200, {}, false, false, true},  row{201, {}, false, false, false},
                       row{300, {}, false, false, true},  row{410, {}, false, false, false},
                       row{411, {}, true, false, false},  row{413, {}, true, false, false},
                       row{414, {}, false, false, false}, row{420, {}, false, false, false},
                       row{421, {}, false, true, false},  row{424, {}, false, true, false},
                       row{425, {}, false, false, false}, row{501, {}, false, false, false},
                       row{502, {}, false, false, false}, row{600, {}, false, false, false}}) {
    const menu_command c{r.value};
    EXPECT_EQ(common::board_of(c), r.board) << r.value;
    EXPECT_EQ(common::steers_red(c), r.red) << r.value;
    EXPECT_EQ(common::steers_green(c), r.green) << r.value;
    EXPECT_EQ(common::shared_with_other_computer(c), r.shared) << r.value;
  }
  for (int board = 0; board < common::boards; ++board)
    EXPECT_EQ(common::board_of(common::new_game_on(board)), board);
}

TEST(Rendezvous, CallerIsHeldUntilTheOwnerHasRunTheBody) {
  request_box<int> box;
  std::atomic<bool> returned{false};
  int seen = 0;
  std::jthread caller([&] {
    EXPECT_TRUE(box.call(7));
    returned = true;
  });
  wait_until([&] { return box.has_waiting_caller(); });
  EXPECT_FALSE(returned);  // parked: nobody has accepted yet

  std::atomic<bool> body_ran{false};
  EXPECT_EQ(box.accept(std::stop_token{},
                       [&](int r) {
                         seen = r;
                         EXPECT_FALSE(returned);  // still held while the body runs
                         body_ran = true;
                       }),
            accepted::request);
  caller.join();
  EXPECT_TRUE(body_ran);
  EXPECT_EQ(seen, 7);
  EXPECT_TRUE(returned);
}

TEST(Rendezvous, EndedOwnerNeverBlocksItsCallers) {
  request_box<int> box;
  std::jthread waiting([&] { EXPECT_FALSE(box.call(1)); });
  wait_until([&] { return box.has_waiting_caller(); });
  { common::box_closer owner_ends(box); }
  waiting.join();             // the waiting caller is released with false
  EXPECT_FALSE(box.call(2));  // and a later one returns at once
  EXPECT_TRUE(box.is_closed());
  EXPECT_EQ(box.accept(std::stop_token{}, [](int) { FAIL(); }), accepted::closed);
}

TEST(Rendezvous, FailingBodyReleasesTheCallerWithFalseAndReachesTheOwner) {
  request_box<int> box;
  std::jthread caller([&] { EXPECT_FALSE(box.call(3)); });
  wait_until([&] { return box.has_waiting_caller(); });
  EXPECT_THROW(box.accept(std::stop_token{}, [](int) { throw std::runtime_error("boom"); }),
               std::runtime_error);
  caller.join();
}

TEST(Rendezvous, OwnerAcceptsOnlyWhatItWantsAndKeepsArrivalOrder) {
  enum class ask { init, start };
  request_box<ask> box;
  std::vector<ask> order;
  std::jthread starter([&] { EXPECT_TRUE(box.call(ask::start)); });
  wait_until([&] { return box.has_waiting_caller(); });
  std::jthread initialiser([&] { EXPECT_TRUE(box.call(ask::init)); });

  const auto is = [](ask wanted) { return [wanted](ask r) { return r == wanted; }; };
  const auto record = [&](ask r) { order.push_back(r); };
  EXPECT_EQ(box.accept(std::stop_token{}, is(ask::init), record), accepted::request);
  EXPECT_EQ(box.accept(std::stop_token{}, is(ask::start), record), accepted::request);
  EXPECT_EQ(order, (std::vector<ask>{ask::init, ask::start}));
}

TEST(Rendezvous, DeadlinesAndStopRequests) {
  request_box<int> box;
  const auto any = [](int) { return true; };
  EXPECT_EQ(box.accept_until(std::stop_token{}, std::chrono::steady_clock::now() + 1ms, any, [](int) {}),
            accepted::timeout);

  std::stop_source stop;
  std::jthread owner([&] { EXPECT_EQ(box.accept(stop.get_token(), [](int) {}), accepted::closed); });
  wait_until([&] { return box.owner_is_waiting(); });
  stop.request_stop();
  owner.join();
}

TEST(Rendezvous, StartThreadRunsTheBodyOnItsOwnThreadUntilStopped) {
  std::atomic<bool> running{false};
  std::atomic<std::thread::id> body_thread{};
  std::jthread thread;
  common::start_thread(thread, "test", [&](std::stop_token stop) {
    body_thread = std::this_thread::get_id();
    running = true;
    while (!stop.stop_requested()) std::this_thread::yield();
    running = false;
  });
  ASSERT_TRUE(thread.joinable());
  wait_until([&] { return running.load(); });
  EXPECT_NE(body_thread.load(), std::this_thread::get_id());
  thread.request_stop();
  thread.join();
  EXPECT_FALSE(running);
}

// --- time and chance ------------------------------------------------------------------------------------

TEST(Seams, ManualTimeMovesOnlyWhenSomeoneSleeps) {
  common::manual_time time;
  const auto start = time.now();
  time.sleep_until(start + 1ms);
  EXPECT_EQ(time.now(), start + 1ms);
  time.sleep_until(start);  // a deadline in the past returns at once
  EXPECT_EQ(time.now(), start + 1ms);
  time.sleep_for(2s);
  EXPECT_EQ(time.now(), start + 2001ms);
  ASSERT_EQ(time.pauses().size(), 1u);
  EXPECT_EQ(time.pauses()[0], 2s);
  time.rest_until(start + 2003ms);  // a rest is a sleep too, counted apart
  EXPECT_EQ(time.now(), start + 2003ms);
  EXPECT_EQ(std::pair(time.sleeps(), time.rests()), std::pair(4, 1));
}

TEST(Seams, PreciseSleeperRestsUntilTheDeadlineWithoutLearningFromIt) {
  common::precise_sleeper sleeper;
  const auto margin = sleeper.wake_margin();
  const auto deadline = std::chrono::steady_clock::now() + 2ms;
  sleeper.rest_until(deadline);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  EXPECT_EQ(sleeper.wake_margin(), margin);  // a late rest teaches the precise wake-ups nothing
  sleeper.rest_until(deadline - 1s);         // a deadline in the past returns at once
}

TEST(Seams, RandomSourcesStayInTheClosedUnitInterval) {
  // Both ends of the interval come up, and the values between are evenly spaced.
  constexpr std::uint64_t steps = (std::uint64_t{1} << 24) + 1;
  EXPECT_EQ(common::closed_unit(0), 0.0f);
  EXPECT_EQ(common::closed_unit(steps - 1), 1.0f);
  EXPECT_EQ(common::closed_unit(steps), 0.0f);
  EXPECT_EQ(common::closed_unit(steps / 2), 0.5f);
  EXPECT_EQ(common::closed_unit(1), 1.0f / 16777216.0f);
  EXPECT_EQ(common::closed_unit(~std::uint64_t{0}), float(~std::uint64_t{0} % steps) / 16777216.0f);

  common::seeded_random random(12345);
  float low = 1.0f, high = 0.0f;
  for (int i = 0; i < 100000; ++i) {
    const float u = random.uniform();
    ASSERT_GE(u, 0.0f);
    ASSERT_LE(u, 1.0f);
    low = std::min(low, u);
    high = std::max(high, u);
  }
  EXPECT_LT(low, 0.001f);
  EXPECT_GT(high, 0.999f);

  common::scripted_random script({0.1f, 0.9f});
  EXPECT_EQ(script.uniform(), 0.1f);
  EXPECT_EQ(script.uniform(), 0.9f);
  EXPECT_EQ(script.uniform(), 0.9f);
  EXPECT_EQ(script.draws(), 3);
  EXPECT_NE(common::clock_seed(), common::clock_seed());
}

}  // namespace
