// Boards: the pattern loader and its reports, the brick generator, the board checker and the ten boards the
// game ships with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "board/board_check.hpp"
#include "board/brick_matrix.hpp"
#include "support/game_process.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using board::brick_placing;
using testing_support::recording_log;
using testing_support::write_file;

constexpr brick_placing NONE = brick_placing::PLACE_NONE;
constexpr brick_placing FIRM = brick_placing::PLACE_INDESTRUCTIBLE;
constexpr brick_placing DEST = brick_placing::PLACE_ONLY_DESTROYABLE;
constexpr brick_placing ANY = brick_placing::PLACE_ANY_KIND;

const std::string generated = "Wygenerowano Plansze losowych klockow";

std::string board_path(int n) {
  return std::string(TOLVARAN_SOURCE_DIR) + "/boards/board (" + std::to_string(n) + ").txt";
}

// A pattern that uses all four characters everywhere, so that a misplaced cell shows.
std::vector<std::string> mixed_rows() {
  std::vector<std::string> rows;
  for (int r = 1; r <= 20; ++r) {
    std::string row;
    for (int c = 1; c <= 20; ++c) row += " XDA"[(r * 7 + c * 3) % 4];
    rows.push_back(row);
  }
  return rows;
}
brick_placing placing_of(char c) {
  return c == 'X' ? FIRM : c == 'D' ? DEST : c == 'A' ? ANY : NONE;
}
std::string joined(const std::vector<std::string>& rows, const std::string& end = "\n") {
  std::string text;
  for (const std::string& row : rows) text += row + end;
  return text;
}
// The map `rows` describe, read in reading order up to (not including) row `stop_row`, column `stop_column`.
board::brick_place_availability map_of(const std::vector<std::string>& rows, int stop_row = 21,
                                       int stop_column = 1) {
  board::brick_place_availability map;
  for (int r = 1; r <= 20; ++r)
    for (int c = 1; c <= 20; ++c)
      if (r < stop_row || (r == stop_row && c < stop_column)) map(r, c) = placing_of(rows[r - 1][c - 1]);
  return map;
}

class Loader : public testing::Test {
 protected:
  // Loads `bytes` as a pattern file into a map that held firm bricks everywhere; returns standard output.
  std::string load(const std::string& bytes) {
    write_file(path_, bytes);
    return load_path(path_.string());
  }
  std::string load_path(const std::string& path) {
    map_.cells.fill(FIRM);
    testing::internal::CaptureStdout();
    board::loadpatternfromfile(map_, path, log_);
    return testing::internal::GetCapturedStdout();
  }
  void expect_error(const std::string& name, const std::string& where) {
    ASSERT_EQ(log_.size(), 1u);
    const recording_log::entry entry = log_.entries()[0];
    EXPECT_EQ(entry.kind, runtime_log::rodzaj_wpisu::ERROR);
    EXPECT_EQ(
        entry.message.rfind("Nastapil wyjatek w module symulacji fizyki, nazwa: " + name + " jego opis: ", 0),
        0u)
        << entry.message;
    EXPECT_NE(entry.message.find(where), std::string::npos) << entry.message;
  }

  testing_support::temp_dir dir_;
  std::filesystem::path path_ = dir_ / "board (3).txt";
  board::brick_place_availability map_;
  recording_log log_;
};

TEST_F(Loader, GoodFilesLoadWithoutAWord) {
  const std::vector<std::string> rows = mixed_rows();
  EXPECT_EQ(load(joined(rows)), "");
  EXPECT_EQ(map_, map_of(rows));
  EXPECT_EQ(log_.size(), 0u);

  // CR LF ends, anything after column 20 (even a huge line) and after line 20 is never looked at.
  std::vector<std::string> long_rows = rows;
  for (std::string& row : long_rows) row += "x\t9 comment";
  long_rows[2] += std::string(1 << 20, 'q');
  EXPECT_EQ(load(joined(long_rows, "\r\n") + "line 21: \txyz\n" + std::string(5000, '\0')), "");
  EXPECT_EQ(map_, map_of(rows));
  // Exactly 20 characters with CR LF, and a last line without any end.
  EXPECT_EQ(load(joined(rows, "\r\n").substr(0, 22 * 20 - 2)), "");
  EXPECT_EQ(map_, map_of(rows));
  EXPECT_EQ(log_.size(), 0u);
}

