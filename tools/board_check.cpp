// Checks board pattern files before they go into boards/: `board_check --help` tells how.
#include <iostream>
#include <string_view>
#include <vector>

#include "board/brick_matrix.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  return board::board_check_main(arguments, std::cout, std::cerr);
}
