// Boards: reading a board pattern file into a placement map, and building a fresh brick matrix from it with
// random kinds, points and colours.
//
// A pattern file has 20 lines of 20 characters; line r is row r of the board (row 1 next to the red
// player's pad), character c is column c (column 1 at the smallest x):
//   ' ' no brick   'X' an indestructible brick   'D' a destructible brick   'A' any of the three, at random
// Lines end at LF or CR LF. What follows column 20 and line 20 is never looked at.
//
// Thread use: the loader and the generator run inside the board monitor's reset, under its lock, on the
// thread that resets the board; the generator's random engines are used by nobody else. The parser is plain
// code, shared by the game, the board checker and the fuzzer; the checker is plain code too.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <iostream>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/common_data.hpp"
#include "common/seams.hpp"
#include "log/runtime_log.hpp"

namespace board {

enum class brick_placing : std::uint8_t {
  PLACE_NONE,
  PLACE_INDESTRUCTIBLE,
  PLACE_ONLY_DESTROYABLE,
  PLACE_ANY_KIND
};

// A 20 x 20 matrix indexed (row, column), both 1..20, stored row by row.
template <class Cell>
struct board_matrix {
  static constexpr int side = common::rozmiar_planszy;

  std::array<Cell, side * side> cells{};

  static constexpr bool on_board(int row, int column) {
    return row >= 1 && row <= side && column >= 1 && column <= side;
  }
  // Unchecked: callers pass cells they have checked.
  Cell& operator()(int row, int column) { return cells[index(row, column)]; }
  const Cell& operator()(int row, int column) const { return cells[index(row, column)]; }
  // Checked: a row or column outside 1..20 is an out_of_range error.
  Cell& at(int row, int column) { return cells.at(checked_index(row, column)); }
  const Cell& at(int row, int column) const { return cells.at(checked_index(row, column)); }

  friend bool operator==(const board_matrix&, const board_matrix&) = default;

 private:
  static constexpr std::size_t index(int row, int column) {
    return static_cast<std::size_t>((row - 1) * side + (column - 1));
  }
  static std::size_t checked_index(int row, int column) {
    if (!on_board(row, column))
      throw std::out_of_range("cell (row " + std::to_string(row) + ", column " + std::to_string(column) +
                              ") is off the board");
    return index(row, column);
  }
};

using brick_matrix = board_matrix<common::brick>;
using brick_place_availability = board_matrix<brick_placing>;

// ---------------------------------------------------------------------------------------------------------
// Pattern files

// One thing wrong with a pattern, at a line and column counted from 1.
struct pattern_problem {
  enum class kind : std::uint8_t {
    too_few_lines,    // the file ends before line 20; line = the first missing line, column = 1
    short_line,       // the line has fewer than 20 characters; column = the first missing one
    wrong_character,  // found where ' ', 'X', 'D' or 'A' was expected
    unreadable,       // reading the file failed here (an I/O error); `reason` tells why
    missing_wall,     // a warning: no 'X' in column 1 or 20, so the ball can leave the board there
    // A warning: 'X' or 'A' (which may come out firm) in row 2 or 19, columns 2..19. A ball returned by
    // a pad meets a firm brick there at once and is turned straight back onto the pad, again and again,
    // gaining speed at every return until it slips out sideways.
    pinning_brick,
  };
  kind what;
  int line;
  int column;
  unsigned char found = 0;   // the wrong character, or the 'X' or 'A' that can pin the ball
  std::error_code reason{};  // why an unreadable file could not be read

  bool is_fault() const { return what != kind::missing_wall && what != kind::pinning_brick; }
  friend bool operator==(const pattern_problem&, const pattern_problem&) = default;
};

// A problem as a person reads it: "line 3, column 7: found 'x' where ' ', 'X', 'D' or 'A' was expected".
std::string describe(const pattern_problem& problem);

struct pattern_reading {
  // PLACE_NONE everywhere the reading did not reach: cells are written in reading order up to the first
  // fault.
  brick_place_availability map;
  int cells_read = 0;
  // The faults and warnings found, in reading order.
  std::vector<pattern_problem> problems;

