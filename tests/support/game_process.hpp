// Running the built game for real: a private Xvfb server, the game as a child process in a scratch working
// directory, its log files, and the X tools (xdotool, xwininfo, import) that drive and look at its window.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"
#include "support/waiting.hpp"

namespace testing_support {

using namespace std::chrono_literals;

// Output of a shell command (stdout only), and whether it succeeded.
struct command_result {
  int status = -1;
  std::string output;
};

inline command_result run_command(const std::string& command) {
  command_result result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A word for the shell, quoted so that blanks, parentheses and quotes in it stay literal.
inline std::string shell_quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// In a forked child: ends the child when the test program ends, however it ends, so that no X server or
// game is left running behind a test that crashed or was killed.
inline void die_with(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(1);  // the parent went before the request took hold
}

// A private X server for one test program; its display name is set in DISPLAY for the children while it
// runs, and the DISPLAY from before it is back once it has gone, so that no later test talks to a server
// that is no more.
class xvfb_server {
 public:
  explicit xvfb_server(const std::string& geometry = "1024x768x24") {
    if (const char* before = std::getenv("DISPLAY")) display_before_ = before;
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      die_with(parent);
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(), "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    display_ = ":" + number;
    ::setenv("DISPLAY", display_.c_str(), 1);
  }
  xvfb_server(const xvfb_server&) = delete;
  xvfb_server& operator=(const xvfb_server&) = delete;
  ~xvfb_server() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (display_before_)
      ::setenv("DISPLAY", display_before_->c_str(), 1);
    else
      ::unsetenv("DISPLAY");
  }
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::optional<std::string> display_before_;
};

// What a program run by a test left on its standard error, and how it ended. A sanitizer writes its report
// there and ends the program at once (ThreadSanitizer with status 66): without this a game it stopped only
// looks stuck to the test that waits for it.
struct ended_program {
  std::string command;             // the program and its arguments
  std::optional<int> exit_status;  // none: still running when the test ended it
  std::string standard_error;
};

// Told of every `child_process` as it goes, with the program ended; none by default. The display tests keep
// what it is told and show it when a test fails.
inline std::function<void(ended_program)> on_program_ended;

// One run of a program, in its own working directory, with its standard output and standard error kept in
// files there (stdout.txt, stderr.txt), and the test's environment with `environment`'s "NAME=value" entries
// in place of their own.
class child_process {
 public:
  // `input`, when given, is what the program reads on its standard input.
  child_process(const std::string& program, const std::filesystem::path& working_dir,
                const std::vector<std::string>& arguments = {},
                const std::vector<std::string>& environment = {}, const std::string& input = "")
      : stdout_path_(working_dir / "stdout.txt"), stderr_path_(working_dir / "stderr.txt") {
    const std::filesystem::path input_path = working_dir / "stdin.txt";
    if (!input.empty()) write_file(input_path, input);
    command_ = program;
    for (const auto& a : arguments) command_ += " " + a;
    // Made before the fork: the child of a threaded test may only exec.
    std::vector<std::string> variables(environment);
    for (char** v = environ; *v != nullptr; ++v) {
      const std::string entry(*v);
      const std::string name = entry.substr(0, entry.find('=') + 1);
      if (std::none_of(environment.begin(), environment.end(),
                       [&](const std::string& e) { return e.starts_with(name); }))
        variables.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      die_with(parent);
      std::filesystem::current_path(working_dir);
      const int out = ::open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      const int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      if (!input.empty()) ::dup2(::open(input_path.c_str(), O_RDONLY), 0);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (!on_program_ended) return;
    try {
      on_program_ended({command_, exit_status_, standard_error()});
    } catch (...) {
      // Only a failed test would have shown it.
    }
  }

  pid_t pid() const { return pid_; }
  bool running() {
    if (exit_status_) return false;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return false;
    }
    return true;
  }
  // The exit status once the process has ended within `limit` (128 + signal for a killed process).
  std::optional<int> wait_for_exit(std::chrono::milliseconds limit) {
    eventually([&] { return !running(); }, limit, 20ms);
    return exit_status_;
  }
  std::string standard_output() const { return read_file(stdout_path_); }
  std::string standard_error() const { return read_file(stderr_path_); }

 private:
  pid_t pid_ = -1;
  std::string command_;
  std::filesystem::path stdout_path_;
  std::filesystem::path stderr_path_;
  std::optional<int> exit_status_;
};

inline std::vector<std::filesystem::path> log_files(const std::filesystem::path& working_dir) {
  return log_files_in(working_dir);
}

// The messages of every log entry of a working directory, in order (the part after the second " | ").
inline std::vector<std::string> log_messages(const std::filesystem::path& working_dir) {
  std::vector<std::string> messages;
  for (const auto& file : log_files(working_dir)) {
    const auto lines = lines_of(read_file(file));
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const std::size_t second = lines[i].find(" | ", 15);
      messages.push_back(second == std::string::npos ? lines[i] : lines[i].substr(second + 3));
    }
  }
  return messages;
}

inline bool log_contains(const std::filesystem::path& working_dir, const std::string& message) {
  for (const auto& m : log_messages(working_dir))
    if (m == message) return true;
  return false;
}

}  // namespace testing_support
