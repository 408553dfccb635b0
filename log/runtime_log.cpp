#include "log/runtime_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace runtime_log {

namespace {

// Every field of a time stamp is below 100 (the year goes in two halves).
void two_digits(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Writes all of `text`, whatever the kernel takes per call. False on failure, with errno set.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A regular file takes at least a byte of a write or fails; should it take none, this loop would spin.
    if (written == 0) {
      errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Closes on every path; a failed close after a good write is still a failure (the data may be lost).
class open_file {
 public:
  explicit open_file(int fd) : fd_(fd) {}
  open_file(const open_file&) = delete;
  open_file& operator=(const open_file&) = delete;
  ~open_file() {
    if (fd_ >= 0) ::close(fd_);
  }
  void close(const std::string& path) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw_errno("cannot close " + path);
  }

 private:
  int fd_;
};

}  // namespace

wall_time local_time(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const auto since_epoch = floor<milliseconds>(moment.time_since_epoch());
  const auto seconds_part = floor<seconds>(since_epoch);
  const std::time_t whole = static_cast<std::time_t>(seconds_part.count());
  std::tm local{};
  localtime_r(&whole, &local);
  return {local.tm_year + 1900,
          local.tm_mon + 1,
          local.tm_mday,
          local.tm_hour,
          local.tm_min,
          local.tm_sec,
          static_cast<int>((since_epoch - seconds_part).count())};
}

std::string format_time(std::string_view picture, const wall_time& moment) {
  std::string out;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    if (picture[i] != '%' || i + 1 == picture.size()) {
      out += picture[i];
      continue;
    }
    switch (picture[i + 1]) {
      case 'T':
        two_digits(out, moment.hour);
        out += ':';
        two_digits(out, moment.minute);
        out += ':';
        two_digits(out, moment.second);
        break;
      case 'i':
        out += static_cast<char>('0' + moment.millisecond / 100);
        two_digits(out, moment.millisecond % 100);
        break;
      case 'Y':
        two_digits(out, moment.year / 100);
        two_digits(out, moment.year % 100);
        break;
      case 'm':
        two_digits(out, moment.month);
        break;
      case 'd':
        two_digits(out, moment.day);
        break;
      case 'H':
        two_digits(out, moment.hour);
        break;
      case 'M':
        two_digits(out, moment.minute);
        break;
      case 'S':
        two_digits(out, moment.second);
        break;
      default:
        out += picture[i];
        out += picture[i + 1];
        break;
    }
    ++i;
  }
  return out;
}

std::string entry_line(rodzaj_wpisu kind, const wall_time& moment, std::string_view message,
                       const log_config& config) {
  std::string line;
  line += config[kind].opisy_typow;
  line += separator;
  line += format_time(time_date_format, moment);
  line += separator;
  line += message;
  return line;
}

// ---------------------------------------------------------------------------------------------------------

void disk_store::make_directories(const std::string& path) {
  std::filesystem::create_directories(path);
}

bool disk_store::create_exclusive(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw_errno("cannot create " + path);
  }
  open_file file(fd);
  if (!write_all(fd, text)) {
    const int failure = errno;
    ::unlink(path.c_str());  // a half-made file would hold a broken header
    errno = failure;
    throw_errno("cannot write " + path);
  }
  file.close(path);
  return true;
}

bool disk_store::append_existing(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    throw_errno("cannot open " + path);
  }
  open_file file(fd);
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  if (!write_all(fd, text)) {
    const int failure = errno;
    if (sized) {
      // Keep only whole lines; a truncation that fails too leaves the write's failure to tell. (A fortified
      // build does not let a cast to void discard the result.)
      [[maybe_unused]] const int truncated = ::ftruncate(fd, before.st_size);
    }
    errno = failure;
    throw_errno("cannot write " + path);
  }
  file.close(path);
  return true;
}

// ---------------------------------------------------------------------------------------------------------

line_writer::line_writer(file_store& files, wall_clock& clock, std::ostream& console,
                         const log_config& config)
    : files_(files), clock_(clock), console_(console), config_(config) {}

