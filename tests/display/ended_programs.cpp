// Every program a display test runs leaves its standard error behind; when the test fails, each one's is
// shown after the failure with how the program ended, so that a sanitizer's report that stopped a game is
// never lost with the test's scratch directory. A report fails the test by itself, like the soak's: a game
// that a report stopped just before the test would have ended it anyway passes every other check. Runs on
// the test program's main thread, which alone starts and ends the games.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/game_process.hpp"

namespace {

using testing_support::ended_program;

class ended_programs final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    ended_.clear();
    testing_support::on_program_ended = [this](ended_program p) {
      if (p.standard_error.find("Sanitizer") != std::string::npos)
        ADD_FAILURE() << p.command << ": a sanitizer's report on its standard error (shown below)";
      ended_.push_back(std::move(p));
    };
  }

  // Called before the test's "[  FAILED  ]" line: listeners hear a test's end in reverse order.
  void OnTestEnd(const ::testing::TestInfo& test) override {
    testing_support::on_program_ended = nullptr;
    if (test.result()->Failed()) {
      for (const ended_program& p : ended_) {
        const std::string how = p.exit_status ? "ended with status " + std::to_string(*p.exit_status)
                                              : std::string("was still running; the test ended it");
        std::printf("---- %s\n     %s; its standard error%s\n%s", p.command.c_str(), how.c_str(),
                    p.standard_error.empty() ? " was empty" : ":", p.standard_error.c_str());
        if (!p.standard_error.empty() && !p.standard_error.ends_with('\n')) std::printf("\n");
      }
      std::fflush(stdout);
    }
    ended_.clear();
  }

 private:
  std::vector<ended_program> ended_;
};

[[maybe_unused]] const bool listening = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ended_programs);
  return true;
}();

}  // namespace
