// Fuzzes the board pattern reader, the loader, the generator and the checker with arbitrary file contents,
// and checks on every input what the game relies on:
//   - every cell of the map holds a placement;
//   - the cells written are exactly those read before the first fault (compared with a plain line-by-line
//     reading of the same bytes), and every problem, the first fault included, is at the right line and
//     column;
//   - the game's reading stops at the first fault with the same cells and problems up to it;
//   - the loader, reading the bytes as a file, leaves the same map and reports the first fault once (with
//     "Plik Uszkodzony" for a wrong character), and nothing for a good file;
//   - the generator makes from that map bricks of the kinds it asks for;
//   - the checker's verdict agrees.
// Built only with -DTOLVARAN_FUZZ=ON and clang++ (tools/fuzz.sh).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "board/brick_matrix.hpp"
#include "support/recording_log.hpp"

namespace {

using board::brick_placing;
using board::pattern_problem;
using problem_kind = board::pattern_problem::kind;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "board_fuzz: invariant broken: %s\n", what);
  std::abort();
}
void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

std::optional<brick_placing> placing_of(char c) {
  switch (c) {
    case ' ':
      return brick_placing::PLACE_NONE;
    case 'X':
      return brick_placing::PLACE_INDESTRUCTIBLE;
    case 'D':
      return brick_placing::PLACE_ONLY_DESTROYABLE;
    case 'A':
      return brick_placing::PLACE_ANY_KIND;
    default:
      return std::nullopt;
  }
}

// The same reading done the plain way: split the whole text at LF, drop one CR that ends a piece.
board::pattern_reading reference_reading(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  board::pattern_reading expected;
  bool faulted = false;
  for (int row = 1; row <= 20; ++row) {
    if (row > static_cast<int>(lines.size())) {
      expected.problems.push_back({problem_kind::too_few_lines, row, 1});
      break;
    }
    const std::string_view line = lines[static_cast<std::size_t>(row - 1)];
    for (int column = 1; column <= 20 && column <= static_cast<int>(line.size()); ++column) {
      const char c = line[static_cast<std::size_t>(column - 1)];
      const std::optional<brick_placing> placing = placing_of(c);
      if (!placing) {
        expected.problems.push_back(
            {problem_kind::wrong_character, row, column, static_cast<unsigned char>(c)});
        faulted = true;
        continue;
      }
      if ((column == 1 || column == 20) && c != 'X')
        expected.problems.push_back({problem_kind::missing_wall, row, column});
      if ((row == 2 || row == 19) && column > 1 && column < 20 && (c == 'X' || c == 'A'))
        expected.problems.push_back(
            {problem_kind::pinning_brick, row, column, static_cast<unsigned char>(c)});
      if (!faulted) {
        expected.map(row, column) = *placing;
        ++expected.cells_read;
      }
    }
    if (line.size() < 20) {
      expected.problems.push_back({problem_kind::short_line, row, static_cast<int>(line.size()) + 1});
      faulted = true;
    }
  }
  return expected;
}

// The loader reads real files: the input goes into a memory file reached through /proc.
struct memory_file {
  int fd = ::memfd_create("board_fuzz", 0);
  std::string path = "/proc/self/fd/" + std::to_string(fd);

  void hold(const std::uint8_t* data, std::size_t size) {
    check(fd >= 0 && ::ftruncate(fd, 0) == 0, "memory file");
    std::size_t written = 0;
    while (written < size) {
      const ssize_t n = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
      check(n > 0, "writing the memory file");
      written += static_cast<std::size_t>(n);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::istringstream in{std::string(text)};
  const board::pattern_reading reading = board::read_pattern(in);
  for (const brick_placing cell : reading.map.cells)
    check(static_cast<int>(cell) <= static_cast<int>(brick_placing::PLACE_ANY_KIND),
          "a cell without a placement");
  const board::pattern_reading expected = reference_reading(text);
  check(reading.map == expected.map, "cells written other than those before the first fault");
  check(reading.cells_read == expected.cells_read, "count of cells read");
  check(reading.problems == expected.problems, "problems or their places");
  const pattern_problem* fault = reading.first_fault();
  const pattern_problem* expected_fault = expected.first_fault();
  check((fault == nullptr) == (expected_fault == nullptr), "a fault missed or invented");
  if (fault != nullptr) check(*fault == *expected_fault, "first fault at the wrong place");
  if (fault != nullptr)
    check(reading.cells_read == (fault->line - 1) * 20 + fault->column - 1, "cells read before the fault");
  if (fault == nullptr) check(reading.cells_read == 400, "a good pattern not read whole");

  // The game's reading stops right at the first fault, with the same cells.
  std::istringstream again{std::string(text)};
  const board::pattern_reading game_reading = board::read_pattern(again, board::pattern_scan::to_first_fault);
  check(game_reading.map == reading.map, "the game's reading keeps other cells");
  std::vector<pattern_problem> up_to_fault;
  for (const pattern_problem& p : reading.problems) {
    up_to_fault.push_back(p);
    if (p.is_fault()) break;
  }
  check(game_reading.problems == up_to_fault, "the game's reading does not end at the first fault");

  static memory_file file;
  file.hold(data, size);
  testing_support::recording_log log;
  std::ostringstream console;
  board::brick_place_availability map;
  map.cells.fill(brick_placing::PLACE_INDESTRUCTIBLE);
  board::loadpatternfromfile(map, file.path, log, console);
  check(map == reading.map, "the loader's map differs from the reader's");
  const std::vector<testing_support::recording_log::entry> entries = log.entries();
  if (fault == nullptr) {
    check(entries.empty() && console.str().empty(), "a good file reported");
  } else {
    const std::string where =
        "line " + std::to_string(fault->line) + ", column " + std::to_string(fault->column);
    check(entries.size() == 1 && entries[0].kind == runtime_log::rodzaj_wpisu::ERROR,
          "one error for a damaged file");
    check(entries[0].message.starts_with(board::loader_error_prefix), "error prefix");
    check(entries[0].message.find(where) != std::string::npos, "error names the first fault's place");
    const bool wrong_character = fault->what == problem_kind::wrong_character;
    check(console.str() == (wrong_character ? "Plik Uszkodzony\n" : ""), "the damaged-file notice");
  }

  static board::brick_generator generator([n = std::uint64_t{0}]() mutable { return ++n; });
  board::brick_matrix matrix;
  generator.generate_new_brick_matrix(matrix, map, log);
  for (int row = 1; row <= 20; ++row)
    for (int column = 1; column <= 20; ++column) {
      const common::brick& b = matrix(row, column);
      switch (map(row, column)) {
        case brick_placing::PLACE_NONE:
          check(!b.exists, "an empty cell with a brick");
          break;
        case brick_placing::PLACE_INDESTRUCTIBLE:
          check(b.exists && !b.destructible && b.points == 0, "a firm brick");
          break;
        case brick_placing::PLACE_ONLY_DESTROYABLE:
          check(b.exists && b.destructible && b.points >= 0 && b.points <= 30, "a destructible brick");
          break;
        case brick_placing::PLACE_ANY_KIND:
          check(!b.exists || b.destructible || b.points == 0, "a random brick");
          break;
      }
    }

  std::ostringstream report;
  const board::board_verdict verdict = board::check_board_file(file.path, report);
  check((verdict == board::board_verdict::faulty) == (fault != nullptr), "the checker's verdict");
  return 0;
}
