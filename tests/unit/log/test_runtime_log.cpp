// The run-time log: entry bytes, files and their rotation, the console path, and the log thread's hand-over
// and failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "log/runtime_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using runtime_log::rodzaj_wpisu;
using runtime_log::wall_time;
using testing_support::lines_of;

// A clock that starts at 09:26:53.589 on 14 March 2009 and moves on one millisecond at every reading, so
// that every file gets a name of its own.
class ticking_clock final : public runtime_log::wall_clock {
 public:
  void stand_still() {
    std::scoped_lock lock(mutex_);
    step_ms_ = 0;
  }
  wall_time now() override {
    std::scoped_lock lock(mutex_);
    wall_time t = moment_;
    moment_.millisecond += step_ms_;
    while (moment_.millisecond >= 1000) {
      moment_.millisecond -= 1000;
      ++moment_.second;
    }
    return t;
  }

 private:
  std::mutex mutex_;
  int step_ms_ = 1;
  wall_time moment_{2009, 3, 14, 9, 26, 53, 589};
};

// Files in memory, with faults on demand.
class memory_store final : public runtime_log::file_store {
 public:
  void make_directories(const std::string& path) override {
    std::scoped_lock lock(mutex_);
    if (fail_directories)
      throw std::filesystem::filesystem_error("cannot make", path,
                                              std::make_error_code(std::errc::not_a_directory));
    directories.insert(path);
  }
  bool create_exclusive(const std::string& path, std::string_view text) override {
    std::scoped_lock lock(mutex_);
    if (disk_full) throw std::system_error(ENOSPC, std::generic_category(), "cannot write " + path);
    if (read_only) throw std::system_error(EACCES, std::generic_category(), "cannot create " + path);
    if (files.contains(path)) return false;
    files[path] = std::string(text);
    return true;
  }
  bool append_existing(const std::string& path, std::string_view text) override {
    {
      std::unique_lock lock(mutex_);
      appends_started++;
      gate_.wait(lock, [&] { return open_gate; });
      if (disk_full) throw std::system_error(ENOSPC, std::generic_category(), "cannot write " + path);
      if (!files.contains(path)) return false;
      files[path] += text;
    }
    return true;
  }
  void set_gate(bool open) {
    std::scoped_lock lock(mutex_);
    open_gate = open;
    gate_.notify_all();
  }
  std::map<std::string, std::string> snapshot() {
    std::scoped_lock lock(mutex_);
    return files;
  }

  std::map<std::string, std::string> files;
  std::set<std::string> directories;
  bool fail_directories = false;
  bool read_only = false;  // as a directory without write permission behaves for an ordinary user
  bool disk_full = false;
  bool open_gate = true;
  std::atomic<int> appends_started{0};

 private:
  std::mutex mutex_;
  std::condition_variable gate_;
};

runtime_log::log_config everything_to_console() {
  runtime_log::log_config config = runtime_log::game_log_config;
  for (auto& kind : config.items) kind.log_to_console = true;
  return config;
}

// What a log writes to, in memory: files with faults on demand, a ticking clock and a console.
class LogInMemory : public ::testing::Test {
 protected:
  memory_store store_;
  ticking_clock clock_;
  std::ostringstream console_;
};

// The same on a real disk, in a scratch working directory.
class LogOnDisk : public ::testing::Test {
 protected:
  testing_support::temp_dir dir_;
  testing_support::scoped_cwd in_{dir_.path()};
  runtime_log::disk_store disk_;
  ticking_clock clock_;
  std::ostringstream console_;
};

