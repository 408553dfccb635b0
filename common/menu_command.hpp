// What the pop-up menu's entries ask for, named, and which of them a game over the network shares.
//
// A command's value is the number the window toolkit hands back when its entry is chosen, and the number a
// guest's choice travels as to its host: the numbers never change.
//
// Thread use: constants and plain functions; any thread.
#pragma once

#include <optional>

namespace common {

enum class menu_command : int {
  board_0 = 100,  // board_0 + n: a new game on board n, 0..9
  pause = 200,
  resume = 300,
  red_ad = 411,
  red_jl = 412,
  red_pad = 413,
  green_ad = 421,
  green_jl = 422,
  green_pad = 423,
  green_computer = 424,
  default_window = 501,
  full_screen = 502,
  end = 600,
};

inline constexpr int boards = 10;

constexpr int value_of(menu_command c) {
  return static_cast<int>(c);
}

// A new game on `board`, 0..9.
constexpr menu_command new_game_on(int board) {
  return menu_command{value_of(menu_command::board_0) + board};
}
// The board a new-game command asks for; none for every other command.
constexpr std::optional<int> board_of(menu_command c) {
  const int board = value_of(c) - value_of(menu_command::board_0);
  if (board < 0 || board >= boards) return std::nullopt;
  return board;
}

// Who steers the red pad, and who the green one.
constexpr bool steers_red(menu_command c) {
  return value_of(c) >= value_of(menu_command::red_ad) && value_of(c) <= value_of(menu_command::red_pad);
}
constexpr bool steers_green(menu_command c) {
  return value_of(c) >= value_of(menu_command::green_ad) &&
         value_of(c) <= value_of(menu_command::green_computer);
}

// The commands that act on the one game two computers play: a new board, pause and resume, whichever
// computer's menu chose them. Steering, the window's size and the end stay each computer's own.
constexpr bool shared_with_other_computer(menu_command c) {
  return board_of(c).has_value() || c == menu_command::pause || c == menu_command::resume;
}

}  // namespace common
