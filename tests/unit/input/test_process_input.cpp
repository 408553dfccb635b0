// Keys held, input samples, and the input thread.
#include <gtest/gtest.h>

#include <thread>

#include "common/seams.hpp"
#include "input/process_input.hpp"
#include "support/recording_log.hpp"
#include "support/stepped_time.hpp"
#include "support/temp_dir.hpp"
#include "support/waiting.hpp"

namespace {

using common::key_preset;
using namespace std::chrono_literals;

// The monitors of one game, with an empty board reset so that the pads stand at 10.0.
struct input_game {
  input_game() {
    board.reset();  // no board file here: an empty board, which the pads do not care about
    log.clear();
  }
  input::world world() { return {keys, players, board, view}; }
  void samples(int n) {
    for (int i = 0; i < n; ++i) input::sample(world());
  }

  testing_support::temp_dir dir;
  testing_support::recording_log log;
  state::board_monitor board{log, (dir.path() / "boards/").string()};
  state::players_monitor players;
  state::view_monitor view;
  input::keyboard_monitor keys;
};

TEST(KeyboardState, KeysAreExactlyTheCodesDelivered) {
  input::keyboard_monitor keys;
  for (int code = 0; code < 256; ++code) ASSERT_FALSE(keys.is_key_down(static_cast<unsigned char>(code)));
  keys.set_key_down('a');
  EXPECT_TRUE(keys.is_key_down('a'));
  EXPECT_FALSE(keys.is_key_down('A'));
  keys.set_key_down('a');  // pressing twice is harmless and is not counted
  keys.set_key_up('a');
  EXPECT_FALSE(keys.is_key_down('a'));
  keys.set_key_up('a');
  keys.set_key_down(255);
  EXPECT_TRUE(keys.is_key_down(255));
}

TEST(InputSample, HeldKeysMoveThePadsOfTheirPresets) {
  input_game game;
  game.keys.set_key_down('a');
  game.samples(30);
  EXPECT_NEAR(game.board.get_pad1().pos.x, 4.0f, 1e-4f);  // about 0.3 s to the left limit...
  game.samples(5);                                        // ...where it then stands exactly
  EXPECT_EQ(game.board.get_pad1().pos.x, 4.0f);

  // 'a' and 'd' together: left then right, which cancel in the middle of the range...
  game.keys.set_key_down('d');
  game.samples(1);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 4.2f);  // ...but at the limit the left step is skipped
  game.keys.set_key_up('a');
  game.samples(9);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 6.0f);
  game.keys.set_key_down('a');
  game.samples(3);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 6.0f);

  // The green player on j/l; its pad is untouched by a and d.
  EXPECT_EQ(game.board.get_pad2().pos.x, 10.0f);
  game.keys.set_key_up('a');
  game.keys.set_key_up('d');
  game.keys.set_key_down('l');
  game.samples(2);
  EXPECT_FLOAT_EQ(game.board.get_pad2().pos.x, 10.4f);
}

TEST(InputSample, AReleasedKeyStopsItsPad) {
  input_game game;
  game.keys.set_key_down('d');
  game.samples(5);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 11.0f);
  game.keys.set_key_up('d');
  game.samples(5);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 11.0f);  // it stays where it stopped
  game.keys.set_key_down('j');
  game.samples(2);
  game.keys.set_key_up('j');
  game.samples(3);
  EXPECT_FLOAT_EQ(game.board.get_pad2().pos.x, 9.6f);
}

TEST(InputSample, KeysOutsideThePresetDoNothing) {
  input_game game;
  game.keys.set_key_down('A');  // upper case is another key
  game.samples(3);
  EXPECT_EQ(game.board.get_pad1().pos.x, 10.0f);

  game.players.set2(key_preset::COMPUTER);
  game.keys.set_key_down('j');
  game.keys.set_key_down('l');
  game.keys.set_key_down(common::joy_right);
  game.samples(3);
  EXPECT_EQ(game.board.get_pad2().pos.x, 10.0f);
  game.keys.set_key_down(common::pc_left);
  game.samples(2);
  EXPECT_FLOAT_EQ(game.board.get_pad2().pos.x, 9.6f);

  // Both players on the same preset follow the same keys.
  game.players.set1(key_preset::COMPUTER);
  game.samples(1);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 9.8f);
  game.players.set1(key_preset::PAD);
  game.samples(1);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 10.0f);
}

