// The game's window for real, under a private X server: its geometry, what it shows, and what the player does
// with the mouse, the keys, the pop-up menu and the close button.
#include <gtest/gtest.h>

#include <memory>

#include "graphics/process_graphics.hpp"
#include "startup/multiplayer_tolvaran.hpp"
#include "support/x_driver.hpp"

// After everything else: Xlib's macros (None, Bool, Status) would break other headers.
#include "support/window_manager.hpp"

namespace {

using namespace testing_support;

bool placed(long x, long y, long width, long height) {
  const std::optional<window_geometry> w = game_window();
  return w && w->x == x && w->y == y && w->width == width && w->height == height;
}

class GameWindow : public ::testing::Test {
 protected:
  GameWindow() {
    // Firm walls all round: the ball is never lost, the points stay. Board 3 adds a brick at row 5,
    // column 15.
    std::string walls;
    for (int row = 1; row <= 20; ++row)
      walls += (row == 1 || row == 20) ? std::string(20, 'X') + "\n" : "X" + std::string(18, ' ') + "X\n";
    write_file(dir_ / "boards" / board_file(0), walls);
    walls[4 * 21 + 14] = 'X';
    write_file(dir_ / "boards" / board_file(3), walls);
  }
  void start(const std::vector<std::string>& arguments = {}) {
    game_ = std::make_unique<child_process>(TOLVARAN_GAME, dir_.path(), arguments);
  }
  std::size_t logged(const std::string& message) const {
    const auto messages = log_messages(dir_.path());
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
  }
  // The start-up done (keys now move pads) and the heads-up text drawn.
  bool ready() {
    return eventually([&] { return logged("Zadania uruchomione") > 0; }, 60s) &&
           eventually([&] { return window_image().count(0, 0, 300, 130, white) > 300; }, 60s);
  }
  void pick(const std::vector<int>& path) { ASSERT_TRUE(menu_driver().choose(150, 150, path)); }
  void expect_ended_with_closing_line() {
    EXPECT_EQ(game_->wait_for_exit(60s), std::optional<int>(0));
    const auto messages = log_messages(dir_.path());
    EXPECT_EQ(messages.empty() ? "" : messages.back(), graphics::closing_line);
  }

