// The launcher's own rules, with a stand-in for the game that reports where and with what it was started:
// the player's folder, the boards copied into it and never replaced, the tree found from the launcher's own
// place, and one clear line when the folder cannot be made.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support/game_process.hpp"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

class Launcher : public ::testing::Test {
 protected:
  Launcher() {
    const fs::path games = tree_ / "games";
    fs::create_directories(games);
    fs::copy_file(TOLVARAN_LAUNCHER, games / "multiplayer-tolvaran");
    // The stand-in game: where it runs, each argument in brackets, and a status of its own to pass back.
    const fs::path game = tree_ / "lib/multiplayer-tolvaran/multiplayer_tolvaran";
    write_file(game, "#!/bin/sh\npwd -P\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done\nexit 7\n");
    fs::permissions(game, fs::perms::owner_exec, fs::perm_options::add);
    for (int n = 0; n < 3; ++n) write_file(installed_board(n), "installed board " + std::to_string(n) + "\n");
  }

  fs::path installed_board(int n) const {
    return tree_ / "share/games/multiplayer-tolvaran/boards" / board_file(n);
  }
  fs::path launcher() const { return tree_ / "games/multiplayer-tolvaran"; }
  fs::path players_folder() const { return home_ / ".local/share/multiplayer-tolvaran"; }

  // Runs `program` with only PATH and `environment` (NAME=value words) set, from the scratch root.
  command_result run(const std::vector<std::string>& environment,
                     const std::vector<std::string>& arguments = {}, const fs::path& program = {}) {
    std::string command = "cd " + shell_quoted(dir_.path()) + " && env -i PATH=/usr/bin:/bin";
    for (const auto& setting : environment) command += " " + shell_quoted(setting);
    command += " " + shell_quoted((program.empty() ? launcher() : program).string());
    for (const auto& argument : arguments) command += " " + shell_quoted(argument);
    return run_command(command + " 2>" + shell_quoted((dir_ / "stderr.txt").string()));
  }
  std::string errors() const { return read_file(dir_ / "stderr.txt"); }
  std::string home_setting() const { return "HOME=" + home_.string(); }

  // The folder the game ran in, its arguments and its status, as the stand-in reported them.
  void expect_game_started_in(const command_result& result, const fs::path& folder,
                              const std::string& arguments = "") {
    EXPECT_EQ(result.status, 7) << "the game's own exit status";
    EXPECT_EQ(result.output, fs::canonical(folder).string() + "\n" + arguments);
    EXPECT_EQ(errors(), "");
  }
  void expect_boards_copied_to(const fs::path& folder) {
    for (int n = 0; n < 3; ++n)
      EXPECT_EQ(read_file(folder / "boards" / board_file(n)), read_file(installed_board(n))) << n;
  }
  void expect_one_line_refusal(const command_result& result, const std::string& part) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "") << "the game must not start";
    const std::string said = errors();
    EXPECT_TRUE(said.starts_with("multiplayer-tolvaran: ")) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find(part), std::string::npos) << said;
  }

  temp_dir dir_;
  const fs::path tree_ = dir_ / "installed (tree)";
  const fs::path home_ = dir_ / "home of a player";
};

TEST_F(Launcher, StartsTheGameInThePlayersFolderWithItsBoardsAndArguments) {
  fs::create_directories(home_);
  const command_result result = run({home_setting()}, {"-display", ":5 'x' (y)", ""});
  expect_game_started_in(result, players_folder(), "<-display>\n<:5 'x' (y)>\n<>\n");
  expect_boards_copied_to(players_folder());
  EXPECT_TRUE(fs::is_directory(players_folder() / "logs"));
  EXPECT_EQ(std::distance(fs::directory_iterator(players_folder() / "boards"), fs::directory_iterator()), 3)
      << "nothing but the boards, no half-made copies";
}

TEST_F(Launcher, NeverReplacesABoardThePlayerHasAndRestoresOneDeleted) {
  const fs::path boards = players_folder() / "boards";
  write_file(boards / board_file(0), "the player's own board\n");
  fs::create_symlink(dir_ / "nowhere", boards / board_file(1));  // a dangling link is the player's too

  expect_game_started_in(run({home_setting()}), players_folder());
  EXPECT_EQ(read_file(boards / board_file(0)), "the player's own board\n");
  EXPECT_TRUE(fs::is_symlink(boards / board_file(1)));
  EXPECT_FALSE(fs::exists(dir_ / "nowhere")) << "written through the player's link";
  EXPECT_EQ(read_file(boards / board_file(2)), read_file(installed_board(2)));

  fs::remove(boards / board_file(2));
  write_file(installed_board(0), "a newer installed board\n");
  expect_game_started_in(run({home_setting()}), players_folder());
  EXPECT_EQ(read_file(boards / board_file(2)), read_file(installed_board(2)));
  EXPECT_EQ(read_file(boards / board_file(0)), "the player's own board\n");
}

TEST_F(Launcher, FindsTheGameFromItsOwnPlaceWhenMovedAndThroughLinks) {
  const fs::path moved = dir_ / "moved tree";
  fs::rename(tree_, moved);
  fs::create_directories(dir_ / "bin");
  fs::create_symlink(moved / "games/multiplayer-tolvaran", dir_ / "bin/absolute link");
  fs::create_symlink("absolute link", dir_ / "bin/relative link");  // a link to a link

  expect_game_started_in(run({home_setting()}, {}, moved / "games/multiplayer-tolvaran"), players_folder());
  expect_game_started_in(run({home_setting()}, {}, dir_ / "bin/relative link"), players_folder());
  EXPECT_EQ(read_file(players_folder() / "boards" / board_file(1)), "installed board 1\n");
}

TEST_F(Launcher, TakesXdgDataHomeOnlyWhenItIsAnAbsolutePath) {
  const fs::path data = dir_ / "data home";
  expect_game_started_in(run({home_setting(), "XDG_DATA_HOME=" + data.string()}),
                         data / "multiplayer-tolvaran");
  expect_boards_copied_to(data / "multiplayer-tolvaran");
  EXPECT_FALSE(fs::exists(home_));

  expect_game_started_in(run({home_setting(), "XDG_DATA_HOME=relative/data"}), players_folder());
  expect_game_started_in(run({home_setting(), "XDG_DATA_HOME="}), players_folder());
  EXPECT_FALSE(fs::exists(dir_ / "relative"));
}

TEST_F(Launcher, SaysInOneLineWhyThePlayersFolderCannotBeMade) {
  expect_one_line_refusal(run({}), "neither XDG_DATA_HOME nor HOME");
  expect_one_line_refusal(run({"HOME="}), "neither XDG_DATA_HOME nor HOME");
  expect_one_line_refusal(run({"HOME=home"}), "neither XDG_DATA_HOME nor HOME");

  write_file(home_, "a file where the home folder should be");
  expect_one_line_refusal(run({home_setting()}), players_folder().string() + ": Not a directory");

  if (::geteuid() != 0) {  // root writes into read-only folders all the same
    const fs::path locked = dir_ / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    expect_one_line_refusal(run({"HOME=" + locked.string()}), ": Permission denied");
  }
}

}  // namespace
