// The board checker: tells a person who writes a board pattern file whether the game will read it as meant,
// and if not, where and why. It reads each file with the game's own pattern reader.
//
//   board_check [--strict] FILE...
//
// Thread use: plain code, no shared state; the tool's main() and tests call it.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace board {

enum class board_verdict {
  ok,             // the board loads as written and has its side walls
  warnings_only,  // it loads as written, but the ball can leave it sideways
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