  const pattern_problem* first_fault() const;
};

// How far a reading goes. The game stops at the first fault: it reads while holding the board lock, and
// a damaged file may go on with huge lines. The board checker reads all 20 lines to report every problem.
enum class pattern_scan : std::uint8_t { to_first_fault, all_lines };

// Reads the first 20 lines of a pattern. A line ends at LF; a CR just before the LF (or at the very end of
// the input) belongs to the line's end. Only the first 20 characters of a line are kept, the rest is
// skipped, so a huge line costs no memory. A stream that fails part way (badbit, or a thrown
// std::ios_base::failure) is an `unreadable` fault at the place where it failed; the cells read before it
// are kept.
pattern_reading read_pattern(std::istream& in, pattern_scan scan = pattern_scan::all_lines);

// Opens the pattern file at `path` for reading. Throws std::system_error when the path is not a regular
// file (a directory, a device, a pipe: any of those could stall or exhaust the game) or cannot be opened.
std::ifstream open_pattern_file(const std::string& path);

inline constexpr std::string_view loader_error_prefix = "Nastapil wyjatek w module symulacji fizyki, nazwa: ";
inline constexpr std::string_view damaged_file_notice = "Plik Uszkodzony";

// The failures the loader reports for a damaged file.
class end_of_pattern_file : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class damaged_pattern : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class unreadable_pattern : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fills `map` from the pattern file at `path`, reading no further than its first fault. Never throws: a
// missing file is a warning in the log, a file that cannot be opened, read or is damaged an error in the
// log (a wrong character also prints "Plik Uszkodzony" on `console`). The map is cleared to PLACE_NONE
// first, so every cell always holds a placement; cells read before a fault keep what was read.
void loadpatternfromfile(brick_place_availability& map, const std::string& path, runtime_log::sink& log,
                         std::ostream& console = std::cout);
// The same for a pattern file already open as `in`; `path` names it in the reports.
void loadpatternfromfile(brick_place_availability& map, std::istream& in, const std::string& path,
                         runtime_log::sink& log, std::ostream& console = std::cout);

// ---------------------------------------------------------------------------------------------------------
// Generation

// Makes bricks. Its three random engines are re-seeded at every generation, points first, then kinds, then
// colours, each with a fresh value of the seed source (by default time-dependent; tests give fixed seeds).
class brick_generator {
 public:
  using seed_source = std::function<std::uint64_t()>;

  explicit brick_generator(seed_source seeds = common::clock_seed);

  // PLACE_NONE, PLACE_INDESTRUCTIBLE or PLACE_ONLY_DESTROYABLE; PLACE_ANY_KIND (resolved by the caller) or
  // anything else is an invalid_argument error.
  void generate_new_brick(common::brick& brick, brick_placing kind);

  // Rebuilds every cell of `matrix` from `map`, row by row, and logs "Wygenerowano Plansze losowych
  // klockow". A map cell that holds no placement is an out_of_range error; the cells before it keep their
  // new bricks.
  void generate_new_brick_matrix(brick_matrix& matrix, const brick_place_availability& map,
                                 runtime_log::sink& log);

 private:
  brick_placing draw_kind();
  float draw_float();

  seed_source seeds_;
  std::mt19937_64 firm_brick_gen_;  // PLACE_NONE, PLACE_INDESTRUCTIBLE, PLACE_ONLY_DESTROYABLE, 1/3 each
  std::mt19937_64 points_gen_;      // 0..30
  std::mt19937_64 float_gen_;       // 0.0 .. 1.0
};

inline constexpr common::color_type indestructible_color = common::make_color(0.1f, 0.4f, 0.6f);

// ---------------------------------------------------------------------------------------------------------
// The board checker, for people who write their own boards: whether the game will read a pattern file as
// meant, and if not, where and why.  `board_check [--strict] FILE...`

enum class board_verdict {
  ok,             // the board loads as written and has its side walls
  warnings_only,  // it loads as written, but the ball can leave it sideways or be pinned before a pad
  faulty,         // the game cannot load it fully (or cannot open it)
};

// Checks one file and writes its report to `out`: "FILE: ok", or one line per problem,
// "FILE: line L, column C: ...".
board_verdict check_board_file(const std::string& path, std::ostream& out);

// The whole tool: `arguments` without the program's name; returns the exit status (see the usage text).
int board_check_main(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err);

// What `board_check --help` prints.
extern const std::string_view board_check_usage;

}  // namespace board
