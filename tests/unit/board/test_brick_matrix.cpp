// Boards: the pattern loader and its reports, the brick generator, the board checker and the ten boards the
// game ships with.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "board/brick_matrix.hpp"
#include "support/game_process.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using board::brick_placing;
using testing_support::recording_log;
using testing_support::write_file;
using placement_map = board::brick_place_availability;

constexpr brick_placing NONE = brick_placing::PLACE_NONE;
constexpr brick_placing FIRM = brick_placing::PLACE_INDESTRUCTIBLE;
constexpr brick_placing DEST = brick_placing::PLACE_ONLY_DESTROYABLE;
constexpr brick_placing ANY = brick_placing::PLACE_ANY_KIND;

std::string board_path(int n) {
  return std::string(TOLVARAN_SOURCE_DIR) + "/boards/" + testing_support::board_file(n);
}

// A pattern with all four characters everywhere, so that a misplaced cell shows.
std::vector<std::string> mixed_rows() {
  std::vector<std::string> rows(20);
  for (int r = 0; r < 20; ++r)
    for (int c = 0; c < 20; ++c) rows[r] += " XDA"[(r * 7 + c * 3) % 4];
  return rows;
}
std::string joined(const std::vector<std::string>& rows, const std::string& end = "\n") {
  std::string text;
  for (const std::string& row : rows) text += row + end;
  return text;
}
// The map that `rows` describe, read up to (not including) row `stop_row`, column `stop_column`.
placement_map map_of(const std::vector<std::string>& rows, int stop_row = 21, int stop_column = 1) {
  placement_map map;
  for (int r = 1; r <= 20; ++r)
    for (int c = 1; c <= 20 && (r < stop_row || (r == stop_row && c < stop_column)); ++c)
      map(r, c) = static_cast<brick_placing>(std::string(" XDA").find(rows[r - 1][c - 1]));
  return map;
}
placement_map filled(brick_placing kind) {
  placement_map map;
  map.cells.fill(kind);
  return map;
}

class Loader : public testing::Test {
 protected:
  // Loads `bytes` as a pattern file into a map that held firm bricks everywhere; returns standard output.
  std::string load(const std::string& bytes, std::string path = "") {
    if (path.empty()) write_file(path = (dir_ / "board (3).txt").string(), bytes);
    map_ = filled(FIRM);
    log_.clear();
    testing::internal::CaptureStdout();
    board::loadpatternfromfile(map_, path, log_);
    return testing::internal::GetCapturedStdout();
  }
  void expect_error(const std::string& name, const std::string& where) {
    ASSERT_EQ(log_.size(), 1u);
    const recording_log::entry entry = log_.entries()[0];
    EXPECT_EQ(entry.kind, runtime_log::rodzaj_wpisu::ERROR);
    const std::string start = "Nastapil wyjatek w module symulacji fizyki, nazwa: " + name + " jego opis: ";
    EXPECT_TRUE(entry.message.starts_with(start)) << entry.message;
    EXPECT_NE(entry.message.find(where), std::string::npos) << entry.message;
  }

  testing_support::temp_dir dir_;
  placement_map map_;
  recording_log log_;
};

TEST_F(Loader, GoodFilesLoadWithoutAWord) {
  const std::vector<std::string> rows = mixed_rows();
  std::vector<std::string> long_rows = rows;
  for (std::string& row : long_rows) row += "x\t9 comment";
  long_rows[2] += std::string(1 << 20, 'q');
  // LF or CR LF ends; whatever follows column 20 (a huge line too) and line 20 is never looked at; the
  // last line may have no end at all.
  for (const std::string& text :
       {joined(rows), joined(long_rows, "\r\n") + "line 21 \t\n" + std::string(99, '\0'),
        joined(rows, "\r\n").substr(0, 22 * 20 - 2)}) {
    EXPECT_EQ(load(text), "");
    EXPECT_EQ(map_, map_of(rows));
    EXPECT_EQ(log_.size(), 0u);
  }
}