TEST_F(Loader, WrongCharactersPrintTheNoticeAndKeepWhatWasRead) {
  struct fault {
    char bad;
    int row, column;
  };
  for (const auto& [bad, row, column] :
       {fault{'x', 1, 1}, fault{'\t', 7, 13}, fault{'5', 20, 20}, fault{'\r', 4, 20}}) {
    SCOPED_TRACE(testing::Message() << "character " << int(bad) << " at line " << row << ", column "
                                    << column);
    log_.clear();
    std::vector<std::string> rows = mixed_rows();
    rows[row - 1][column - 1] = bad;
    if (bad == '\r')
      rows[row - 1] += "more";  // a CR that does not end the line is a character like any other
    EXPECT_EQ(load(joined(rows)), "Plik Uszkodzony\n");
    EXPECT_EQ(map_, map_of(rows, row, column));
    expect_error("board::damaged_pattern",
                 "line " + std::to_string(row) + ", column " + std::to_string(column));
  }
}

TEST_F(Loader, ShortFilesAndLinesKeepWhatWasRead) {
  std::vector<std::string> rows = mixed_rows();
  rows.pop_back();
  EXPECT_EQ(load(joined(rows)), "");
  EXPECT_EQ(map_, map_of(mixed_rows(), 20, 1));
  expect_error("board::end_of_pattern_file", "line 20, column 1");

  log_.clear();
  rows = mixed_rows();
  rows[6].pop_back();
  EXPECT_EQ(load(joined(rows, "\r\n")), "");  // 19 characters and CR LF: the CR ends the line
  EXPECT_EQ(map_, map_of(rows, 7, 20));
  expect_error("std::out_of_range", "line 7, column 20");

  log_.clear();
  EXPECT_EQ(load(""), "");
  EXPECT_EQ(map_, board::brick_place_availability{});
  expect_error("board::end_of_pattern_file", "line 1, column 1");
}

TEST_F(Loader, MissingAndUnopenableFiles) {
  testing_support::scoped_cwd cwd(dir_.path());
  EXPECT_EQ(load_path("boards/board (5).txt"), "");
  EXPECT_EQ(log_.entries(),
            std::vector{testing_support::warning("Wybrany plik:\"boards/board (5).txt\" nie isnieje")});
  EXPECT_EQ(map_, board::brick_place_availability{});  // cleared, so every cell holds a placement

  log_.clear();
  std::filesystem::create_directories(dir_ / "boards/board (6).txt");
  EXPECT_EQ(load_path("boards/board (6).txt"), "");
  expect_error("std::system_error", "Is a directory");
  EXPECT_EQ(map_, board::brick_place_availability{});

}

TEST_F(Loader, UnreadableFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  write_file(path_, joined(mixed_rows()));
  ::chmod(path_.c_str(), 0);
  EXPECT_EQ(load_path(path_.string()), "");
  expect_error("std::system_error", "Permission denied");
  EXPECT_EQ(map_, board::brick_place_availability{});
}

// ---------------------------------------------------------------------------------------------------------

board::brick_place_availability filled(brick_placing kind) {
  board::brick_place_availability map;
  map.cells.fill(kind);
  return map;
}
// Seeds handed out in turn, so that a test can change the seed of one engine only.
board::brick_generator::seed_source seeds(std::vector<std::uint64_t> values) {
  return [values, next = std::size_t{0}]() mutable { return values[next++ % values.size()]; };
}

