// The built game as a player starts it: in a working directory that holds boards/, under a real X server.
#include <gtest/gtest.h>

#include <regex>

#include "support/game_process.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace testing_support;

class GameProgram : public ::testing::Test {
 protected:
  GameProgram() { std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir_ / "boards"); }

  xvfb_server x_;
  temp_dir dir_;
};

TEST_F(GameProgram, WritesItsSettingsReportFirstAndStaysUp) {
  child_process game(TOLVARAN_GAME, dir_.path());
  ASSERT_TRUE(eventually([&] { return log_messages(dir_.path()).size() >= 7; }, 30s));

  const auto files = log_files(dir_.path());
  ASSERT_FALSE(files.empty());
  EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                               std::regex(R"(log_\d{4}_\d\d_\d\d_\d\d-\d\d-\d\d-\d{3}\.log)")))
      << files[0];
  const auto lines = lines_of(read_file(files[0]));
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Typ          |Data              |Opis");
  const std::vector<std::string>& report = settings_report_lines;
  const std::regex entry(R"(Informacja   \| \d\d:\d\d:\d\d  \d{3} ms \| (.*))");
  for (std::size_t i = 0; i < report.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i + 1], match, entry)) << lines[i + 1];
    EXPECT_EQ(match[1], report[i]);
  }

  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(game.running());
}

}  // namespace
