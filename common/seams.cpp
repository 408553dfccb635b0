#include "common/seams.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace common {

namespace {

using namespace std::chrono_literals;

// Largest early wake-up: beyond this the kernel is having a bad moment, not a habit worth learning.
constexpr std::chrono::nanoseconds max_margin = 200us;
// Extra early wake-up over the mean lateness, so that most wake-ups land just before the deadline.
constexpr std::chrono::nanoseconds margin_cushion = 8us;

void sleep_on_monotonic_clock(steady_time deadline) {
  // std::chrono::steady_clock is CLOCK_MONOTONIC in libstdc++ on Linux.
  const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
  timespec at{};
  at.tv_sec = static_cast<time_t>(since_epoch.count() / 1'000'000'000);
  at.tv_nsec = static_cast<long>(since_epoch.count() % 1'000'000'000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// The kernel's struct sched_attr, which the C library does not declare.
struct scheduling {
  std::uint32_t size, sched_policy;
  std::uint64_t sched_flags;
  std::int32_t sched_nice;
  std::uint32_t sched_priority;
  std::uint64_t sched_runtime, sched_deadline, sched_period;
  std::uint32_t sched_util_min, sched_util_max;
};

bool read_scheduling(scheduling& attr) {
  return syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0;
}

void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void precise_sleeper::sleep_until(steady_time deadline) {
  if (!slack_set_) {
    // Timer slack is per thread: ask the kernel not to batch this thread's wake-ups with others.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    slack_set_ = true;
  }
  const steady_time start = std::chrono::steady_clock::now();
  if (deadline <= start) return;

  const steady_time wake = deadline - margin_;
  if (wake > start) {
    sleep_on_monotonic_clock(wake);
    // Learn slowly, and from each wake-up at most the largest margin: one wake-up that was milliseconds
    // late must not make every later tick spin long.
    const auto lateness =
        std::min<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - wake, max_margin);
    const auto learned = (margin_ * 15 + (lateness + margin_cushion)) / 16;
    margin_ = std::clamp<std::chrono::nanoseconds>(learned, 0ns, max_margin);
  }
  while (std::chrono::steady_clock::now() < deadline) spin_pause();
}

void precise_sleeper::rest_until(steady_time deadline) {
  if (deadline > std::chrono::steady_clock::now()) sleep_on_monotonic_clock(deadline);
}

void precise_sleeper::sleep_for(std::chrono::nanoseconds span) {
  if (span <= 0ns) return;
  sleep_on_monotonic_clock(std::chrono::steady_clock::now() + span);
}

std::uint64_t time_slice() {
  scheduling attr{};
  return read_scheduling(attr) ? attr.sched_runtime : 0;
}

void ask_for_short_slices() {
  scheduling attr{};
  if (!read_scheduling(attr) || attr.sched_policy != SCHED_OTHER) return;
  attr.size = sizeof attr;
  attr.sched_flags = 0;
  attr.sched_runtime = 100'000;  // ns: the shortest slice the kernel grants
  static_cast<void>(syscall(SYS_sched_setattr, 0, &attr, 0));
}

void manual_time::sleep_until(steady_time deadline) {
  ++sleeps_;
  if (deadline > now_) now_ = deadline;
}

void manual_time::rest_until(steady_time deadline) {
  ++rests_;
  sleep_until(deadline);
}

void manual_time::sleep_for(std::chrono::nanoseconds span) {
  ++sleeps_;
  pauses_.push_back(span);
  if (span > 0ns) now_ += span;
}

std::uint64_t clock_seed() {
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  const auto steady = std::chrono::steady_clock::now().time_since_epoch().count();
  // splitmix64 finaliser: neighbouring clock readings give unrelated seeds.
  std::uint64_t z = static_cast<std::uint64_t>(wall) ^ (static_cast<std::uint64_t>(steady) << 1);
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

float closed_unit(std::uint64_t bits) {
  // 2^24 + 1 equally spaced values, all exact in a float; of 2^64 inputs each value takes the same share
  // but for one in 2^40.
  constexpr std::uint64_t steps = (std::uint64_t{1} << 24) + 1;
  return static_cast<float>(bits % steps) / static_cast<float>(steps - 1);
}

float seeded_random::uniform() {
  return closed_unit(engine_());
}

float scripted_random::uniform() {
  if (values_.empty()) throw std::logic_error("scripted_random has no values");
  ++draws_;
  const float value = values_[std::min(next_, values_.size() - 1)];
  if (next_ < values_.size()) ++next_;
  return value;
}

}  // namespace common
