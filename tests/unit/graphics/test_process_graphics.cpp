// The window's game logic without a window: menu actions on monitors of the test's own, the pause while a
// menu is open, the joystick's dead zone.
#include <gtest/gtest.h>

#include <GL/freeglut.h>

#include "graphics/process_graphics.hpp"
#include "support/broken_random.hpp"
#include "support/game_process.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace testing_support;
using common::key_preset;
using common::menu_command;

// A command by the number the menu hands back for it.
menu_command command(int value) {
  return menu_command{value};
}

class MenuActions : public ::testing::Test {
 protected:
  MenuActions() {
    std::string first_row_firm = std::string(20, 'X') + "\n";
    for (int row = 2; row <= 20; ++row) first_row_firm += std::string(20, ' ') + "\n";
    write_file(dir_ / "board (3).txt", first_row_firm);
    computer_.launch();
  }
  ~MenuActions() override { common::board_pattern.choose(0); }
  bool logged(const std::string& message) const {
    return eventually([&] { return !log_.messages().empty() && log_.messages().back() == message; }, 5s, 5ms);
  }

  temp_dir dir_;
  recording_log log_;
  state::board_monitor board_{log_, (dir_.path() / "").string()};
  state::players_monitor players_;
  state::view_monitor view_;
  input::keyboard_monitor keys_;
  common::steady_clock_source clock_;
  computer::computer_thread computer_{computer::world{board_, keys_}, log_, clock_};
  sound::event_channel events_;
  sound::event_channel::reader heard_{events_};
  graphics::world world_{board_, players_, view_, keys_, computer_, log_, &events_};
};

// Every entry as the player reaches it from the main menu, with the value its choice sends.
std::vector<std::string> menu_as_shown(std::size_t menu = graphics::menu_tree.size() - 1,
                                       std::string path = "") {
  std::vector<std::string> shown;
  for (const graphics::menu_entry& entry : graphics::menu_tree[menu]) {
    const std::string here = path + std::string(entry.label);
    if (!entry.opens_submenu()) {
      shown.push_back(here + " =" + common::image(common::value_of(entry.command)));
      continue;
    }
    EXPECT_LT(std::size_t(entry.submenu), menu) << "a submenu is made before the menu that opens it";
    for (const std::string& below : menu_as_shown(std::size_t(entry.submenu), here + " > "))
      shown.push_back(below);
  }
  return shown;
}

TEST(MenuTree, EveryLabelAndValueByteForByte) {
  std::vector<std::string> expected;
  for (int board = 0; board <= 9; ++board)
    expected.push_back("Nowa Gra > Wybierz plansze nr: " + std::to_string(board) + " = " +
                       std::to_string(100 + board));
  for (const char* entry :
       {"Zatrzymaj = 200", "Wznow = 300", "Sterowanie > Gracz czerwony > A,D = 411",
        "Sterowanie > Gracz czerwony > J,L = 412", "Sterowanie > Gracz czerwony > Pad = 413",
        "Sterowanie > Gracz zielony > A,D = 421", "Sterowanie > Gracz zielony > J,L = 422",
        "Sterowanie > Gracz zielony > Pad = 423", "Sterowanie > Gracz zielony > Komputer = 424",
        "Rozmiar Okna > Oknto domy\x9Clne = 501", "Rozmiar Okna > Pelny Ekran = 502", "Zakoncz = 600"})
    expected.emplace_back(entry);
  EXPECT_EQ(menu_as_shown(), expected);
}

