#include "common/common_data.hpp"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace common {

std::string board_pattern_setting::name() const {
  std::string name = "board (0).txt";
  name[digit_position] = digit_.load(std::memory_order_acquire);
  return name;
}

void board_pattern_setting::choose(int board) {
  if (board < 0 || board > 9)
    throw std::out_of_range("board number " + std::to_string(board) + " is not 0..9");
  digit_.store(static_cast<char>('0' + board), std::memory_order_release);
}

void initialise_common_data() {
  program_started = std::chrono::system_clock::now();
}

float lenght(vector v) {
  return std::sqrt(v.x * v.x + v.y * v.y);
}

std::string image(std::int64_t n) {
  // Built by hand so that the most negative value needs no special case in a negation.
  std::string digits;
  std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  return (n < 0 ? "-" : " ") + digits;
}

namespace {

std::string demangled(const char* mangled) {
  // No name comes back when demangling fails, which is all the status would tell.
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, nullptr),
                                              std::free);
  return name ? std::string(name.get()) : std::string(mangled);
}

}  // namespace

error_description describe(std::exception_ptr error) {
  if (!error) return {"brak bledu", ""};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return {demangled(typeid(e).name()), e.what()};
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return {type != nullptr ? demangled(type->name()) : "nieznany wyjatek", ""};
  }
}

std::string error_line(std::string_view prefix, std::exception_ptr error) {
  const error_description what = describe(error);
  std::string line(prefix);
  line += what.name;
  line += " jego opis: ";
  line += what.message;
  return line;
}

}  // namespace common