TEST(LogFormat, EntryAndHeaderBytes) {
  const wall_time moment{2009, 3, 14, 9, 26, 53, 589};
  EXPECT_EQ(runtime_log::entry_line(rodzaj_wpisu::INFO, moment, "Start"),
            "Informacja   | 09:26:53  589 ms | Start");
  EXPECT_EQ(runtime_log::entry_line(rodzaj_wpisu::WARNING, moment, "x"),
            "Ostrzezenie  | 09:26:53  589 ms | x");
  EXPECT_EQ(runtime_log::entry_line(rodzaj_wpisu::ERROR, {2009, 1, 1, 0, 0, 0, 7}, ""),
            "Blad         | 00:00:00  007 ms | ");
  // Windows-1250 letters and line breaks pass through untouched.
  EXPECT_EQ(runtime_log::entry_line(rodzaj_wpisu::INFO, moment,
                                    "Symulacja Fizyki juz dzia\xB3"
                                    "a\nx"),
            "Informacja   | 09:26:53  589 ms | Symulacja Fizyki juz dzia\xB3"
            "a\nx");
  EXPECT_EQ(runtime_log::header.size(), 37u);
  EXPECT_EQ(runtime_log::header.find('|'), 13u);  // the header's bars line up with the entries' bars
  EXPECT_EQ(runtime_log::header.rfind('|'), 32u);
  EXPECT_EQ(runtime_log::entry_line(rodzaj_wpisu::INFO, moment, "").rfind('|'), 32u);
}

TEST(LogFormat, EveryDirectiveOfATimePicture) {
  struct rendered {
    const char* picture;
    wall_time moment;
    const char* text;
  };
  for (const auto& [picture, moment, text] : {
           rendered{"_%Y_%m_%d_%H-%M-%S-%i", {2009, 3, 14, 9, 26, 53, 589}, "_2009_03_14_09-26-53-589"},
           rendered{"_%Y_%m_%d_%H-%M-%S-%i", {1999, 12, 31, 23, 59, 59, 999}, "_1999_12_31_23-59-59-999"},
           rendered{"_%Y_%m_%d_%H-%M-%S-%i", {2010, 10, 10, 10, 10, 10, 10}, "_2010_10_10_10-10-10-010"},
           rendered{"%T  %i ms", {2009, 1, 1, 0, 0, 0, 7}, "00:00:00  007 ms"},
           rendered{"%T  %i ms", {2009, 1, 1, 21, 32, 43, 100}, "21:32:43  100 ms"},
           rendered{"%Y", {987, 1, 1, 0, 0, 0, 0}, "0987"},
           rendered{"%Q%%x%", {2009, 1, 1, 0, 0, 0, 0}, "%Q%%x%"},  // anything else is copied
           rendered{"%U%t%j%I%Z%y%n%e%D%N%s%h&T", {2009, 1, 1, 0, 0, 0, 0}, "%U%t%j%I%Z%y%n%e%D%N%s%h&T"},
           rendered{"", {2009, 1, 1, 0, 0, 0, 0}, ""},
       }) {
    EXPECT_EQ(runtime_log::format_time(picture, moment), text) << picture;
  }
}

TEST(LogFormat, LocalTimeOfAMoment) {
  // Both parts are cut down, never rounded: 1.7346 s is second 1, millisecond 734.
  const auto moment = std::chrono::system_clock::from_time_t(0) + 1734ms + 600us;
  const wall_time t = runtime_log::local_time(moment);
  EXPECT_EQ(t.millisecond, 734);
  std::time_t whole = 1;
  std::tm expected{};
  localtime_r(&whole, &expected);
  EXPECT_EQ(t.second, expected.tm_sec);
  EXPECT_EQ(t.minute, expected.tm_min);
  EXPECT_EQ(t.hour, expected.tm_hour);
  EXPECT_EQ(t.day, expected.tm_mday);
  EXPECT_EQ(t.month, expected.tm_mon + 1);
  EXPECT_EQ(t.year, expected.tm_year + 1900);
}

