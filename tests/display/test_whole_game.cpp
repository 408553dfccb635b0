// The whole game end to end: started as a player starts it, in a scratch working directory with the shipped
// boards, under a private X server, played with real X events and judged by its log and its exit status.
#include <gtest/gtest.h>

#include <regex>

#include "support/recording_log.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

class WholeGame : public ::testing::Test {
 protected:
  WholeGame() { std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir_ / "boards"); }

  void start_game() {
    game_.emplace(TOLVARAN_GAME, dir_.path());
    ASSERT_TRUE(eventually([&] { return log_contains(dir_.path(), "Zadania uruchomione"); }, 60s))
        << "the game did not finish starting";
    const auto window = game_window();
    ASSERT_TRUE(window.has_value());
    window_ = *window;
  }

  // Ends the game from its menu and returns its exit status.
  std::optional<int> end_game() {
    EXPECT_TRUE(menu_driver().choose(window_.x + 100, window_.y + 100, menu_path::end_game))
        << "no menu showed";
    return game_->wait_for_exit(60s);
  }

  std::vector<std::string> messages() const { return log_messages(dir_.path()); }

  std::size_t count(const std::string& message) const {
    const auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }

  xvfb_server x_;
  temp_dir dir_;
  std::optional<child_process> game_;
  window_geometry window_;
};

// Whether `wanted` appear in this order within `all` (other lines may come between them).
bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
  std::size_t next = 0;
  for (const std::string& line : all)
    if (next < wanted.size() && line == wanted[next]) ++next;
  return next == wanted.size();
}

TEST_F(WholeGame, StartsPlaysChangesBoardAndEnds) {
  ASSERT_NO_FATAL_FAILURE(start_game());

  // Start-up, in order. The computer player logs its switch from its own thread, after the hand-over.
  std::vector<std::string> start_up = settings_report_lines;
  start_up.insert(start_up.end(), {
                                      "Zakonczono inicjalizowanie okna, jest gotowe",
                                      "Uruchamiam symulacje fizyki",
                                      "Wygenerowano Plansze losowych klockow",
                                      "Symulacja Fizyki juz dzia\xB3"
                                      "a",
                                      "Wlaczanie Gracza zielonego",
                                      "Zadania uruchomione",
                                  });
  const auto first = messages();
  ASSERT_GE(first.size(), start_up.size());
  // Up to the board's generation nothing else runs; after it the physics and the computer may log between.
  EXPECT_TRUE(std::equal(start_up.begin(), start_up.begin() + 10, first.begin()));
  EXPECT_TRUE(in_order(first, start_up));
  EXPECT_TRUE(
      eventually([&] { return count("Gracz zielony przelaczony na sterowanie automatyczne") == 1; }, 30s));
  EXPECT_TRUE(in_order(
      messages(), {"Wlaczanie Gracza zielonego", "Gracz zielony przelaczony na sterowanie automatyczne"}));

  // A held 'a' takes the red pad to its left limit (keys go to the window under the pointer).
  pointer_to(window_.x + 350, window_.y + 350);
  xdotool("keydown a");
  EXPECT_TRUE(eventually([] { return red_pad_at_left_limit(window_image()); }, 30s))
      << "pad 1 at its left limit";
  xdotool("keyup a");

  // Play: the red pad stands still at the side and the computer errs, so balls are lost; bricks break.
  const std::regex destroyed(R"(Zniszczono kostke: \[ \d+, \d+\], warta  \d+ punkow)");
  const auto has = [&](const std::regex& pattern) {
    for (const auto& m : messages())
      if (std::regex_match(m, pattern)) return true;
    return false;
  };
  EXPECT_TRUE(eventually([&] { return has(destroyed); }, 40s)) << "no brick was destroyed";
  EXPECT_TRUE(eventually(
      [&] {
        return count("Gracz czerwony upuscil kulke, straci\xB3 wiec: -500 punktow") +
                   count("Gracz zielony upuscil kulke, straci\xB3 wiec: -500 punktow") >=
               1;
      },
      120s))
      << "no ball was lost";
  EXPECT_TRUE(eventually([&] { return count("Kulka zostala zresetowana") >= 1; }, 30s));
  for (const auto& m : messages()) {
    if (m.starts_with("Zniszczono")) {
      EXPECT_TRUE(std::regex_match(m, destroyed)) << m;
    }
    if (m.starts_with("Gracz czerwony upuscil") || m.starts_with("Gracz zielony upuscil")) {
      EXPECT_TRUE(m.ends_with(" upuscil kulke, straci\xB3 wiec: -500 punktow")) << m;
    }
  }

  // A new game on board 3 from the menu: the board is generated again.
  const std::size_t generated = count("Wygenerowano Plansze losowych klockow");
  ASSERT_TRUE(menu_driver().choose(window_.x + 150, window_.y + 150, menu_path::board(3)));
  EXPECT_TRUE(
      eventually([&] { return count("Wygenerowano Plansze losowych klockow") == generated + 1; }, 30s));

  // "Zakoncz": exit status 0, the closing line last.
  EXPECT_EQ(end_game(), 0);
  const auto last = messages();
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back(),
            "Zako\xF1"
            "czono dzialanie programu");
}

TEST_F(WholeGame, KeepsRunningWhenItsLogCannotBeWritten) {
  write_file(dir_ / "logs", "a file where the log directory should be");
  game_.emplace(TOLVARAN_GAME, dir_.path());
  ASSERT_TRUE(eventually([&] { return game_window().has_value(); }, 60s));
  window_ = *game_window();
  EXPECT_TRUE(eventually([&] { return game_->standard_output().starts_with("Log sie zespula\n"); }, 30s));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(game_->running());
  EXPECT_EQ(end_game(), 0);  // the closing line cannot be written, and the game ends all the same
  EXPECT_EQ(read_file(dir_ / "logs"), "a file where the log directory should be");
}

TEST_F(WholeGame, LogGoesOnWhenItsFileIsDeletedDuringPlay) {
  ASSERT_NO_FATAL_FAILURE(start_game());
  const auto files = log_files(dir_.path());
  ASSERT_EQ(files.size(), 1u);
  const auto before = lines_of(read_file(files[0]));
  std::filesystem::remove(files[0]);

  // Something to log: a new game from the menu.
  ASSERT_TRUE(menu_driver().choose(window_.x + 150, window_.y + 150, menu_path::board(1)));
  EXPECT_TRUE(eventually([&] { return !log_files(dir_.path()).empty(); }, 30s));
  EXPECT_EQ(end_game(), 0);
  const auto after = log_messages(dir_.path());
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(),
            "Zako\xF1"
            "czono dzialanie programu");
  EXPECT_TRUE(in_order(after, {"Wygenerowano Plansze losowych klockow",
                               "Zako\xF1"
                               "czono dzialanie programu"}));
  EXPECT_EQ(game_->standard_output().find("Log sie zespula"), std::string::npos);
}

}  // namespace