TEST(InputSample, ZoomKeys) {
  // Each key on its own: '+' and '=' (the same key without shift) come closer, '-' goes away.
  for (const auto& [key, change] : {std::pair{'+', -0.2}, {'=', -0.2}, {'-', 0.2}}) {
    input_game alone;
    alone.keys.set_key_down(key);
    alone.samples(1);
    EXPECT_DOUBLE_EQ(alone.view.get().distance, 50.0 + change) << key;
  }
  input_game game;
  game.keys.set_key_down('-');
  game.samples(1);
  EXPECT_DOUBLE_EQ(game.view.get().distance, 50.2);
  game.keys.set_key_down('+');
  game.keys.set_key_down('=');
  game.samples(1);
  EXPECT_DOUBLE_EQ(game.view.get().distance, 50.0);  // -0.2 -0.2 +0.2 a sample
  game.keys.set_key_up('-');
  game.samples(1);
  EXPECT_DOUBLE_EQ(game.view.get().distance, 49.6);
}

TEST(InputThread, SamplesTenMillisecondsAfterTheLastSampleEnded) {
  input_game game;
  testing_support::stepped_time time;
  input::input_thread thread(game.world(), game.log, time, time);
  const struct free_at_end {
    testing_support::stepped_time& time;
    ~free_at_end() { time.run_free(); }
  } guard{time};
  const common::steady_time begun = time.now();
  thread.launch();
  game.keys.set_key_down('a');
  EXPECT_EQ(thread.samples(), 0u);
  ASSERT_TRUE(thread.start());
  // The first sample is due at once: its time was taken when the thread began.
  ASSERT_TRUE(time.wait_for_sleeps(1));
  EXPECT_EQ(time.deadlines()[0], begun);
  time.release();
  ASSERT_TRUE(time.wait_for_sleeps(2));
  EXPECT_EQ(thread.samples(), 1u);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 9.8f);
  EXPECT_EQ(time.deadlines()[1], begun + 10ms);
  // Woken 4 ms late: the next sample is 10 ms after this one, the lost time is not made up.
  time.release(4ms);
  ASSERT_TRUE(time.wait_for_sleeps(3));
  EXPECT_EQ(time.deadlines()[2], begun + 10ms + 4ms + 10ms);
  EXPECT_EQ(thread.samples(), 2u);
  EXPECT_FLOAT_EQ(game.board.get_pad1().pos.x, 9.6f);
}

TEST(InputThread, SamplesEveryTenMillisecondsOnceStarted) {
  input_game game;
  common::steady_clock_source clock;
  common::precise_sleeper sleeper;
  input::input_thread thread(game.world(), game.log, clock, sleeper);
  thread.launch();
  game.keys.set_key_down('a');
  EXPECT_EQ(thread.samples(), 0u);
  ASSERT_TRUE(thread.start());
  EXPECT_TRUE(testing_support::eventually([&] { return game.board.get_pad1().pos.x == 4.0f; }, 5s));
  EXPECT_GE(thread.samples(), 30u);
  EXPECT_TRUE(game.log.entries().empty());
}

// A sleeper that fails, as a broken clock would.
class failing_sleeper final : public common::sleeper {
 public:
  void sleep_until(common::steady_time) override { throw std::runtime_error("zegar zepsuty"); }
  void sleep_for(std::chrono::nanoseconds) override { throw std::runtime_error("zegar zepsuty"); }
};

TEST(InputThread, AFailureIsLoggedAndEndsOnlyThisThread) {
  input_game game;
  common::steady_clock_source clock;
  failing_sleeper sleeper;
  input::input_thread thread(game.world(), game.log, clock, sleeper);
  thread.launch();
  ASSERT_TRUE(thread.start());
  ASSERT_TRUE(testing_support::eventually([&] { return game.log.size() == 1; }, 5s));
  EXPECT_EQ(game.log.entries()[0],
            testing_support::error("Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: "
                                   "std::runtime_error jego opis: zegar zepsuty"));
  EXPECT_FALSE(thread.start());  // a request to the ended thread returns at once
}

}  // namespace