TEST(LogSink, AReportThatWritesAsItIsToldHasNothingToWaitFor) {
  // What a sink that only writes its reports does for the game's closing line.
  struct plain_sink final : runtime_log::sink {
    void info(std::string_view m) override { lines.push_back("I " + std::string(m)); }
    void warning(std::string_view m) override { lines.push_back("W " + std::string(m)); }
    void error(std::string_view m) override { lines.push_back("E " + std::string(m)); }
    std::vector<std::string> lines;
  } sink;
  EXPECT_TRUE(sink.flush());
  EXPECT_TRUE(sink.last_entry("koniec"));
  EXPECT_EQ(sink.lines, std::vector<std::string>{"I koniec"});
}

TEST_F(LogOnDisk, FirstEntryMakesTheDirectoryAndAFileWithItsHeader) {
  runtime_log::line_writer writer(disk_, clock_, console_);

  writer.log_line(rodzaj_wpisu::INFO, "Start");
  EXPECT_EQ(writer.log_file_name(), "logs/log_2009_03_14_09-26-53-589.log");
  EXPECT_EQ(testing_support::read_file(writer.log_file_name()),
            "Typ          |Data              |Opis\nInformacja   | 09:26:53  590 ms | Start\n");
  EXPECT_EQ(console_.str(), "");  // nothing of the game's log goes to the console
  // Anyone may read the log, only the player write it (what the umask allows of that).
  const mode_t umask = ::umask(0);
  ::umask(umask);
  struct stat made {};
  ASSERT_EQ(::stat(writer.log_file_name().c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0644u & ~umask);
}

TEST_F(LogInMemory, RotationEveryThousandLines) {
  runtime_log::line_writer writer(store_, clock_, console_);

  for (int i = 1; i <= 999; ++i) writer.log_line(rodzaj_wpisu::INFO, "wpis" + std::to_string(i));
  const std::string first = writer.log_file_name();
  const auto first_lines = lines_of(store_.files[first]);
  ASSERT_EQ(first_lines.size(), 1000u);
  EXPECT_EQ(first_lines[0], runtime_log::header);
  EXPECT_TRUE(first_lines[999].ends_with(" | wpis999"));
  EXPECT_EQ(writer.file_line_count(), 0);

  writer.log_line(rodzaj_wpisu::INFO, "wpis1000");
  ASSERT_NE(writer.log_file_name(), first);
  const auto second_lines = lines_of(store_.files[writer.log_file_name()]);
  ASSERT_EQ(second_lines.size(), 2u);
  EXPECT_EQ(second_lines[0], runtime_log::header);
  EXPECT_TRUE(second_lines[1].ends_with(" | wpis1000"));
  EXPECT_EQ(lines_of(store_.files[first]).size(), 1000u);  // the full file stays as it was
  EXPECT_EQ(store_.directories, (std::set<std::string>{"logs"}));
}

TEST_F(LogInMemory, AFullDayOfTakenNamesEndsTheLog) {
  // Every name refused, as in a folder filled by a clock set back again and again: 999 names are tried,
  // the plain one and _2 to _999, and then the log gives up.
  struct full_store final : runtime_log::file_store {
    void make_directories(const std::string&) override {}
    bool create_exclusive(const std::string& path, std::string_view) override {
      tried.push_back(path);
      return false;
    }
    bool append_existing(const std::string&, std::string_view) override { return false; }
    std::vector<std::string> tried;
  } full;
  runtime_log::line_writer writer(full, clock_, console_);
  try {
    writer.log_line(rodzaj_wpisu::INFO, "a");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "no free log file name beside logs/log_2009_03_14_09-26-53-589_999.log");
  }
  ASSERT_EQ(full.tried.size(), 999u);
  EXPECT_EQ(full.tried[0], "logs/log_2009_03_14_09-26-53-589.log");
  EXPECT_EQ(full.tried[1], "logs/log_2009_03_14_09-26-53-589_2.log");
  EXPECT_EQ(full.tried[998], "logs/log_2009_03_14_09-26-53-589_999.log");
}