TEST(Generator, EmptyAndFirmCellsDrawNothing) {
  recording_log log;
  board::brick_generator generator(seeds({1, 2, 3}));
  board::brick_matrix matrix;
  const common::brick old{true, 17, true, common::make_color(0.3f, 0.3f, 0.3f)};
  matrix.cells.fill(old);
  generator.generate_new_brick_matrix(matrix, filled(NONE), log);
  for (const common::brick& b : matrix.cells) EXPECT_EQ(b, (common::brick{false, 17, true, old.color}));

  generator.generate_new_brick_matrix(matrix, filled(FIRM), log);
  for (const common::brick& b : matrix.cells)
    EXPECT_EQ(b, (common::brick{true, 0, false, common::make_color(0.1f, 0.4f, 0.6f)}));
  EXPECT_EQ(log.messages(), (std::vector{generated, generated}));

  // A destructible brick after 399 firm ones is the brick it would be after 399 empty ones: no draw between.
  board::brick_place_availability firm_then_one = filled(FIRM), empty_then_one = filled(NONE);
  firm_then_one(20, 20) = empty_then_one(20, 20) = DEST;
  board::brick_matrix a, b;
  board::brick_generator(seeds({5, 6, 7})).generate_new_brick_matrix(a, firm_then_one, log);
  board::brick_generator(seeds({5, 6, 7})).generate_new_brick_matrix(b, empty_then_one, log);
  EXPECT_EQ(a(20, 20), b(20, 20));
}

TEST(Generator, DestructibleBricksStayInTheirRanges) {
  recording_log log;
  board::brick_generator generator(seeds({11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}));
  board::brick_matrix matrix;
  std::array<int, 31> points{};
  float low[3] = {1, 1, 1}, high[3] = {0, 0, 0};
  for (int round = 0; round < 5; ++round) {
    generator.generate_new_brick_matrix(matrix, filled(DEST), log);
    for (const common::brick& b : matrix.cells) {
      ASSERT_TRUE(b.exists && b.destructible);
      ASSERT_GE(b.points, 0);
      ASSERT_LE(b.points, 30);
      ++points[static_cast<std::size_t>(b.points)];
      for (int i = 0; i < 3; ++i) {
        low[i] = std::min(low[i], b.color.items[i]);
        high[i] = std::max(high[i], b.color.items[i]);
      }
    }
  }
  for (int count : points) EXPECT_GT(count, 20);  // every value 0..30 comes up, 30 included
  EXPECT_GE(low[0], 0.25f);
  EXPECT_LE(high[0], 0.75f);
  EXPECT_LT(low[0], 0.26f);
  EXPECT_GT(high[0], 0.74f);
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(low[i], 0.25f);
    EXPECT_LE(high[i], 0.25f + 1.0f / 1.5f + 1e-6f);
    EXPECT_LT(low[i], 0.26f);
    EXPECT_GT(high[i], 0.9f);
  }
}

TEST(Generator, RandomCellsComeOutAThirdEachAndEachEngineHasItsSeed) {
  recording_log log;
  board::brick_generator generator;  // seeded from the clock
  board::brick_matrix matrix, previous;
  int empty = 0, firm = 0, destructible = 0, changed = 0;
  for (int round = 0; round < 30; ++round) {
    generator.generate_new_brick_matrix(matrix, filled(ANY), log);
    for (const common::brick& b : matrix.cells) (!b.exists ? empty : b.destructible ? destructible : firm)++;
    changed += matrix != previous;
    previous = matrix;
  }
  EXPECT_EQ(changed, 30);
  for (int count : {empty, firm, destructible}) EXPECT_NEAR(count, 4000, 300);
  EXPECT_EQ(log.size(), 30u);

  // Seeds are taken points first, then kinds, then colours: changing one changes only what it drives.
  board::brick_place_availability map = filled(ANY);
  for (int c = 1; c <= 20; ++c) map(1, c) = DEST;
  const auto generate = [&](std::vector<std::uint64_t> s) {
    board::brick_matrix m;
    board::brick_generator(seeds(std::move(s))).generate_new_brick_matrix(m, map, log);
    return m;
  };
  const board::brick_matrix base = generate({1, 2, 3});
  const auto kinds = [](const board::brick_matrix& m) {
    std::vector<int> k;
    for (const common::brick& b : m.cells) k.push_back(!b.exists ? 0 : b.destructible ? 2 : 1);
    return k;
  };
  const board::brick_matrix other_points = generate({9, 2, 3}), other_kinds = generate({1, 9, 3}),
                            other_colours = generate({1, 2, 9});
  EXPECT_EQ(kinds(other_points), kinds(base));
  EXPECT_EQ(other_points(1, 1).color, base(1, 1).color);
  EXPECT_NE(kinds(other_kinds), kinds(base));
  EXPECT_EQ(other_kinds(1, 1), base(1, 1));  // row 1 is fixed destructible: kinds do not touch it
  EXPECT_EQ(kinds(other_colours), kinds(base));
  EXPECT_NE(other_colours(1, 1).color, base(1, 1).color);
  EXPECT_EQ(other_colours(1, 1).points, base(1, 1).points);
  std::vector<std::int32_t> base_points, moved_points;
  for (int c = 1; c <= 20; ++c)
    base_points.push_back(base(1, c).points), moved_points.push_back(other_points(1, c).points);
  EXPECT_NE(base_points, moved_points);
  EXPECT_EQ(generate({1, 2, 3}), base);  // repeatable
}

