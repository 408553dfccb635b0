// The Debian package as a player gets it: its launcher started from a folder that has nothing to do with the
// game, under a private X server, with a scratch home. tools/test_package.sh runs it with TOLVARAN_DEB, the
// package to unpack into a scratch root, or TOLVARAN_ROOT, where the package is installed ("/" after apt).
#include <gtest/gtest.h>

#include <cstdlib>

#include "graphics/process_graphics.hpp"
#include "support/x_driver.hpp"

// Last: Xlib's macros (None, Bool, Status) would break other headers.
#include "support/window_manager.hpp"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Where the package's files are: unpacked once for the whole program.
const fs::path& package_root() {
  static const temp_dir unpacked;
  static const fs::path root = [] {
    if (const char* installed = std::getenv("TOLVARAN_ROOT")) return fs::path(installed);
    const char* deb = std::getenv("TOLVARAN_DEB");
    if (deb == nullptr)
      throw std::runtime_error("TOLVARAN_DEB (a package) or TOLVARAN_ROOT (an installed tree) is needed");
    if (run_command("dpkg-deb -x " + shell_quoted(deb) + " " + shell_quoted(unpacked.path().string()))
            .status != 0)
      throw std::runtime_error(std::string("dpkg-deb cannot unpack ") + deb);
    return unpacked.path();
  }();
  return root;
}

class InstalledGame : public ::testing::Test {
 protected:
  InstalledGame() {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
  }

  fs::path installed_board(int n) const {
    return package_root() / "usr/share/games/multiplayer-tolvaran/boards" / board_file(n);
  }
  // Starts the launcher from the unrelated folder and waits until this run's window is ready.
  bool start_and_show(const fs::path& players_folder) {
    const auto ready = [&] {
      const auto messages = log_messages(players_folder);
      return std::count(messages.begin(), messages.end(), "Zakonczono inicjalizowanie okna, jest gotowe");
    };
    const auto before = ready();
    game_ = std::make_unique<child_process>((package_root() / "usr/games/multiplayer-tolvaran").string(),
                                            elsewhere_.path());
    const bool shown = eventually([&] { return ready() > before; }, 60s) &&
                       eventually([] { return game_window().has_value(); }, 30s);
    if (!shown)
      ADD_FAILURE() << "no game window; the launcher said: " << read_file(elsewhere_ / "stderr.txt");
    return shown;
  }
  void close_and_expect_clean_end(const fs::path& players_folder) {
    ASSERT_TRUE(press_close_button(game_window()->id));
    EXPECT_EQ(game_->wait_for_exit(60s), std::optional<int>(0));
    const auto messages = log_messages(players_folder);
    EXPECT_EQ(messages.empty() ? "" : messages.back(), graphics::closing_line);
  }
  void expect_nothing_written_elsewhere() {
    EXPECT_FALSE(fs::exists(elsewhere_ / "logs"));
    EXPECT_FALSE(fs::exists(elsewhere_ / "boards"));
  }

  xvfb_server x_;
  temp_dir home_;
  temp_dir elsewhere_;
  std::unique_ptr<child_process> game_;
};

TEST_F(InstalledGame, PlaysInThePlayersFolderAndKeepsTheBoardsThePlayerEdits) {
  const fs::path folder = home_ / ".local/share/multiplayer-tolvaran";
  ASSERT_TRUE(start_and_show(folder));
  EXPECT_EQ(log_files(folder).size(), 1u);
  for (int n = 0; n < 10; ++n)
    EXPECT_EQ(read_file(folder / "boards" / board_file(n)), read_file(installed_board(n))) << board_file(n);
  expect_nothing_written_elsewhere();
  close_and_expect_clean_end(folder);

  // The player spoils board 0, which the game loads at start, in a way the log names, and deletes board 5.
  std::string edited;
  for (int row = 1; row <= 20; ++row)
    edited += row == 7 ? "X q                X\n" : "X                  X\n";
  write_file(folder / "boards" / board_file(0), edited);
  fs::remove(folder / "boards" / board_file(5));

  ASSERT_TRUE(start_and_show(folder));
  EXPECT_TRUE(eventually(
      [&] {
        for (const auto& m : log_messages(folder))
          if (m.find("boards/board (0).txt: line 7, column 3") != std::string::npos) return true;
        return false;
      },
      30s))
      << "the edited board 0 was not the one loaded";
  EXPECT_EQ(read_file(folder / "boards" / board_file(0)), edited);
  EXPECT_EQ(read_file(folder / "boards" / board_file(5)), read_file(installed_board(5)));
  EXPECT_EQ(log_files(folder).size(), 2u);
  close_and_expect_clean_end(folder);
  EXPECT_EQ(read_file(folder / "boards" / board_file(0)), edited);
}

TEST_F(InstalledGame, PlaysInXdgDataHomeWhenItIsSet) {
  const fs::path data = home_ / "data home";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  const fs::path folder = data / "multiplayer-tolvaran";
  ASSERT_TRUE(start_and_show(folder));
  EXPECT_EQ(read_file(folder / "boards" / board_file(9)), read_file(installed_board(9)));
  EXPECT_FALSE(fs::exists(home_ / ".local"));
  expect_nothing_written_elsewhere();
  close_and_expect_clean_end(folder);
}

}  // namespace
