// Fake time for a thread under test: when the thread sleeps it parks until the test lets it go, and its
// clock moves only when a sleep ends. Every deadline asked for is kept, so a test can read a thread's
// period off them without a real sleep. Call `run_free` before the thread is stopped, or it stays parked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/seams.hpp"

namespace testing_support {

class stepped_time final : public common::clock, public common::sleeper {
 public:
  common::steady_time now() override {
    std::scoped_lock lock(mutex_);
    return now_;
  }
  void sleep_until(common::steady_time deadline) override { park(deadline); }
  void sleep_for(std::chrono::nanoseconds span) override { park(now() + span); }

  // Test side: waits until the thread has asked for `count` sleeps in all; false after `limit`.
  bool wait_for_sleeps(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return deadlines_.size() >= count; });
  }
  // Lets the parked thread go: its sleep ends `late` after its deadline (or now, if that is later).
  void release(std::chrono::nanoseconds late = {}) {
    std::scoped_lock lock(mutex_);
    const common::steady_time woken = deadlines_.back() + late;
    if (woken > now_) now_ = woken;
    ++released_;
    changed_.notify_all();
  }
  std::vector<common::steady_time> deadlines() {
    std::scoped_lock lock(mutex_);
    return deadlines_;
  }
  // From now on sleeps return at once, so that the thread can see its stop request and end.
  void run_free() {
    std::scoped_lock lock(mutex_);
    free_ = true;
    changed_.notify_all();
  }

 private:
  void park(common::steady_time deadline) {
    std::unique_lock lock(mutex_);
    deadlines_.push_back(deadline);
    changed_.notify_all();
    const std::size_t mine = deadlines_.size();
    changed_.wait(lock, [&] { return free_ || released_ >= mine; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  common::steady_time now_{std::chrono::seconds(1000)};
  std::vector<common::steady_time> deadlines_;
  std::size_t released_ = 0;
  bool free_ = false;
};

}  // namespace testing_support