  xvfb_server x_;
  temp_dir dir_;
  std::unique_ptr<child_process> game_;
};

TEST_F(GameWindow, ShowsTheBoardTurnsItAndResizes) {
  start();
  ASSERT_TRUE(ready());
  ASSERT_TRUE(game_window().has_value()) << "no window titled 'Multiplayer Tolvaran 0.2'";
  const std::string id = std::to_string(game_window()->id);
  EXPECT_TRUE(placed(50, 50, 600, 600));
  window_image shot;
  EXPECT_TRUE(background(shot.at(595, 598)));
  EXPECT_TRUE(shot.shows(4.5, 14.5, 0.0, floor_grey));
  const int red_end = shot.line_end(5), green_end = shot.line_end(6);
  ASSERT_GT(red_end, 100);

  // "Nowa Gra" > "Wybierz plansze nr: 3": a new game on board 3, and 1000 points each (one digit more).
  const std::size_t generated = logged("Wygenerowano Plansze losowych klockow");
  ASSERT_NO_FATAL_FAILURE(pick({0, 3}));
  EXPECT_TRUE(eventually([&] { return logged("Wygenerowano Plansze losowych klockow") > generated; }, 30s));
  EXPECT_TRUE(eventually([&] { return (shot = window_image()).line_end(5) == red_end + 7; }, 30s));
  EXPECT_EQ(shot.line_end(6), green_end + 7);
  EXPECT_TRUE(shot.shows(14.5, 4.5, 1.1, firm_blue)) << "the brick at row 5, column 15";
  EXPECT_TRUE(shot.shows(10.5, 0.5, 1.1, firm_blue) && shot.shows(19.5, 12.5, 1.1, firm_blue)) << "the walls";
  EXPECT_TRUE(shot.shows(4.5, 14.5, 0.0, floor_grey)) << "an empty cell";
  EXPECT_TRUE(shot.shows(10.0, -0.5, 0.9, red)) << "pad 1";
  int green_seen = 0;  // pad 2 may follow the ball under the computer
  for (double x = 4.0; x <= 16.0; x += 0.5) green_seen += shot.shows(x, 20.5, 0.9, green);
  EXPECT_GE(green_seen, 8) << "pad 2";
  EXPECT_GT(shot.count(0, 130, 600, 600, yellow), 40) << "the ball";

  // A drag of 150 pixels to the right turns the board by 30 degrees.
  xdotool("mousemove 450 400 mousedown 1 mousemove 500 400 mousemove 600 400 mouseup 1");
  EXPECT_TRUE(eventually(
      [&] {
        shot = window_image();
        return shot.shows(14.5, 4.5, 1.1, firm_blue, 120.0) && shot.shows(10.0, -0.5, 0.9, red, 120.0) &&
               !shot.shows(10.0, -0.5, 0.9, red);
      },
      30s));

  // "Rozmiar Okna": full screen from a size of the player's, back to the start-up window from it (not to
  // the player's size), and from any other size. Once back, the player's own changes stay.
  const auto players_size = [&] {
    xdotool("windowsize " + id + " 400 300 windowmove " + id + " 120 80");
    return eventually([&] { return placed(120, 80, 400, 300); }, 20s);
  };
  ASSERT_TRUE(players_size());
  ASSERT_NO_FATAL_FAILURE(pick({4, 1}));
  EXPECT_TRUE(eventually([&] { return placed(0, 0, 1024, 768); }, 20s));
  ASSERT_NO_FATAL_FAILURE(pick({4, 0}));
  EXPECT_TRUE(eventually([&] { return placed(50, 50, 600, 600); }, 20s));
  ASSERT_TRUE(players_size());
  ASSERT_NO_FATAL_FAILURE(pick({4, 0}));
  EXPECT_TRUE(eventually([&] { return placed(50, 50, 600, 600); }, 20s));
}

TEST_F(GameWindow, MenuPausesAndResumesAndKeysMoveThePad) {
  start();
  ASSERT_TRUE(ready()) << "the start-up stopped before the physics and the input";
  const auto still_for = [](std::chrono::milliseconds span) {
    const window_image before;
    std::this_thread::sleep_for(span);
    const window_image after;
    for (int y = 130; y < 600; ++y)
      for (int x = 0; x < 600; ++x)
        if (yellow(before.at(x, y)) != yellow(after.at(x, y))) return false;
    return true;
  };
  ASSERT_NO_FATAL_FAILURE(pick({1}));  // "Zatrzymaj"
  EXPECT_TRUE(eventually([&] { return still_for(500ms); }, 30s));
  EXPECT_TRUE(still_for(1500ms)) << "still paused after the menu has closed";
  ASSERT_NO_FATAL_FAILURE(pick({2}));  // "Wznow"
  EXPECT_TRUE(eventually([&] { return !still_for(300ms); }, 30s));

  xdotool("mousemove 350 350 keydown a");  // keys go to the window under the pointer
  EXPECT_TRUE(eventually([] { return red_pad_at_left_limit(window_image()); }, 30s))
      << "pad 1 at its left limit";
  xdotool("keyup a");
}

TEST_F(GameWindow, ReleasingAKeyStopsThePad) {
  start();
  ASSERT_TRUE(ready());
  // Where the red pad shows along its line, every half cell: the walls keep the ball away from it.
  const auto red_pad = [](const window_image& shot) {
    std::vector<bool> seen;
    for (double x = 0.5; x < 20.0; x += 0.5) seen.push_back(shot.shows(x, -0.5, 0.9, red));
    return seen;
  };
  const auto right_end = [](const std::vector<bool>& seen) {
    return std::find(seen.rbegin(), seen.rend(), true) - seen.rbegin();
  };
  // Where the pad rests: the same in three pictures half a second apart, however slowly a busy game draws.
  const auto resting = [&] {
    std::vector<bool> seen;
    const bool rests = eventually(
        [&] {
          seen = red_pad(window_image());
          for (int look = 0; look < 2; ++look) {
            std::this_thread::sleep_for(500ms);
            if (red_pad(window_image()) != seen) return false;
          }
          return std::count(seen.begin(), seen.end(), true) > 0;
        },
        60s);
    EXPECT_TRUE(rests) << "the pad never came to rest";
    return seen;
  };
  // 'd' is held for a while and let go: the pad must stop on its way. How long the game sees the key depends
  // on its load, so the hold adapts: a press the game missed moved nothing and is made longer; one that
  // carried the pad to its right side, where a pad that runs on cannot be told from one that stopped, is
  // made shorter once the pad is back at the left. A game that ignores the release always ends at the side.
  auto hold = 150ms;
  for (int attempt = 0; attempt < 6; ++attempt) {
    const std::vector<bool> before = resting();
    xdotool("mousemove 350 350 keydown d sleep " + std::to_string(hold.count() / 1000.0) + " keyup d");
    const std::vector<bool> stopped = resting();
    if (stopped == before) {
      hold *= 2;
      continue;
    }
    if (stopped[36]) {  // over x = 18.5: at the right side
      xdotool("keydown a");
      ASSERT_TRUE(eventually([] { return red_pad_at_left_limit(window_image()); }, 30s));
      xdotool("keyup a");
      hold = std::max(hold / 2, 20ms);
      continue;
    }
    EXPECT_LT(right_end(stopped), right_end(before)) << "the pad moved right";
    return;
  }
  FAIL() << "no press stopped the pad on its way: it missed the key or ran on to its right side";
}

TEST_F(GameWindow, ZakonczEndsTheGame) {
  start();
  ASSERT_TRUE(ready());
  ASSERT_NO_FATAL_FAILURE(pick({5}));
  expect_ended_with_closing_line();
}

TEST_F(GameWindow, CloseButtonEndsTheGameLikeZakoncz) {
  start();
  ASSERT_TRUE(ready());
  ASSERT_TRUE(press_close_button(game_window()->id));
  expect_ended_with_closing_line();
}

TEST_F(GameWindow, LosingTheXServerEndsTheGameWithItsReasonLogged) {
  start();
  ASSERT_TRUE(ready());
  ::kill(x_.pid(), SIGTERM);
  EXPECT_EQ(game_->wait_for_exit(60s), std::optional<int>(1));
  const auto messages = log_messages(dir_.path());
  EXPECT_EQ(messages.empty() ? "" : messages.back(),
            std::string(graphics::graphics_error_prefix) +
                "graphics::glut_error jego opis: the connection to the X server was lost");
}

// Nothing to play with and nothing to end the game by: the reasons are logged and shown, and the game ends.
TEST_F(GameWindow, WithoutADisplayTheFailureIsLoggedAndShownAndTheGameEnds) {
  start({"-display", ":9999"});
  EXPECT_EQ(game_->wait_for_exit(60s), std::optional<int>(1));
  const auto messages = log_messages(dir_.path());
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2],
            std::string(graphics::graphics_error_prefix) +
                "graphics::glut_error jego opis: failed to open display ':9999'");
  EXPECT_EQ(
      messages.back(),
      "Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: common::request_refused jego opis: "
      "processing_graphics.wait_ready: the thread has ended");
  EXPECT_NE(read_file(dir_ / "stderr.txt").find("failed to open display ':9999'"), std::string::npos);
}

