// A log for tests and benchmarks that run the game's logic for long: its ordinary reports are let go, and
// only what went wrong (warnings and errors) is kept, and printed on standard error when asked.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/runtime_log.hpp"

namespace testing_support {

class quiet_log final : public runtime_log::sink {
 public:
  enum class echo : bool { no, on_standard_error };
  explicit quiet_log(echo e = echo::no) : echo_(e) {}

  void info(std::string_view) override {}
  void warning(std::string_view m) override { keep(m); }
  void error(std::string_view m) override { keep(m); }
  bool flush() override { return true; }

  std::vector<std::string> problems() const {
    std::scoped_lock lock(mutex_);
    return problems_;
  }

 private:
  void keep(std::string_view m) {
    if (echo_ == echo::on_standard_error)
      std::fprintf(stderr, "%.*s\n", static_cast<int>(m.size()), m.data());
    std::scoped_lock lock(mutex_);
    problems_.emplace_back(m);
  }

  echo echo_;
  mutable std::mutex mutex_;
  std::vector<std::string> problems_;
};

}  // namespace testing_support