TEST_F(MenuActions, NewGamePauseResumeAndSteering) {
  players_.add1(-500);
  graphics::menu_action(world_, command(103));
  EXPECT_EQ(common::board_pattern.name(), "board (3).txt");
  EXPECT_TRUE(board_.enabled() && board_.brick_exists(7, 1) && !board_.brick_exists(7, 2));
  EXPECT_EQ(std::pair(players_.r1(), players_.r2()), std::pair(1000, 1000));
  for (int board = 0; board <= 9; ++board) {  // every board entry picks its own board, the first and last too
    board_.stop();
    graphics::menu_action(world_, command(100 + board));
    EXPECT_EQ(common::board_pattern.board(), board);
    EXPECT_TRUE(board_.enabled()) << "a new game runs";
  }
  for (int games = 0; games <= 10; ++games)  // each is heard from the board's centre
    EXPECT_EQ(heard_.next(),
              (sound::game_event{sound::event_kind::new_game, common::ball_owner::NONE, 0, {10, 10}}));
  EXPECT_EQ(heard_.next(), std::nullopt);
  graphics::menu_action(world_, command(200));
  EXPECT_FALSE(board_.enabled());
  graphics::menu_action(world_, command(300));
  EXPECT_TRUE(board_.enabled());

  for (const auto& [value, preset] :
       {std::pair(412, key_preset::JL), {413, key_preset::PAD}, {411, key_preset::AD}}) {
    graphics::menu_action(world_, command(value));
    EXPECT_EQ(players_.get1(), preset) << value;
  }
  EXPECT_TRUE(graphics::menu_action(world_, command(424)));
  EXPECT_EQ(players_.get2(), key_preset::COMPUTER);
  EXPECT_TRUE(logged("Gracz zielony przelaczony na sterowanie automatyczne"));
  for (const auto& [value, preset] :
       {std::pair(422, key_preset::JL), {423, key_preset::PAD}, {421, key_preset::AD}}) {
    graphics::menu_action(world_, command(value));
    EXPECT_EQ(players_.get2(), preset) << value;
  }
  EXPECT_TRUE(logged("Gracz zielony przelaczony na sterowanie reczne"));
  for (const int value : {99, 110, 201, 414, 425, 503})
    graphics::menu_action(world_, command(value));  // not in the menu
  EXPECT_TRUE(board_.enabled() && players_.get1() == key_preset::AD && players_.get2() == key_preset::AD);
}

TEST_F(MenuActions, SteeringChoicesGoOnWhenTheComputerPlayerHasEnded) {
  computer::computer_thread ended{computer::world{board_, keys_}, log_, clock_,
                                  std::make_unique<testing_support::broken_random>()};
  ended.launch();
  ASSERT_TRUE(ended.enable());
  ASSERT_TRUE(eventually([&] { return !ended.disable(); }, 5s));
  const graphics::world w{board_, players_, view_, keys_, ended, log_};
  // The menu reports the refusal (the start-up handshake stops on it); the chosen preset stands.
  EXPECT_FALSE(graphics::menu_action(w, command(424)));
  EXPECT_EQ(players_.get2(), key_preset::COMPUTER);
  EXPECT_FALSE(graphics::menu_action(w, command(422)));
  EXPECT_EQ(players_.get2(), key_preset::JL);
  EXPECT_TRUE(graphics::menu_action(w, command(411)));  // nothing asked of the computer player
}

TEST_F(MenuActions, TheChosenEntryHasTheLastWordWhicheverWayTheMenuCloses) {
  graphics::menu_pause pause(board_);
  const auto choose = [&](int value, bool closing_reported_first) {
    pause.menu_state(GLUT_MENU_IN_USE);
    EXPECT_FALSE(board_.enabled()) << "paused while the menu is open";
    if (closing_reported_first) pause.menu_state(GLUT_MENU_NOT_IN_USE);
    pause.entry_chosen(command(value));
    graphics::menu_action(world_, command(value));
    if (!closing_reported_first) pause.menu_state(GLUT_MENU_NOT_IN_USE);
    return board_.enabled();
  };
  for (const bool closing_first : {true, false}) {
    EXPECT_FALSE(choose(200, closing_first)) << closing_first;  // "Zatrzymaj" stays paused
    EXPECT_TRUE(choose(300, closing_first)) << closing_first;   // "Wznow" runs
    EXPECT_FALSE(choose(200, closing_first)) << closing_first;
    EXPECT_TRUE(choose(411, closing_first)) << closing_first;  // any other entry resumes with the closing
  }
  board_.stop();  // opened and closed without a choice: a game paused before runs again
  pause.menu_state(GLUT_MENU_IN_USE);
  pause.menu_state(GLUT_MENU_NOT_IN_USE);
  EXPECT_TRUE(board_.enabled());
}

// A network game's side of the window: it may take an entry over before it acts here.
class taking_link final : public common::network_link {
 public:
  explicit taking_link(std::vector<int> takes) : takes_(std::move(takes)) {}
  bool takes_menu_command(menu_command c) override {
    offered.push_back(common::value_of(c));
    return std::find(takes_.begin(), takes_.end(), common::value_of(c)) != takes_.end();
  }
  void game_ends() noexcept override {}
  std::vector<int> offered;

 private:
  std::vector<int> takes_;
};