// Serves `text`, then fails every read from byte `fail_at` on, as a disk with a bad sector does.
class failing_buffer final : public std::streambuf {
 public:
  failing_buffer(std::string text, std::size_t fail_at) : text_(std::move(text)), fail_at_(fail_at) {
    setg(text_.data(), text_.data(), text_.data() + std::min(fail_at_, text_.size()));
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (fail_at_ < text_.size())
      throw std::ios_base::failure("read", std::make_error_code(std::errc::io_error));
    return traits_type::eof();
  }

 public:
  std::size_t bytes_read() const { return std::size_t(gptr() - eback()); }

 private:
  std::string text_;
  std::size_t fail_at_;
};

TEST_F(Loader, EveryDamageKeepsTheCellsReadBeforeItAndNoMore) {
  // Each file is `mixed_rows` damaged once; the game reads it no further than its first fault, keeps the
  // cells before it, and names the fault.
  struct damage {
    const char* what;
    std::function<void(std::vector<std::string>&)> damage;
    std::string line_end;
    std::size_t fail_at;  // a read error from this byte on; npos: none
    int row, column;      // the fault
    std::string failure, notice;
  };
  const auto wrong = [](char c, int row, int column) {
    return [=](std::vector<std::string>& rows) {
      rows[row - 1][column - 1] = c;
      rows[row - 1] += "more";  // so that a CR does not end the line: it is a character like any other
    };
  };
  const std::string damaged = "board::damaged_pattern", notice = "Plik Uszkodzony\n";
  const std::vector<damage> damages{
      {"a lower-case x", wrong('x', 1, 1), "\n", std::string::npos, 1, 1, damaged, notice},
      {"a tab", wrong('\t', 7, 13), "\n", std::string::npos, 7, 13, damaged, notice},
      {"a digit", wrong('5', 20, 20), "\n", std::string::npos, 20, 20, damaged, notice},
      {"a carriage return inside a line", wrong('\r', 4, 20), "\n", std::string::npos, 4, 20, damaged,
       notice},
      {"then a megabyte", [](auto& rows) { rows[2][4] = 'x', rows.push_back(std::string(1 << 20, 'q')); },
       "\n", std::string::npos, 3, 5, damaged, notice},
      {"no line 20", [](auto& rows) { rows.pop_back(); }, "\n", std::string::npos, 20, 1,
       "board::end_of_pattern_file", ""},
      {"19 characters and CR LF", [](auto& rows) { rows[6].pop_back(); }, "\r\n", std::string::npos, 7, 20,
       "std::out_of_range", ""},
      {"nothing at all", [](auto& rows) { rows.clear(); }, "\n", std::string::npos, 1, 1,
       "board::end_of_pattern_file", ""},
      {"a read error in line 6", [](auto&) {}, "\n", 5 * 21 + 8, 6, 9, "board::unreadable_pattern", ""},
      {"a read error at once that the stream only marks", [](auto&) {}, "\n", 0, 1, 1,
       "board::unreadable_pattern", ""},
  };
  for (const damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<std::string> rows = mixed_rows();
    d.damage(rows);
    failing_buffer disk(joined(rows, d.line_end), d.fail_at);
    std::istream file(&disk);
    if (!std::string_view(d.what).ends_with("only marks")) file.exceptions(std::ios::badbit);
    map_ = filled(FIRM);
    log_.clear();
    testing::internal::CaptureStdout();
    board::loadpatternfromfile(map_, file, "boards/board (3).txt", log_);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), d.notice);
    EXPECT_EQ(map_, map_of(rows, d.row, d.column));
    expect_error(d.failure, "boards/board (3).txt: line " + std::to_string(d.row) + ", column " +
                                std::to_string(d.column) + ": ");
    if (d.failure == "board::unreadable_pattern") {
      EXPECT_TRUE(log_.messages()[0].ends_with(": the file cannot be read: Input/output error"));
    }
    // Read no further than the line of the fault: never into a megabyte after it.
    const std::vector<std::string> up_to_fault(rows.begin(),
                                               rows.begin() + std::min<std::size_t>(d.row, rows.size()));
    EXPECT_LE(disk.bytes_read(), joined(up_to_fault, d.line_end).size());
  }

  // The checker reads on past a fault to report every problem; the game's reading ends at the first.
  std::string text = joined(mixed_rows());
  text[2 * 21 + 4] = 'x';
  text[7 * 21] = 'd';
  const auto faults = [&](board::pattern_scan scan) {
    std::istringstream in(text);
    std::vector<std::pair<int, int>> found;
    for (const board::pattern_problem& p : board::read_pattern(in, scan).problems)
      if (p.is_fault()) found.emplace_back(p.line, p.column);
    return found;
  };
  EXPECT_EQ(faults(board::pattern_scan::all_lines), (std::vector<std::pair<int, int>>{{3, 5}, {8, 1}}));
  EXPECT_EQ(faults(board::pattern_scan::to_first_fault), (std::vector<std::pair<int, int>>{{3, 5}}));

  // Only the four characters themselves are cells: not their neighbours, nor their other case.
  for (const char c : std::string("!YEBxda")) {
    text = joined(mixed_rows());
    text[5] = c;
    EXPECT_EQ(faults(board::pattern_scan::to_first_fault), (std::vector<std::pair<int, int>>{{1, 6}})) << c;
    std::istringstream in(text);
    EXPECT_EQ(board::read_pattern(in, board::pattern_scan::all_lines).cells_read, 5) << c;  // those before it
  }
  // Only LF, CR LF and a CR at the very end end a line: the codes next to them are wrong characters in it.
  for (const std::string end : {"\x0b\n", "\x0e\n", "\r\x0b\n"}) {
    text = joined(mixed_rows());
    text.replace(19, 2, end);  // column 20 and the line's LF
    std::istringstream in(text);
    const board::pattern_reading reading = board::read_pattern(in, board::pattern_scan::to_first_fault);
    ASSERT_NE(reading.first_fault(), nullptr);
    EXPECT_EQ(reading.first_fault()->what, board::pattern_problem::kind::wrong_character);
    EXPECT_EQ(reading.first_fault()->column, 20);
  }
}