// A callback that fails leaves the player nothing to play with or to end the game by: the game logs why and
// ends with status 1. The game runs in a child of the test's own, which gives its display a ball too fast to
// show.
TEST(GameWindowFailure, AFailingCallbackEndsTheGameWithStatusOne) {
  xvfb_server x;
  temp_dir dir;
  std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir / "boards");
  const pid_t parent = ::getpid();
  const pid_t game = ::fork();
  if (game == 0) {
    die_with(parent);
    std::filesystem::current_path(dir.path());
    static int argc = 1;
    static char name[] = "multiplayer_tolvaran";
    static char* argv[] = {name, nullptr};
    startup::static_initialisation(argc, argv);
    startup::multiplayer_tolvaran(*runtime_log::log);
    while (graphics::processing_graphics->frames() < 5) std::this_thread::sleep_for(10ms);
    state::board_state->stop();
    common::ball_type ball = state::board_state->get_ball();
    ball.vel = {3.0e9f, 0.0f};
    state::board_state->ball_change(ball);
    startup::wait_for_the_end();
  }
  int status = 0;
  ASSERT_TRUE(eventually([&] { return ::waitpid(game, &status, WNOHANG) == game; }, 60s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const auto messages = log_messages(dir.path());
  ASSERT_FALSE(messages.empty());
  EXPECT_TRUE(messages.back().starts_with(std::string(graphics::graphics_error_prefix) +
                                          "std::range_error jego opis: ball speed "))
      << messages.back();
}

}  // namespace