void line_writer::log_line(rodzaj_wpisu kind, std::string_view message) {
  if (config_[kind].log_to_file) {
    if (file_line_count_ == 0) new_file();
    // Stamped once its file exists, so that no entry is older than the name of the file that holds it.
    const auto stamped = [&] { return entry_line(kind, clock_.now(), message, config_) + '\n'; };
    if (!files_.append_existing(log_file_name_, stamped())) {
      // Someone deleted the current file while the game runs: go on in a new one.
      new_file();
      if (!files_.append_existing(log_file_name_, stamped()))
        throw std::runtime_error("log file " + log_file_name_ + " vanished as soon as it was made");
    }
    file_line_count_ = static_cast<std::uint16_t>((file_line_count_ + 1) % file_line_limit);
  }
  if (config_[kind].log_to_console) {
    if (console_line_count_ == 0) {
      console_line_count_ = 1;
      console_ << header << '\n';
    }
    console_ << entry_line(kind, clock_.now(), message, config_) << '\n';
    console_.flush();
    console_line_count_ = static_cast<std::uint8_t>((console_line_count_ + 1) % console_line_limit);
  }
}

void line_writer::new_file() {
  files_.make_directories(std::string(file_relative_dir));
  std::string base(file_relative_dir);
  base += '/';
  base += file_name_prefix;
  base += format_time(file_name_format, clock_.now());
  const std::string first_line = std::string(header) + '\n';
  // A name already taken (two files in one millisecond, or a clock set back) keeps its file whole: the new
  // file gets a counter before ".log" instead.
  std::string name = base + std::string(file_name_suffix);
  for (int counter = 2; !files_.create_exclusive(name, first_line); ++counter) {
    if (counter > 999) throw std::runtime_error("no free log file name beside " + name);
    name = base + '_' + std::to_string(counter) + std::string(file_name_suffix);
  }
  log_file_name_ = name;
  file_line_count_ = 1;
}

// ---------------------------------------------------------------------------------------------------------

log_thread::log_thread()
    : own_files_(std::make_unique<disk_store>()),
      own_clock_(std::make_unique<system_wall_clock>()),
      files_(*own_files_),
      clock_(*own_clock_),
      console_(std::cout),
      config_(game_log_config) {}

log_thread::log_thread(file_store& files, wall_clock& clock, std::ostream& console, const log_config& config)
    : files_(files), clock_(clock), console_(console), config_(config) {}

log_thread::~log_thread() = default;

void log_thread::launch() {
  common::start_thread(thread_, "log", [this](std::stop_token stop) { run(stop); });
}

void log_thread::report(rodzaj_wpisu kind, std::string_view message) {
  // False means the log has ended: the report is dropped, the caller goes on.
  (void)box_.call(log_request{log_request::what::entry, kind, message});
}

bool log_thread::flush() {
  return box_.call(log_request{log_request::what::flush, rodzaj_wpisu::INFO, {}});
}

bool log_thread::last_entry(std::string_view message) {
  return box_.call(log_request{log_request::what::last, rodzaj_wpisu::INFO, message});
}

void log_thread::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    line_writer writer(files_, clock_, console_, config_);
    std::string message;  // the thread's own copy of the message being handled
    rodzaj_wpisu kind = rodzaj_wpisu::INFO;
    log_request::what asked = log_request::what::flush;
    const auto copy_request = [&](const log_request& request) {
      asked = request.asked;
      kind = request.kind;
      message.assign(request.message);
      // The last entry is written while its caller waits, who ends the process next.
      if (asked == log_request::what::last) writer.log_line(kind, message);
    };
    while (box_.accept(stop, copy_request) == common::accepted::request) {
      if (asked == log_request::what::last) return;  // closing the box refuses every later report
      if (asked == log_request::what::entry) writer.log_line(kind, message);
    }
  } catch (...) {
    const common::error_description failure = common::describe(std::current_exception());
    console_ << "Log sie zespula\n" << failure.name << '\n' << failure.message << '\n';
    console_.flush();
  }
}

}  // namespace runtime_log