TEST_F(MenuActions, ANetworkGameTakesTheEntriesItOwnsAndLeavesTheRestHere) {
  // A guest's menu pauses and resumes its host's game, not its own copy of it.
  taking_link guest({200, 300, 421});
  graphics::menu_pause pause(board_, &guest);
  board_.start();
  pause.menu_state(GLUT_MENU_IN_USE);
  EXPECT_TRUE(board_.enabled());
  pause.menu_state(GLUT_MENU_NOT_IN_USE);
  EXPECT_EQ(guest.offered, (std::vector<int>{200, 300}));

  world_.network = &guest;
  int argc = 0;
  graphics::graphics_thread window(world_, argc, nullptr);  // never launched: its menu entries only
  players_.set2(key_preset::COMPUTER);
  EXPECT_TRUE(window.menu(command(421)));
  EXPECT_EQ(players_.get2(), key_preset::COMPUTER) << "an entry the network took acted here too";
  EXPECT_TRUE(window.menu(command(422)));
  EXPECT_EQ(players_.get2(), key_preset::JL);
  EXPECT_EQ(guest.offered.back(), 422);
}

TEST(RedrawMetronome, AFrameAndAPollEveryThirtyFifthOfASecondWithoutCatchingUp) {
  using namespace std::chrono_literals;
  common::manual_time time;
  graphics::loop_requests requests;
  const common::steady_time start = time.now();
  EXPECT_FALSE(requests.take_redisplay() || requests.take_joystick_poll() ||
               requests.take_window_size().has_value());

  common::steady_time next = graphics::redraw_tick(time, requests);
  EXPECT_EQ(next - start, 28'571'428ns);  // 1/35 s, cut to whole nanoseconds
  EXPECT_TRUE(requests.take_redisplay());
  EXPECT_TRUE(requests.take_joystick_poll());
  EXPECT_FALSE(requests.take_redisplay() || requests.take_joystick_poll());  // each taken once

  // Woken 5 ms late: the next deadline counts from this late reading, and the lost time is not made up.
  time.sleep_until(next + 5ms);
  next = graphics::redraw_tick(time, requests);
  EXPECT_EQ(next - start, 2 * 28'571'428ns + 5ms);

  // Requests that come before the loop takes the first merge into one, as GLUT merges redisplays; of two
  // window sizes the later wins.
  graphics::redraw_tick(time, requests);
  requests.post_window_size(menu_command::default_window);
  requests.post_window_size(menu_command::full_screen);
  EXPECT_TRUE(requests.take_redisplay());
  EXPECT_FALSE(requests.take_redisplay());
  EXPECT_EQ(requests.take_window_size(), menu_command::full_screen);
  EXPECT_EQ(requests.take_window_size(), std::nullopt);
}

TEST(MenuTree, OnlyNewGamesPauseAndResumeSetTheRunningFlag) {
  // These are the entries whose choice the menu's closing must not overrule.
  for (const int value : {99, 100, 105, 109, 110, 199, 200, 201, 299, 300, 301, 411, 424, 501, 502, 600})
    EXPECT_EQ(graphics::sets_running_flag(command(value)),
              (value >= 100 && value <= 109) || value == 200 || value == 300)
        << value;
}

TEST(SoundKey, APressCountsOnceHoweverTheHeldKeyRepeats) {
  using graphics::key_presses;
  key_presses m;
  const common::steady_time t{std::chrono::hours(1)};
  EXPECT_TRUE(m.press(t));
  EXPECT_FALSE(m.press(t + 500ms)) << "a repeat as a press alone";
  m.release(t + 540ms);
  EXPECT_FALSE(m.press(t + 540ms)) << "a repeat as a release and a press at once";
  m.release(t + 580ms);
  EXPECT_FALSE(m.press(t + 580ms + key_presses::repeat_gap - 1ns));
  m.release(t + 700ms);
  EXPECT_TRUE(m.press(t + 700ms + key_presses::repeat_gap)) << "let go, and pressed again";
  key_presses fresh;
  EXPECT_TRUE(fresh.press(common::steady_time{})) << "the first press of a run, whenever it comes";
}

TEST(Joystick, DeadZoneAndDirections) {
  input::keyboard_monitor keys;
  const auto held = [&](int x) {
    graphics::joystick_keys(keys, x);
    return std::pair(keys.is_key_down(common::joy_left), keys.is_key_down(common::joy_right));
  };
  // Whatever was held before, the stick's x alone says which key is down: the dead zone is -10 .. 10.
  for (const int before : {-1000, 0, 1000}) {
    for (const auto& [x, keys_held] : {std::pair(11, std::pair(false, true)),
                                       {1000, {false, true}},
                                       {10, {false, false}},
                                       {0, {false, false}},
                                       {-10, {false, false}},
                                       {-11, {true, false}},
                                       {-1000, {true, false}}}) {
      held(before);
      EXPECT_EQ(held(x), keys_held) << before << " then " << x;
    }
  }
}

}  // namespace
