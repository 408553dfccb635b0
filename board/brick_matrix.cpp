#include "board/brick_matrix.hpp"

#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <ostream>
#include <system_error>
#include <vector>

namespace board {

namespace {

constexpr int pattern_lines = common::rozmiar_planszy;
constexpr int pattern_columns = common::rozmiar_planszy;

std::optional<brick_placing> placing_of(unsigned char c) {
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

std::string shown(unsigned char c) {
  if (c == '\t') return "a tab";
  if (c == '\r') return "a carriage return";
  if (c < 0x20 || c >= 0x7f) {
    static constexpr char hex[] = "0123456789ABCDEF";
    return std::string("byte 0x") + hex[c >> 4] + hex[c & 15];
  }
  return std::string("'") + static_cast<char>(c) + "'";
}

}  // namespace

std::string describe(const pattern_problem& problem) {
  const std::string where =
      "line " + std::to_string(problem.line) + ", column " + std::to_string(problem.column);
  switch (problem.what) {
    case pattern_problem::kind::too_few_lines:
      return where + ": the file ends, a board needs 20 lines";
    case pattern_problem::kind::short_line:
      return where + ": the line ends, a board line needs 20 characters";
    case pattern_problem::kind::wrong_character:
      return where + ": found " + shown(problem.found) + " where ' ', 'X', 'D' or 'A' was expected" +
             (problem.found == 'x' || problem.found == 'd' || problem.found == 'a' ? " (upper case only)"
                                                                                   : "");
    case pattern_problem::kind::missing_wall:
      return where + ": warning: no side wall 'X', the ball can leave the board here";
  }
  return where;
}

const pattern_problem* pattern_reading::first_fault() const {
  for (const pattern_problem& p : problems)
    if (p.is_fault()) return &p;
  return nullptr;
}

namespace {

// The first 20 characters of the next line, or nothing at the end of the input. The rest of the line and
// its end (LF, CR LF, or a CR that ends the input) are consumed but not kept.
std::optional<std::string> next_line(std::istream& in) {
  using traits = std::istream::traits_type;
  std::string kept;
  bool any = false;
  for (;;) {
    const traits::int_type c = in.get();
    if (traits::eq_int_type(c, traits::eof())) break;
    any = true;
    if (c == '\n') break;
    if (c == '\r') {
      const traits::int_type after = in.peek();
      if (traits::eq_int_type(after, traits::eof())) break;
      if (after == '\n') {
        in.get();
        break;
      }
    }
    if (kept.size() < static_cast<std::size_t>(pattern_columns)) {
      kept.push_back(traits::to_char_type(c));
    } else {
      // Past column 20: skip to the end of the line without looking at it.
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      break;
    }
  }
  if (!any) return std::nullopt;
  return kept;
}

}  // namespace

pattern_reading read_pattern(std::istream& in) {
  pattern_reading reading;
  bool faulted = false;
  const auto report = [&](pattern_problem problem) {
    reading.problems.push_back(problem);
    if (problem.is_fault()) faulted = true;
  };
  for (int row = 1; row <= pattern_lines; ++row) {
    const std::optional<std::string> line = next_line(in);
    if (!line) {
      report({pattern_problem::kind::too_few_lines, row, 1});
      break;  // nothing more to read
    }
    const int length = static_cast<int>(line->size());
    for (int column = 1; column <= length; ++column) {
      const auto c = static_cast<unsigned char>((*line)[static_cast<std::size_t>(column - 1)]);
      const std::optional<brick_placing> placing = placing_of(c);
      if (!placing) {
        report({pattern_problem::kind::wrong_character, row, column, c});
        continue;
      }
      if ((column == 1 || column == pattern_columns) && *placing != brick_placing::PLACE_INDESTRUCTIBLE)
        report({pattern_problem::kind::missing_wall, row, column});
      if (!faulted) {
        reading.map(row, column) = *placing;
        ++reading.cells_read;
      }
    }
    if (length < pattern_columns) report({pattern_problem::kind::short_line, row, length + 1});
  }
  return reading;
}

pattern_reading read_pattern_file(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) throw std::system_error(error, "cannot open " + path);
  if (std::filesystem::is_directory(status))
    throw std::system_error(EISDIR, std::generic_category(), "cannot open " + path);
  if (!std::filesystem::is_regular_file(status))
    throw std::system_error(EINVAL, std::generic_category(), "cannot open " + path + ", not a regular file");
  std::ifstream in;
  in.open(path, std::ios::binary);
  if (!in.is_open()) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  in.exceptions(std::ios::badbit);
  return read_pattern(in);
}

void loadpatternfromfile(brick_place_availability& map, const std::string& path, runtime_log::sink& log,
                         std::ostream& console) {
  map = brick_place_availability{};
  try {
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    // Only a path that surely names nothing is "missing"; a path that cannot be looked at is an error below.
    if (!exists &&
        (!error || error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)) {
      log.warning("Wybrany plik:\"" + path + "\" nie isnieje");
      return;
    }
    const pattern_reading reading = read_pattern_file(path);
    map = reading.map;
    const pattern_problem* fault = reading.first_fault();
    if (fault == nullptr) return;
    switch (fault->what) {
      case pattern_problem::kind::too_few_lines:
        throw end_of_pattern_file(path + ": " + describe(*fault));
      case pattern_problem::kind::short_line:
        throw std::out_of_range(path + ": " + describe(*fault));
      default:
        console << damaged_file_notice << std::endl;
        throw damaged_pattern(path + ": " + describe(*fault));
    }
  } catch (...) {
    log.error(common::error_line(loader_error_prefix));
  }
}

// ---------------------------------------------------------------------------------------------------------

brick_generator::brick_generator(seed_source seeds) : seeds_(std::move(seeds)) {}

brick_placing brick_generator::draw_kind() {
  std::uniform_int_distribution<int> kinds(0, 2);
  return static_cast<brick_placing>(kinds(firm_brick_gen_));
}

float brick_generator::draw_float() {
  // Closed interval [0, 1].
  std::uniform_int_distribution<std::uint32_t> steps(0, 1U << 24);
  return static_cast<float>(steps(float_gen_)) / static_cast<float>(1U << 24);
}

void brick_generator::generate_new_brick(common::brick& brick, brick_placing kind) {
  switch (kind) {
    case brick_placing::PLACE_NONE:
      brick.exists = false;  // the other fields keep what the cell held and mean nothing now
      return;
    case brick_placing::PLACE_INDESTRUCTIBLE:
      brick.exists = true;
      brick.points = 0;
      brick.destructible = false;
      brick.color = indestructible_color;
      return;
    case brick_placing::PLACE_ONLY_DESTROYABLE: {
      brick.exists = true;
      brick.points = std::uniform_int_distribution<std::int32_t>(0, 30)(points_gen_);
      brick.destructible = true;
      const float u1 = draw_float();
      const float u2 = draw_float();
      const float u3 = draw_float();
      // No channel below 0.25: a destructible brick never looks like a firm one.
      brick.color = common::make_color(0.25f + 0.5f * u1, 0.25f + u2 / 1.5f, 0.25f + u3 / 1.5f);
      return;
    }
    default:
      throw std::invalid_argument("a brick of kind " + std::to_string(static_cast<int>(kind)) +
                                  " cannot be made");
  }
}

void brick_generator::generate_new_brick_matrix(brick_matrix& matrix, const brick_place_availability& map,
                                                runtime_log::sink& log) {
  points_gen_.seed(seeds_());
  firm_brick_gen_.seed(seeds_());
  float_gen_.seed(seeds_());
  for (int row = 1; row <= brick_matrix::side; ++row) {
    for (int column = 1; column <= brick_matrix::side; ++column) {
      brick_placing kind = map(row, column);
      if (kind == brick_placing::PLACE_ANY_KIND) kind = draw_kind();
      if (static_cast<int>(kind) > static_cast<int>(brick_placing::PLACE_ANY_KIND))
        throw std::out_of_range("map cell (row " + std::to_string(row) + ", column " +
                                std::to_string(column) + ") holds no placement");
      generate_new_brick(matrix(row, column), kind);
    }
  }
  log.info("Wygenerowano Plansze losowych klockow");
}

// ---------------------------------------------------------------------------------------------------------

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