TEST(Generator, FixedCellsStayAndBadPlacementsFail) {
  recording_log log;
  board::brick_place_availability map;
  board::loadpatternfromfile(map, board_path(1), log);
  board::brick_generator generator;
  board::brick_matrix first, second;
  generator.generate_new_brick_matrix(first, map, log);
  generator.generate_new_brick_matrix(second, map, log);
  int destructible_differs = 0;
  for (int r = 1; r <= 20; ++r)
    for (int c = 1; c <= 20; ++c) {
      if (map(r, c) == NONE || map(r, c) == FIRM) {
        EXPECT_EQ(first(r, c), second(r, c));
      }
      if (map(r, c) == DEST) destructible_differs += first(r, c) != second(r, c);
    }
  EXPECT_GT(destructible_differs, 0);

  common::brick brick;
  EXPECT_THROW(generator.generate_new_brick(brick, ANY), std::invalid_argument);
  map = filled(FIRM);
  map(3, 4) = static_cast<brick_placing>(7);
  board::brick_matrix matrix;
  log.clear();
  EXPECT_THROW(generator.generate_new_brick_matrix(matrix, map, log), std::out_of_range);
  EXPECT_TRUE(matrix(3, 3).exists);  // cells before the bad one hold their new bricks
  EXPECT_FALSE(matrix(3, 5).exists);
  EXPECT_EQ(log.size(), 0u);
}

// ---------------------------------------------------------------------------------------------------------

TEST(BoardCheck, ReportsEveryProblemWithItsPlace) {
  testing_support::temp_dir dir;
  std::vector<std::string> rows(20, "X DDAA          XX X");
  write_file(dir / "good.txt", joined(rows));
  rows[1][4] = 'x';
  rows[3].resize(19);
  rows[5][0] = 'D';
  rows[8][19] = ' ';
  rows.resize(15);
  write_file(dir / "bad.txt", joined(rows));
  const std::string good = (dir / "good.txt").string(), bad = (dir / "bad.txt").string();

  std::ostringstream out, err;
  EXPECT_EQ(board::check_board_file(good, out), board::board_verdict::ok);
  EXPECT_EQ(board::check_board_file(bad, out), board::board_verdict::faulty);
  EXPECT_EQ(out.str(),
            good + ": ok\n" + bad +
                ": line 2, column 5: found 'x' where ' ', 'X', 'D' or 'A' was expected (upper case only)\n" +
                bad + ": line 4, column 20: the line ends, a board line needs 20 characters\n" + bad +
                ": line 6, column 1: warning: no side wall 'X', the ball can leave the board here\n" + bad +
                ": line 9, column 20: warning: no side wall 'X', the ball can leave the board here\n" + bad +
                ": line 16, column 1: the file ends, a board needs 20 lines\n");

  // A missing wall alone loads: a warning, unless --strict.
  rows.assign(20, "X                  X");
  rows[0][19] = 'D';
  write_file(dir / "open.txt", joined(rows));
  const std::string open = (dir / "open.txt").string();
  std::vector<std::string_view> args{good, open};
  out.str("");
  EXPECT_EQ(board::board_check_main(args, out, err), 0);
  EXPECT_EQ(out.str(),
            good + ": ok\n" + open +
                ": line 1, column 20: warning: no side wall 'X', the ball can leave the board here\n");
  args.insert(args.begin(), "--strict");
  EXPECT_EQ(board::board_check_main(args, out, err), 1);

  out.str("");
  args = {good, (dir / "none.txt").string(), dir.path().string()};
  EXPECT_EQ(board::board_check_main(args, out, err), 1);
  EXPECT_NE(out.str().find("none.txt: cannot be read: No such file or directory"), std::string::npos);
  EXPECT_NE(out.str().find(dir.path().string() + ": cannot be read: Is a directory"), std::string::npos);

  EXPECT_EQ(board::board_check_main({}, out, err), 2);
  args = {"--frobnicate", good};
  EXPECT_EQ(board::board_check_main(args, out, err), 2);
  EXPECT_NE(err.str().find("usage: board_check"), std::string::npos);

  // The built tool does the same.
  const auto run = testing_support::run_command("'" TOLVARAN_BOARD_CHECK "' '" + bad + "' '" + good + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(bad + ": line 2, column 5: found 'x'"), std::string::npos);
  EXPECT_NE(run.output.find(good + ": ok"), std::string::npos);
}