TEST_F(LogInMemory, ATakenNameKeepsItsFileAndTheNewFileGetsACounter) {
  clock_.stand_still();  // every file name is the same
  store_.files["logs/log_2009_03_14_09-26-53-589.log"] = "an earlier run\n";
  runtime_log::line_writer writer(store_, clock_, console_);

  writer.log_line(rodzaj_wpisu::INFO, "a");
  EXPECT_EQ(writer.log_file_name(), "logs/log_2009_03_14_09-26-53-589_2.log");
  EXPECT_EQ(store_.files["logs/log_2009_03_14_09-26-53-589.log"], "an earlier run\n");
  EXPECT_EQ(lines_of(store_.files[writer.log_file_name()]).size(), 2u);
}

TEST_F(LogOnDisk, DeletedCurrentFileIsReplacedAndLoggingGoesOn) {
  runtime_log::line_writer writer(disk_, clock_, console_);

  writer.log_line(rodzaj_wpisu::INFO, "przed");
  const std::string deleted = writer.log_file_name();
  std::filesystem::remove(deleted);
  writer.log_line(rodzaj_wpisu::WARNING, "po");
  ASSERT_NE(writer.log_file_name(), deleted);
  const auto lines = lines_of(testing_support::read_file(writer.log_file_name()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], runtime_log::header);
  EXPECT_TRUE(lines[1].starts_with("Ostrzezenie  | ") && lines[1].ends_with(" | po"));
  // The replacement's first entry is stamped after the file was made, never before its name's moment.
  const std::string named_ms = writer.log_file_name().substr(writer.log_file_name().size() - 7, 3);
  EXPECT_GT(lines[1].substr(25, 3), named_ms) << writer.log_file_name() << " holds " << lines[1];
  writer.log_line(rodzaj_wpisu::INFO, "dalej");
  EXPECT_EQ(lines_of(testing_support::read_file(writer.log_file_name())).size(), 3u);
}

