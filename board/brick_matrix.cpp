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
    case pattern_problem::kind::unreadable:
      return where + ": the file cannot be read: " + problem.reason.message();
    case pattern_problem::kind::missing_wall:
      return where + ": warning: no side wall 'X', the ball can leave the board here";
    case pattern_problem::kind::pinning_brick:
      return where + ": warning: " + shown(problem.found) + (problem.found == 'X' ? " is" : " can be") +
             " a firm brick right before a pad, where it pins a returned ball against the pad";
  }
  return where;
}

const pattern_problem* pattern_reading::first_fault() const {
  for (const pattern_problem& p : problems)
    if (p.is_fault()) return &p;
  return nullptr;
}

namespace {

// A pattern's bytes, one character of the current line at a time, so that a reading can stop right at a
// fault. A line ends at LF; a CR just before the LF (or at the very end of the input) belongs to the end.
class pattern_source {
 public:
  enum class event : std::uint8_t { character, line_end, input_end, failure };

  explicit pattern_source(std::istream& in) : in_(in) {}

  event next(unsigned char& c) {
    return guarded([&] {
      const traits::int_type got = in_.get();
      if (in_.bad()) return event::failure;
      if (traits::eq_int_type(got, traits::eof())) return event::input_end;
      if (got == '\n') return event::line_end;
      if (got == '\r') {
        const traits::int_type after = in_.peek();
        if (in_.bad()) return event::failure;
        if (traits::eq_int_type(after, traits::eof())) return event::line_end;
        if (after == '\n') {
          in_.get();
          return in_.bad() ? event::failure : event::line_end;
        }
      }
      c = static_cast<unsigned char>(traits::to_char_type(got));
      return event::character;
    });
  }

  // Past column 20: the rest of the line is skipped without being looked at, so a huge line costs no memory.
  event skip_line() {
    return guarded([&] {
      in_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      return in_.bad() ? event::failure : event::line_end;
    });
  }

  // Why the read failed.
  std::error_code failure() const { return failure_; }

 private:
  using traits = std::istream::traits_type;

  // A stream may report a failed read by its badbit or by throwing, as a file stream with badbit in its
  // exception mask does (with the system's reason); either way the reading ends there.
  template <class Read>
  event guarded(Read read) {
    try {
      const event e = read();
      if (e == event::failure) failure_ = std::make_error_code(std::errc::io_error);
      return e;
    } catch (const std::ios_base::failure& failure) {
      failure_ = failure.code();
      return event::failure;
    }
  }

  std::istream& in_;
  std::error_code failure_;
};

}  // namespace

pattern_reading read_pattern(std::istream& in, pattern_scan scan) {
  using event = pattern_source::event;
  pattern_reading reading;
  bool faulted = false;
  const auto report = [&](pattern_problem problem) {
    reading.problems.push_back(problem);
    if (problem.is_fault()) faulted = true;
  };
  const auto done = [&] { return faulted && scan == pattern_scan::to_first_fault; };
  pattern_source source(in);
  for (int row = 1; row <= pattern_lines; ++row) {
    int length = 0;  // characters of this line seen, up to 20
    unsigned char c = 0;
    event e;
    while ((e = source.next(c)) == event::character) {
      if (length == pattern_columns) {
        e = source.skip_line();
        break;
      }
      const int column = ++length;
      const std::optional<brick_placing> placing = placing_of(c);
      if (!placing) {
        report({pattern_problem::kind::wrong_character, row, column, c});
      } else {
        if ((column == 1 || column == pattern_columns) && *placing != brick_placing::PLACE_INDESTRUCTIBLE)
          report({pattern_problem::kind::missing_wall, row, column});
        const bool before_a_pad = row == 2 || row == pattern_lines - 1;
        if (before_a_pad && column > 1 && column < pattern_columns &&
            (*placing == brick_placing::PLACE_INDESTRUCTIBLE || *placing == brick_placing::PLACE_ANY_KIND))
          report({pattern_problem::kind::pinning_brick, row, column, c});
        if (!faulted) {
          reading.map(row, column) = *placing;
          ++reading.cells_read;
        }
      }
      if (done()) return reading;
    }
    if (e == event::failure) {
      report({pattern_problem::kind::unreadable, row, length + 1, {}, source.failure()});
      return reading;  // nothing after a failed read can be trusted
    }
    if (e == event::input_end && length == 0) {
      report({pattern_problem::kind::too_few_lines, row, 1});
      return reading;
    }
    if (length < pattern_columns) report({pattern_problem::kind::short_line, row, length + 1});
    if (done()) return reading;
  }
  return reading;
}

std::ifstream open_pattern_file(const std::string& path) {
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
  return in;
}

namespace {

void log_loader_failure(runtime_log::sink& log) {
  log.error(common::error_line(loader_error_prefix));
}

}  // namespace

void loadpatternfromfile(brick_place_availability& map, const std::string& path, runtime_log::sink& log,
                         std::ostream& console) {
  map = brick_place_availability{};
  std::ifstream in;
  try {
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    // Only a path that surely names nothing is "missing" (no such file, or a file where a folder should be);
    // a path that cannot be looked at is an error below.
    if (!exists && !error) {
      log.warning("Wybrany plik:\"" + path + "\" nie isnieje");
      return;
    }
    in = open_pattern_file(path);
  } catch (...) {
    log_loader_failure(log);
    return;
  }
  loadpatternfromfile(map, in, path, log, console);
}

void loadpatternfromfile(brick_place_availability& map, std::istream& in, const std::string& path,
                         runtime_log::sink& log, std::ostream& console) {
  map = brick_place_availability{};
  try {
    const pattern_reading reading = read_pattern(in, pattern_scan::to_first_fault);
    map = reading.map;
    const pattern_problem* fault = reading.first_fault();
    if (fault == nullptr) return;
    const std::string what = path + ": " + describe(*fault);
    switch (fault->what) {
      case pattern_problem::kind::too_few_lines:
        throw end_of_pattern_file(what);
      case pattern_problem::kind::short_line:
        throw std::out_of_range(what);
      case pattern_problem::kind::unreadable:
        throw unreadable_pattern(what);
      default:
        console << damaged_file_notice << std::endl;
        throw damaged_pattern(what);
    }
  } catch (...) {
    log_loader_failure(log);
  }
}

// ---------------------------------------------------------------------------------------------------------

brick_generator::brick_generator(seed_source seeds) : seeds_(std::move(seeds)) {}

brick_placing brick_generator::draw_kind() {
  std::uniform_int_distribution<int> kinds(0, 2);
  return static_cast<brick_placing>(kinds(firm_brick_gen_));
}

float brick_generator::draw_float() {
  return common::closed_unit(float_gen_());
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
      if (static_cast<int>(kind) > static_cast<int>(brick_placing::PLACE_ANY_KIND))
        throw std::out_of_range("map cell (row " + std::to_string(row) + ", column " +
                                std::to_string(column) + ") holds no placement");
      if (kind == brick_placing::PLACE_ANY_KIND) kind = draw_kind();
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
    "the board sideways there. And an 'X' (or an 'A', which may come out firm) in row 2 or 19 between\n"
    "the walls stands right before a pad: it turns a returned ball straight back onto the pad, again and\n"
    "again. Both are reported as warnings, since the game still loads such a board.\n"
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
    std::ifstream in = open_pattern_file(path);
    reading = read_pattern(in, pattern_scan::all_lines);
  } catch (const std::system_error& e) {
    out << path << ": cannot be read: " << e.code().message() << '\n';
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
  return good ? 0 : 1;
}

}  // namespace board