// The ten boards of the game, as the tool and the loader see them, and the rules they are drawn by.
TEST(ShippedBoards, LoadCleanlyAndAreFairAndTrapFree) {
  std::string command = "'" TOLVARAN_BOARD_CHECK "' --strict";
  std::vector<board::brick_place_availability> maps;
  for (int n = 0; n <= 9; ++n) {
    SCOPED_TRACE("board " + std::to_string(n));
    command += " '" + board_path(n) + "'";
    recording_log log;
    board::brick_place_availability& map = maps.emplace_back();
    board::loadpatternfromfile(map, board_path(n), log);
    EXPECT_EQ(log.size(), 0u);
    for (int r = 1; r <= 20; ++r) {
      EXPECT_EQ(map(r, 1), FIRM);
      EXPECT_EQ(map(r, 20), FIRM);
      for (int c = 1; c <= 20; ++c) {
        EXPECT_EQ(map(r, c), map(21 - r, c)) << "row " << r << " and its mirror differ at column " << c;
        if (r == 1 && c > 1 && c < 20) {
          EXPECT_EQ(map(r, c), NONE) << "the pad rows are open";
        }
      }
    }
    // A ball turns back along y only at a brick just ahead of it in its column. When every run of firm (or
    // possibly firm) cells in a column spans the two middle rows, the faces that send a ball towards pad 2
    // lie at or above every face that sends it towards pad 1: firm bricks turn a ball back at most once
    // before it reaches a pad line. A served ball has no sideways speed and runs along columns 10 and 11,
    // where a firm brick ahead and behind would hold it for ever.
    const auto firm_between = [&](int c, int from, int to) {
      for (int r = from; r <= to; ++r)
        if (map(r, c) != FIRM) return false;
      return true;
    };
    const auto trap_free = [&](int r, int c) {
      if (c == 10 || c == 11) return map(r, c) == NONE || map(r, c) == DEST;
      if (map(r, c) == FIRM) return r <= 10 ? firm_between(c, r, 10) : firm_between(c, 11, r);
      // An 'A' may end a run anywhere, so it may only cap a firm run that spans the middle, or lie there.
      if (map(r, c) == ANY) return r <= 10 ? firm_between(c, r + 1, 10) : firm_between(c, 11, r - 1);
      return true;
    };
    for (int r = 1; r <= 20; ++r)
      for (int c = 2; c <= 19; ++c) EXPECT_TRUE(trap_free(r, c)) << "row " << r << ", column " << c;
  }
  for (int a = 0; a <= 9; ++a)
    for (int b = a + 1; b <= 9; ++b) {
      int differ = 0;
      for (std::size_t i = 0; i < maps[a].cells.size(); ++i) differ += maps[a].cells[i] != maps[b].cells[i];
      EXPECT_GT(differ, 40) << "boards " << a << " and " << b << " look alike";
    }
  const auto run = testing_support::run_command(command);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 10);
}

}  // namespace
