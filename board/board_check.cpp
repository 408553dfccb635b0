#include "board/board_check.hpp"

#include <exception>
#include <ostream>
#include <system_error>
#include <vector>

#include "board/brick_matrix.hpp"

namespace board {

const std::string_view board_check_usage =
    "usage: board_check [--strict] FILE...\n"
    "\n"
    "Checks board pattern files the way the game reads them. A board is 20 lines of at least 20\n"
    "characters; line 1 is the row next to the red player's pad, character 1 the leftmost column.\n"
    "Each of the 400 cells is one of:\n"
    "  ' '  no brick\n"
    "  'X'  an indestructible brick\n"
    "  'D'  a destructible brick (random points and colour)\n"
    "  'A'  any of the three, drawn anew at every game\n"
    "Lines end at LF or CR LF; whatever follows column 20, and every line after the 20th, is ignored.\n"
    "\n"
    "For each FILE it prints \"FILE: ok\", or every problem as \"FILE: line L, column C: ...\".\n"
    "The board has no walls of its own: without an 'X' in columns 1 and 20 of a row the ball can leave\n"
    "the board sideways there. That is reported as a warning, since the game still loads such a board.\n"
    "\n"
    "  --strict  treat warnings as faults\n"
    "  --help    print this text\n"
    "\n"
    "Exit status: 0 when every file loads completely (warnings alone do not count, unless --strict),\n"
    "1 when any file is missing, unreadable or damaged (or, with --strict, has a warning),\n"
    "2 when the command line is wrong.\n";

board_verdict check_board_file(const std::string& path, std::ostream& out) {
  pattern_reading reading;
  try {
    reading = read_pattern_file(path);
  } catch (const std::system_error& e) {
    out << path << ": cannot be read: " << e.code().message() << '\n';
    return board_verdict::faulty;
  } catch (const std::exception& e) {
    out << path << ": cannot be read: " << e.what() << '\n';
    return board_verdict::faulty;
  }
  if (reading.problems.empty()) {
    out << path << ": ok\n";
    return board_verdict::ok;
  }
  for (const pattern_problem& problem : reading.problems) out << path << ": " << describe(problem) << '\n';
  return reading.first_fault() != nullptr ? board_verdict::faulty : board_verdict::warnings_only;
}

int board_check_main(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err) {
  bool strict = false;
  bool options_end = false;
  std::vector<std::string> files;
  for (const std::string_view argument : arguments) {
    if (!options_end && argument == "--") {
      options_end = true;
    } else if (!options_end && (argument == "--help" || argument == "-h")) {
      out << board_check_usage;
      return 0;
    } else if (!options_end && argument == "--strict") {
      strict = true;
    } else if (!options_end && argument.size() > 1 && argument.front() == '-') {
      err << "board_check: unknown option " << argument << "\n\n" << board_check_usage;
      return 2;
    } else {
      files.emplace_back(argument);
    }
  }
  if (files.empty()) {
    err << "board_check: no file to check\n\n" << board_check_usage;
    return 2;
  }
  bool good = true;
  for (const std::string& file : files) {
    const board_verdict verdict = check_board_file(file, out);
    if (verdict == board_verdict::faulty || (strict && verdict == board_verdict::warnings_only)) good = false;
  }
  out.flush();
  return good ? 0 : 1;
}

}  // namespace board
