// The run-time log: the game's journal. One thread, `log`, takes reports of three kinds from any thread and
// writes each as one time-stamped line into a file under "logs/" (and to the console for kinds configured for
// it). Files are named after the moment they are started and hold 1000 lines each: a header and 999 entries.
//
//   Informacja   | 09:26:53  589 ms | Start
//
// Thread use: `info`, `warning`, `error` and `flush` from any thread. A report holds its caller only while
// the log thread copies the message, never for the disk. The line writer and the file store belong to the
// log thread alone; tests drive a `line_writer` directly on fake time and a fake store.
//
// Failures: a log file deleted while the game runs is replaced by a new one and logging goes on. Any other
// failure (a directory that cannot be made, a write that fails) prints "Log sie zespula", the error's name
// and its message on standard output and ends the log thread; from then on reports return at once and do
// nothing, so a dead log never takes a game thread down with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "common/common_data.hpp"
#include "common/rendezvous.hpp"

namespace runtime_log {

enum class rodzaj_wpisu : std::uint8_t { INFO, WARNING, ERROR };

struct kind_config {
  std::string_view opisy_typow;  // exactly 12 characters
  bool log_to_console;
  bool log_to_file;
};
using log_config = common::enum_array<rodzaj_wpisu, kind_config, 3>;

inline constexpr log_config game_log_config{{{
    {"Informacja  ", false, true},
    {"Ostrzezenie ", false, true},
    {"Blad        ", false, true},
}}};

inline constexpr std::uint16_t file_line_limit = 1000;  // header included
inline constexpr std::uint8_t console_line_limit = 20;  // header included
inline constexpr std::string_view time_date_format = "%T  %i ms";
inline constexpr std::string_view file_name_format = "_%Y_%m_%d_%H-%M-%S-%i";
inline constexpr std::string_view file_relative_dir = "logs";
inline constexpr std::string_view file_name_prefix = "log";
inline constexpr std::string_view file_name_suffix = ".log";
inline constexpr std::string_view separator = " | ";
inline constexpr std::string_view header = "Typ          |Data              |Opis";

// ---------------------------------------------------------------------------------------------------------
// Time stamps

// A moment of the local calendar clock, to the millisecond.
struct wall_time {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

wall_time local_time(std::chrono::system_clock::time_point moment);

class wall_clock {
 public:
  virtual ~wall_clock() = default;
  virtual wall_time now() = 0;
};

class system_wall_clock final : public wall_clock {
 public:
  wall_time now() override { return local_time(std::chrono::system_clock::now()); }
};

// Renders a picture: %T (HH:MM:SS), %i (milliseconds, 3 digits), %Y, %m, %d, %H, %M, %S; every other
// character is copied.
std::string format_time(std::string_view picture, const wall_time& moment);

// One entry line, without its line terminator.
std::string entry_line(rodzaj_wpisu kind, const wall_time& moment, std::string_view message,
                       const log_config& config = game_log_config);

// ---------------------------------------------------------------------------------------------------------
// Files

// The few file operations the log needs, each one whole open/write/close. Failures other than the ones the
// results report are thrown (std::system_error or std::filesystem::filesystem_error).
class file_store {
 public:
  virtual ~file_store() = default;
  // Makes the directory and any missing parents; an existing directory is fine.
  virtual void make_directories(const std::string& path) = 0;
  // Creates `path` holding `text`. False, touching nothing, when a file of that name already exists.
  virtual bool create_exclusive(const std::string& path, std::string_view text) = 0;
  // Appends `text` to the existing file `path`. False when there is no such file. A write that fails part
  // way is undone before the failure is thrown, so the file keeps only whole lines.
  virtual bool append_existing(const std::string& path, std::string_view text) = 0;
};

class disk_store final : public file_store {
 public:
  void make_directories(const std::string& path) override;
  bool create_exclusive(const std::string& path, std::string_view text) override;
  bool append_existing(const std::string& path, std::string_view text) override;
};

// Writes entries as lines: into the current log file, starting a new file every 1000 lines, and to the
// console in blocks of 20 lines for kinds configured for it. Belongs to the log thread.
class line_writer {
 public:
  line_writer(file_store& files, wall_clock& clock, std::ostream& console, const log_config& config = game_log_config);

  // Throws when the log cannot go on.
  void log_line(rodzaj_wpisu kind, std::string_view message);

  const std::string& log_file_name() const { return log_file_name_; }
  std::uint16_t file_line_count() const { return file_line_count_; }
  std::uint8_t console_line_count() const { return console_line_count_; }

 private:
  void new_file();

  file_store& files_;
  wall_clock& clock_;
  std::ostream& console_;
  log_config config_;
  std::string log_file_name_;
  std::uint16_t file_line_count_ = 0;    // lines in the current file; 0: no current file
  std::uint8_t console_line_count_ = 0;  // lines in the current console block; 0: no current block
};

// ---------------------------------------------------------------------------------------------------------
// The log thread

// What every part of the game reports to.
class sink {
 public:
  virtual ~sink() = default;
  virtual void info(std::string_view message) = 0;
  virtual void warning(std::string_view message) = 0;
  virtual void error(std::string_view message) = 0;
  // Returns once every report made before it has been written; false when the log can no longer write.
  // A sink that writes as it is told has nothing to wait for.
  virtual bool flush() { return true; }
  // Writes an INFO entry as the log's very last and returns once it is written (false when it could not
  // be); every report after it is dropped. For the game's closing line, just before the process ends.
  virtual bool last_entry(std::string_view message) {
    info(message);
    return flush();
  }
};

// One report in the hand-over: the message stays the caller's until the log thread has copied it.
struct log_request {
  enum class what : std::uint8_t {
    entry,  // written after the caller has gone on
    flush,  // only waits for its turn
    last,   // written before the caller goes on; the log ends after it
  };
  what asked;
  rodzaj_wpisu kind;
  std::string_view message;
};

class log_thread final : public sink {
 public:
  // The game's log: files on disk, the local clock, standard output.
  log_thread();
  // Tests: the given store, clock and console, which must outlive the thread.
  log_thread(file_store& files, wall_clock& clock, std::ostream& console, const log_config& config = game_log_config);
  ~log_thread() override;

  // Starts the thread; returns once it runs. Once only.
  void launch();

  void info(std::string_view message) override { report(rodzaj_wpisu::INFO, message); }
  void warning(std::string_view message) override { report(rodzaj_wpisu::WARNING, message); }
  void error(std::string_view message) override { report(rodzaj_wpisu::ERROR, message); }

  // Returns once every entry handed over before it has been written. False when the log has ended.
  bool flush() override;
  bool last_entry(std::string_view message) override;
  // False once the log thread has ended.
  bool running() const { return !box_.is_closed(); }

  const common::request_box<log_request>& box() const { return box_; }

 private:
  void report(rodzaj_wpisu kind, std::string_view message);
  void run(std::stop_token stop);

  std::unique_ptr<file_store> own_files_;
  std::unique_ptr<wall_clock> own_clock_;
  file_store& files_;
  wall_clock& clock_;
  std::ostream& console_;
  log_config config_;
  common::request_box<log_request> box_;
  std::jthread thread_;
};

// The game's log, created first of all at start-up.
inline common::game_object<log_thread> log;

}  // namespace runtime_log