// Runs `work` in a child process that, when the tests run as root, has become the unprivileged user nobody
// (permissions do not stop root), and returns the lines it produced. A child that hangs is stopped.
std::vector<std::string> as_unprivileged_user(const std::function<std::vector<std::string>()>& work) {
  int report[2];
  if (::pipe(report) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(30);
    constexpr uid_t nobody = 65534;
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
      ::_exit(2);
    std::string out;
    for (const std::string& line : work()) out += line + '\n';
    ::_exit(::write(report[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 3);
  }
  ::close(report[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, std::size_t(got));
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return {"the child failed with status " + std::to_string(status)};
  return testing_support::lines_of(out);
}

TEST_F(Loader, EveryRefusalOfAPathAndItsMessage) {
  const std::string dir = dir_.path().string();
  ::chmod(dir.c_str(), 0755);  // nobody may look inside, except where a test says otherwise
  write_file(dir_ / "file.txt", joined(mixed_rows()));
  write_file(dir_ / "locked.txt", joined(mixed_rows()));
  ::chmod((dir_ / "locked.txt").c_str(), 0);
  write_file(dir_ / "closed/board (1).txt", joined(mixed_rows()));
  ::chmod((dir_ / "closed").c_str(), 0);
  std::filesystem::create_directories(dir_ / "folder.txt");
  ::mkfifo((dir_ / "pipe.txt").c_str(), 0644);
  write_file(dir_ / "empty.txt", "");

  const std::string error = std::string(board::loader_error_prefix);
  struct refusal {
    const char* what;
    std::string path;
    std::string logged;  // "W " a warning, "E " an error; the map is cleared in every case
  };
  const std::vector<refusal> refusals{
      {"a missing file", dir + "/board (5).txt", "W Wybrany plik:\"" + dir + "/board (5).txt\" nie isnieje"},
      {"a missing folder", dir + "/none/board.txt",
       "W Wybrany plik:\"" + dir + "/none/board.txt\" nie isnieje"},
      {"a path through a file", dir + "/file.txt/x", "W Wybrany plik:\"" + dir + "/file.txt/x\" nie isnieje"},
      {"a folder", dir + "/folder.txt",
       "E " + error + "std::system_error jego opis: cannot open " + dir + "/folder.txt: Is a directory"},
      {"a pipe, which would hold the board lock for ever", dir + "/pipe.txt",
       "E " + error + "std::system_error jego opis: cannot open " + dir +
           "/pipe.txt, not a regular file: Invalid argument"},
      {"a device", "/dev/null",
       "E " + error +
           "std::system_error jego opis: cannot open /dev/null, not a regular file: Invalid argument"},
      {"a file nobody may read", dir + "/locked.txt",
       "E " + error + "std::system_error jego opis: cannot open " + dir + "/locked.txt: Permission denied"},
      {"a file in a folder nobody may look into: not missing", dir + "/closed/board (1).txt",
       "E " + error + "std::system_error jego opis: cannot open " + dir +
           "/closed/board (1).txt: Permission denied"},
      {"an empty file", dir + "/empty.txt",
       "E " + error + "board::end_of_pattern_file jego opis: " + dir +
           "/empty.txt: line 1, column 1: the file ends, a board needs 20 lines"},
  };
  const std::vector<std::string> seen = as_unprivileged_user([&] {
    std::vector<std::string> lines;
    for (const refusal& r : refusals) {
      placement_map map = filled(FIRM);
      recording_log log;
      std::ostringstream console;
      board::loadpatternfromfile(map, r.path, log, console);
      std::string line = map != placement_map{} ? "map not cleared" : log.size() != 1 ? "not one report" : "";
      if (line.empty())
        line =
            (log.entries()[0].kind == runtime_log::rodzaj_wpisu::WARNING ? "W " : "E ") + log.messages()[0];
      lines.push_back(line + console.str());
    }
    return lines;
  });
  ASSERT_EQ(seen.size(), refusals.size()) << (seen.empty() ? "" : seen[0]);
  for (std::size_t i = 0; i < refusals.size(); ++i)
    EXPECT_EQ(seen[i], refusals[i].logged) << refusals[i].what;
}

// ---------------------------------------------------------------------------------------------------------

// Seeds handed out in turn, so that a test can change the seed of one engine only.
board::brick_generator::seed_source seeds(std::vector<std::uint64_t> values) {
  return [values, next = std::size_t{0}]() mutable { return values[next++ % values.size()]; };
}
board::brick_matrix generate(const placement_map& map, std::vector<std::uint64_t> s) {
  recording_log log;
  board::brick_matrix matrix;
  board::brick_generator(seeds(std::move(s))).generate_new_brick_matrix(matrix, map, log);
  return matrix;
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
    EXPECT_EQ(b, (common::brick{true, 0, false, board::indestructible_color}));
  const std::string generated = "Wygenerowano Plansze losowych klockow";
  EXPECT_EQ(log.messages(), (std::vector{generated, generated}));

  // A destructible brick after 399 firm ones is the brick it would be after 399 empty ones: no draw between.
  placement_map firm_then_one = filled(FIRM), empty_then_one = filled(NONE);
  firm_then_one(20, 20) = empty_then_one(20, 20) = DEST;
  EXPECT_EQ(generate(firm_then_one, {5, 6, 7})(20, 20), generate(empty_then_one, {5, 6, 7})(20, 20));
}

TEST(Generator, DestructibleBricksStayInTheirRanges) {
  std::vector<int> points(31);
  std::array<float, 3> low{1, 1, 1}, high{0, 0, 0};
  int alike = 0;  // bricks with two channels from the same draw
  for (std::uint64_t round = 0; round < 5; ++round)
    for (const common::brick& b : generate(filled(DEST), {round, round + 10, round + 20}).cells) {
      ASSERT_TRUE(b.exists && b.destructible && b.points >= 0 && b.points <= 30) << b.points;
      ++points[b.points];
      for (int i = 0; i < 3; ++i)
        low[i] = std::min(low[i], b.color.items[i]), high[i] = std::max(high[i], b.color.items[i]);
      const float r = (b.color.items[0] - 0.25f) * 2.0f, g = (b.color.items[1] - 0.25f) * 1.5f,
                  bl = (b.color.items[2] - 0.25f) * 1.5f;
      alike += std::fabs(r - g) < 1e-4f || std::fabs(r - bl) < 1e-4f || std::fabs(g - bl) < 1e-4f;
    }
  for (int count : points) EXPECT_GT(count, 20);  // every value 0..30 comes up, 30 included
  EXPECT_LT(alike, 20);                           // each channel has a draw of its own
  // R within 0.25 .. 0.75, G and B within 0.25 .. 0.25 + 1 / 1.5, each nearly reaching both ends.
  for (int i = 0; i < 3; ++i) {
    const float top = i == 0 ? 0.75f : 0.25f + 1.0f / 1.5f;
    EXPECT_GE(low[i], 0.25f);
    EXPECT_LT(low[i], 0.252f);
    EXPECT_LE(high[i], top);
    EXPECT_GT(high[i], top - 0.002f);  // 2000 bricks come within a thousandth of each end
  }
}

TEST(Generator, RandomCellsComeOutAThirdEachFromFreshSeeds) {
  recording_log log;
  board::brick_generator generator;  // seeded from the clock
  board::brick_matrix matrix, previous;
  int kinds[3] = {}, changed = 0;
  for (int round = 0; round < 30; ++round) {
    generator.generate_new_brick_matrix(matrix, filled(ANY), log);
    for (const common::brick& b : matrix.cells) ++kinds[!b.exists ? 0 : b.destructible ? 2 : 1];
    changed += matrix != previous;
    previous = matrix;
  }
  EXPECT_EQ(changed, 30);
  for (int count : kinds) EXPECT_NEAR(count, 4000, 300);
  EXPECT_EQ(log.size(), 30u);

  // Seeds are taken points first, then kinds, then colours: changing one changes only what it drives. Row 1
  // is fixed destructible, so its points and colours are drawn before any kind.
  placement_map map = filled(ANY);
  for (int c = 1; c <= 20; ++c) map(1, c) = DEST;
  const auto parts = [&](std::vector<std::uint64_t> s) {
    const board::brick_matrix m = generate(map, std::move(s));
    std::array<std::vector<float>, 3> p;  // points of row 1, kinds of all cells, red of row 1
    for (int i = 0; i < 400; ++i) p[1].push_back(!m.cells[i].exists ? 0 : m.cells[i].destructible ? 2 : 1);
    for (int c = 1; c <= 20; ++c) p[0].push_back(m(1, c).points), p[2].push_back(m(1, c).color.items[0]);
    return p;
  };
  const auto base = parts({1, 2, 3});
  EXPECT_EQ(parts({1, 2, 3}), base);  // repeatable
  for (std::size_t which = 0; which < 3; ++which) {
    std::vector<std::uint64_t> s{1, 2, 3};
    s[which] = 9;
    const auto changed = parts(s);
    for (std::size_t part = 0; part < 3; ++part)
      EXPECT_EQ(changed[part] != base[part], part == which) << which << part;
  }
}

TEST(Generator, FixedCellsStayAndBadPlacementsFail) {
  recording_log log;
  placement_map map;
  board::loadpatternfromfile(map, board_path(1), log);
  const board::brick_matrix first = generate(map, {1, 2, 3}), second = generate(map, {4, 5, 6});
  int destructible_differ = 0;
  for (int r = 1; r <= 20; ++r)
    for (int c = 1; c <= 20; ++c) {
      if (map(r, c) != DEST) {
        EXPECT_EQ(first(r, c), second(r, c)) << r << ", " << c;
      }
      destructible_differ += map(r, c) == DEST && first(r, c) != second(r, c);
    }
  EXPECT_GT(destructible_differ, 0);

  board::brick_generator generator;
  common::brick brick;
  EXPECT_THROW(generator.generate_new_brick(brick, ANY), std::invalid_argument);
  map = filled(FIRM);
  map(3, 4) = static_cast<brick_placing>(7);
  board::brick_matrix matrix;
  log.clear();
  try {
    generator.generate_new_brick_matrix(matrix, map, log);
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "map cell (row 3, column 4) holds no placement");
  }
  EXPECT_TRUE(matrix(3, 3).exists);  // cells before the bad one hold their new bricks
  EXPECT_FALSE(matrix(3, 5).exists);
  EXPECT_EQ(log.size(), 0u);
}

// ---------------------------------------------------------------------------------------------------------

TEST(BoardCheck, NamesEveryProblemAsAPersonReadsIt) {
  using kind = board::pattern_problem::kind;
  struct wrong {
    unsigned char c;
    std::string shown;
  };
  const std::string upper = " (upper case only)";
  for (const auto& [c, shown] : {wrong{'\t', "a tab"},
                                 {'\r', "a carriage return"},
                                 {0x00, "byte 0x00"},
                                 {0x1f, "byte 0x1F"},
                                 {'!', "'!'"},
                                 {'~', "'~'"},
                                 {0x7f, "byte 0x7F"},
                                 {0x9c, "byte 0x9C"},
                                 {0xff, "byte 0xFF"},
                                 {'x', "'x'" + upper},
                                 {'d', "'d'" + upper},
                                 {'a', "'a'" + upper},
                                 {'b', "'b'"},
                                 {'y', "'y'"},
                                 {'e', "'e'"},
                                 {'\n', "byte 0x0A"},
                                 {0x0e, "byte 0x0E"},
                                 {'5', "'5'"}}) {
    const std::string text = board::describe({kind::wrong_character, 3, 7, c});
    const std::size_t hint = shown.find(upper);
    EXPECT_EQ(text, "line 3, column 7: found " + shown.substr(0, hint) +
                        " where ' ', 'X', 'D' or 'A' was expected" +
                        (hint == std::string::npos ? "" : upper));
  }
  EXPECT_EQ(board::describe({kind::unreadable, 6, 9, 0, std::make_error_code(std::errc::io_error)}),
            "line 6, column 9: the file cannot be read: Input/output error");
  EXPECT_EQ(board::describe({kind::too_few_lines, 16, 1}),
            "line 16, column 1: the file ends, a board needs 20 lines");
  EXPECT_EQ(board::describe({kind::short_line, 4, 20}),
            "line 4, column 20: the line ends, a board line needs 20 characters");
  const std::string pinned =
      " a firm brick right before a pad, where it pins a returned ball against the pad";
  EXPECT_EQ(board::describe({kind::pinning_brick, 2, 5, 'X'}), "line 2, column 5: warning: 'X' is" + pinned);
  EXPECT_EQ(board::describe({kind::pinning_brick, 19, 9, 'A'}),
            "line 19, column 9: warning: 'A' can be" + pinned);
}

TEST(BoardCheck, ReportsEveryProblemWithItsPlace) {
  testing_support::temp_dir dir;
  const std::string good = (dir / "good.txt").string(), bad = (dir / "bad.txt").string(),
                    open = (dir / "open.txt").string();
  std::vector<std::string> rows(20, "X DDAA          XX X");
  rows[1] = rows[18] = "X DD            D  X";  // nothing firm right before a pad
  write_file(good, joined(rows));
  rows[1][4] = 'x';
  rows[3].resize(19);
  rows[5][0] = 'D';
  rows.resize(15);
  write_file(bad, joined(rows));
  rows.assign(20, "X                  X");
  rows[8][19] = ' ';
  rows[18][9] = 'A';
  rows[1][1] = rows[1][18] = 'X';  // the first and last columns between the walls
  write_file(open, joined(rows));

  std::ostringstream out, err;
  EXPECT_EQ(board::check_board_file(good, out), board::board_verdict::ok);
  EXPECT_EQ(board::check_board_file(bad, out), board::board_verdict::faulty);
  EXPECT_EQ(board::check_board_file(open, out), board::board_verdict::warnings_only);
  const std::string no_wall = ": warning: no side wall 'X', the ball can leave the board here\n";
  const std::string pinned =
      " a firm brick right before a pad, where it pins a returned ball against the pad\n";
  EXPECT_EQ(out.str(),
            good + ": ok\n" + bad + ": line 2, column 5: found 'x' where ' ', 'X', 'D' or 'A' was " +
                "expected (upper case only)\n" + bad +
                ": line 4, column 20: the line ends, a board line needs 20 characters\n" + bad +
                ": line 6, column 1" + no_wall + bad + ": line 16, column 1: the file ends, a board " +
                "needs 20 lines\n" + open + ": line 2, column 2: warning: 'X' is" + pinned + open +
                ": line 2, column 19: warning: 'X' is" + pinned + open + ": line 9, column 20" + no_wall +
                open + ": line 19, column 10: warning: 'A' can be" + pinned);

  // Exit status: 0 with warnings alone, 1 with them under --strict or with any fault, 2 for bad usage; the
  // help on standard output, every complaint about the command line on standard error.
  testing_support::scoped_cwd in_dir(dir.path());
  struct command_line {
    std::vector<std::string_view> arguments;
    int status;
    std::string out, err;  // the start of what each stream shows
  };
  const std::string usage(board::board_check_usage);
  for (const auto& [arguments, status, shown, complained] : {
           command_line{{"good.txt", "open.txt"}, 0, "good.txt: ok\n", ""},
           command_line{{"--strict", "good.txt", "open.txt"}, 1, "good.txt: ok\n", ""},
           command_line{
               {"good.txt", "none.txt"}, 1, "good.txt: ok\nnone.txt: cannot be read: No such file", ""},
           command_line{{"."}, 1, ".: cannot be read: Is a directory", ""},
           command_line{{"-"}, 1, "-: cannot be read: No such file", ""},    // a file named "-"
           command_line{{".x"}, 1, ".x: cannot be read: No such file", ""},  // only a '-' starts an option
           command_line{{"--", "--strict"}, 1, "--strict: cannot be read", ""},
           command_line{{"--help", "none.txt"}, 0, usage, ""},
           command_line{{"-h"}, 0, usage, ""},
           command_line{{}, 2, "", "board_check: no file to check\n\n" + usage},
           command_line{{"--strict"}, 2, "", "board_check: no file to check\n\n" + usage},
           command_line{{"-x", "good.txt"}, 2, "", "board_check: unknown option -x\n\n" + usage},
           command_line{{"--frobnicate", "good.txt"}, 2, "", "board_check: unknown option --frobnicate\n"},
       }) {
    std::ostringstream shown_out, shown_err;
    EXPECT_EQ(board::board_check_main(arguments, shown_out, shown_err), status)
        << testing::PrintToString(arguments);
    EXPECT_TRUE(shown_out.str().starts_with(shown)) << shown_out.str();
    EXPECT_EQ(shown_err.str().substr(0, complained.size()), complained);
    EXPECT_EQ(shown_err.str().empty(), complained.empty());
  }

  const auto run = testing_support::run_command("'" TOLVARAN_BOARD_CHECK "' '" + bad + "' '" + good + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(bad + ": line 2, column 5: found 'x'"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(good + ": ok"), std::string::npos);
}

// The ten boards of the game, as the tool and the loader see them, and the rules they are drawn by.
TEST(ShippedBoards, LoadCleanlyAndAreFairAndTrapFree) {
  std::string command = "'" TOLVARAN_BOARD_CHECK "' --strict";
  std::vector<placement_map> maps(10);
  for (int n = 0; n <= 9; ++n) {
    SCOPED_TRACE("board " + std::to_string(n));
    command += " '" + board_path(n) + "'";
    recording_log log;
    const placement_map& map = maps[n];
    board::loadpatternfromfile(maps[n], board_path(n), log);
    EXPECT_EQ(log.size(), 0u);
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
      if (c == 1 || c == 20) return map(r, c) == FIRM;
      if (r == 1 || r == 20 || c == 10 || c == 11)
        return map(r, c) == NONE || (r != 1 && r != 20 && map(r, c) == DEST);
      if (map(r, c) == FIRM) return r <= 10 ? firm_between(c, r, 10) : firm_between(c, 11, r);
      // An 'A' may end a run anywhere, so it may only cap a firm run that spans the middle, or lie there.
      if (map(r, c) == ANY) return r <= 10 ? firm_between(c, r + 1, 10) : firm_between(c, 11, r - 1);
      return true;
    };
    for (int r = 1; r <= 20; ++r)
      for (int c = 1; c <= 20; ++c) {
        EXPECT_TRUE(trap_free(r, c)) << "row " << r << ", column " << c;
        EXPECT_EQ(map(r, c), map(21 - r, c)) << "row " << r << " is not the mirror of its partner";
      }
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