std::size_t open_descriptors() {
  return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// What a file operation of the log's disk store threw, or "" when it threw nothing.
template <class Operation>
std::string thrown(Operation operation) {
  try {
    operation();
    return "";
  } catch (const std::system_error& e) {
    return e.what();
  }
}

TEST(LogFiles, EveryFailureOfTheDiskIsNamedAndKeepsOnlyWholeLines) {
  testing_support::temp_dir dir;
  const std::string path = (dir / "log.txt").string(), folder = dir.path().string();
  runtime_log::disk_store disk;
  ASSERT_TRUE(disk.create_exclusive(path, "header\n"));
  EXPECT_FALSE(disk.create_exclusive(path, "other\n"));                       // a name taken is no failure
  EXPECT_FALSE(disk.append_existing((dir / "missing.txt").string(), "x\n"));  // nor a file gone
  EXPECT_EQ(thrown([&] { disk.create_exclusive(folder + "/none/log.txt", "h\n"); }),
            "cannot create " + folder + "/none/log.txt: No such file or directory");
  EXPECT_EQ(thrown([&] { disk.append_existing(folder, "x\n"); }),
            "cannot open " + folder + ": Is a directory");

  // A write that fails part way is undone: a file size limit of 4 kB makes the kernel refuse the rest. The
  // limit is per process: it is set and restored around these writes only.
  std::string big(1 << 20, 'x');
  big += '\n';
  const std::size_t descriptors = open_descriptors();
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  const rlimit small{4096, old.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string appended = thrown([&] { disk.append_existing(path, big); });
  const std::string created = thrown([&] { disk.create_exclusive(folder + "/big.txt", big); });
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(appended, "cannot write " + path + ": File too large");
  EXPECT_EQ(testing_support::read_file(path), "header\n");
  EXPECT_EQ(created, "cannot write " + folder + "/big.txt: File too large");
  EXPECT_FALSE(std::filesystem::exists(dir / "big.txt")) << "a file with half a header is not left behind";
  EXPECT_EQ(open_descriptors(), descriptors) << "a failed write leaves its file open";

  // A game started with its standard input closed gets descriptor 0 for its log file: it must use it, and
  // close it after a failed write too.
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(0);
    const bool made = disk.create_exclusive(folder + "/zero.txt", "header\n") &&
                      disk.append_existing(folder + "/zero.txt", "line\n") && ::fcntl(0, F_GETFD) == -1;
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit tiny{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    const bool refused = !thrown([&] { disk.append_existing(folder + "/zero.txt", big); }).empty();
    ::_exit(made && refused && ::fcntl(0, F_GETFD) == -1 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "descriptor 0 refused, or left open";
  EXPECT_EQ(testing_support::read_file(dir / "zero.txt"), "header\nline\n");
}

TEST_F(LogInMemory, BlocksOfTwentyLinesForKindsThatAskForIt) {
  runtime_log::line_writer writer(store_, clock_, console_, everything_to_console());
  for (int i = 1; i <= 40; ++i) writer.log_line(rodzaj_wpisu::ERROR, std::to_string(i));
  const auto lines = lines_of(console_.str());
  ASSERT_EQ(lines.size(), 43u);
  EXPECT_EQ(lines[0], runtime_log::header);
  EXPECT_TRUE(lines[19].ends_with(" | 19"));
  EXPECT_EQ(lines[20], runtime_log::header);
  EXPECT_TRUE(lines[21].ends_with(" | 20"));
  EXPECT_EQ(lines[40], runtime_log::header);
  EXPECT_TRUE(lines[42].starts_with("Blad         | ") && lines[42].ends_with(" | 40"));
}

// --- the log thread ---------------------------------------------------------------------------------------

TEST_F(LogInMemory, CallerIsHeldOnlyForTheCopyOfItsMessage) {
  runtime_log::log_thread log(store_, clock_, console_);
  log.launch();
  log.info("pierwszy");  // makes the file
  ASSERT_TRUE(log.flush());

  store_.set_gate(false);  // the disk stalls
  std::string message = "drugi";
  log.info(message);
  message = "zmieniony";  // the caller may reuse its text at once
  while (store_.appends_started < 2) std::this_thread::yield();
  // The report returned while its line is still waiting for the disk.
  EXPECT_EQ(lines_of(store_.snapshot().begin()->second).size(), 2u);
  store_.set_gate(true);
  ASSERT_TRUE(log.flush());
  const auto lines = lines_of(store_.snapshot().begin()->second);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[2].ends_with(" | drugi"));
}

TEST_F(LogInMemory, TheLastEntryIsWrittenBeforeItReturnsAndNothingFollowsIt) {
  runtime_log::log_thread log(store_, clock_, console_);
  log.launch();
  log.info("przed");
  log.warning("uwaga");
  EXPECT_TRUE(
      log.last_entry("Zako\xF1"
                     "czono dzialanie programu"));
  const auto written = store_.snapshot();  // no flush: the entry is already in the file
  const auto lines = lines_of(written.begin()->second);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[2].starts_with("Ostrzezenie  | ")) << lines[2];  // each entry of its own kind
  EXPECT_EQ(lines[3],
            "Informacja   | 09:26:53  592 ms | Zako\xF1"
            "czono dzialanie programu");

  log.error("po zamknieciu");  // a thread that reports afterwards is neither blocked nor written
  EXPECT_FALSE(log.flush());
  EXPECT_FALSE(log.running());
  EXPECT_EQ(store_.snapshot(), written);
  EXPECT_EQ(console_.str(), "");
}

TEST_F(LogInMemory, FailureIsReportedOnStandardOutputAndLaterReportsReturnAtOnce) {
  store_.fail_directories = true;
  runtime_log::log_thread log(store_, clock_, console_);
  log.launch();
  log.info("nie zostanie zapisany");
  while (log.running()) std::this_thread::yield();
  const auto lines = lines_of(console_.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Log sie zespula");
  EXPECT_EQ(lines[1], "std::filesystem::__cxx11::filesystem_error");
  EXPECT_NE(lines[2].find("logs"), std::string::npos);

  // A dead log never blocks nor throws in its callers.
  log.info("a");
  log.warning("b");
  log.error("c");
  EXPECT_FALSE(log.flush());
  EXPECT_TRUE(store_.files.empty());
}

TEST_F(LogInMemory, FullDiskEndsTheLogAndKeepsEveryEarlierLine) {
  runtime_log::log_thread log(store_, clock_, console_);
  log.launch();
  for (int i = 0; i < 5; ++i) log.info("wpis" + std::to_string(i));
  ASSERT_TRUE(log.flush());
  const auto before = store_.snapshot();

  store_.disk_full = true;
  log.info("brak miejsca");
  EXPECT_FALSE(log.flush());
  EXPECT_EQ(lines_of(console_.str())[0], "Log sie zespula");
  store_.disk_full = false;
  log.info("po naprawie");  // the log has ended: nothing more is written, nothing earlier is touched
  EXPECT_EQ(store_.snapshot(), before);
}

TEST_F(LogInMemory, UnwritableDirectoryEndsTheLogWithoutBlockingAnyone) {
  store_.read_only = true;
  runtime_log::log_thread log(store_, clock_, console_);
  log.launch();
  // Several threads report at once while the log fails under them: none of them blocks or throws.
  std::vector<std::jthread> reporters;
  for (int t = 0; t < 4; ++t)
    reporters.emplace_back([&log, t] {
      for (int i = 0; i < 50; ++i) log.info("watek " + std::to_string(t));
    });
  reporters.clear();
  EXPECT_FALSE(log.flush());
  const auto lines = lines_of(console_.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Log sie zespula");
  EXPECT_EQ(lines[1], "std::system_error");
  EXPECT_EQ(lines[2], "cannot create logs/log_2009_03_14_09-26-53-589.log: Permission denied");
}

TEST_F(LogOnDisk, DeletedCurrentFileOnDiskLosesNoLine) {
  runtime_log::log_thread log(disk_, clock_, console_);
  log.launch();
  for (int i = 0; i < 3; ++i) log.info("przed " + std::to_string(i));
  ASSERT_TRUE(log.flush());
  auto files = testing_support::log_files_in(dir_.path());
  ASSERT_EQ(files.size(), 1u);
  std::filesystem::rename(files[0], dir_ / "kopia.log");  // the player moves the file away while playing
  for (int i = 0; i < 3; ++i) log.info("po " + std::to_string(i));
  ASSERT_TRUE(log.flush());
  EXPECT_TRUE(log.running());

  files = testing_support::log_files_in(dir_.path());
  ASSERT_EQ(files.size(), 1u);
  const auto moved = lines_of(testing_support::read_file(dir_ / "kopia.log"));
  const auto fresh = lines_of(testing_support::read_file(files[0]));
  ASSERT_EQ(moved.size(), 4u);
  ASSERT_EQ(fresh.size(), 4u);
  EXPECT_TRUE(moved[3].ends_with(" | przed 2"));
  EXPECT_EQ(fresh[0], runtime_log::header);
  EXPECT_TRUE(fresh[1].ends_with(" | po 0"));
  EXPECT_TRUE(fresh[3].ends_with(" | po 2"));
  EXPECT_EQ(console_.str(), "");
}

TEST_F(LogOnDisk, LogsPathThatIsAFileEndsTheLogOnRealDisk) {
  testing_support::write_file(dir_ / "logs", "not a directory");
  runtime_log::log_thread log(disk_, clock_, console_);
  log.launch();
  log.error("x");
  EXPECT_FALSE(log.flush());
  EXPECT_EQ(lines_of(console_.str()).at(0), "Log sie zespula");
  EXPECT_EQ(testing_support::read_file(dir_ / "logs"), "not a directory");
}

}  // namespace
