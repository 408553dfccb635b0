// Time and chance, as the game's periodic threads see them, behind small interfaces so that tests can run
// the same logic on fake time and chosen random numbers, with no real sleeps.
//
// Periods and deadlines use the steady clock: a wall clock that is set back or forward while the game runs
// must not stall the physics or make it race. Wall-clock (calendar) time is used only for what the player
// sees: log stamps, log file names and the heads-up times.
//
// Thread use: a `precise_sleeper` learns the wake-up lateness of the thread that sleeps on it, so each
// periodic thread owns its own. `manual_time` and `scripted_random` are for single-threaded tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace common {

using steady_time = std::chrono::steady_clock::time_point;

class clock {
 public:
  virtual ~clock() = default;
  virtual steady_time now() = 0;
};

class sleeper {
 public:
  virtual ~sleeper() = default;
  // Returns at once when the deadline has passed: late ticks are never made up.
  virtual void sleep_until(steady_time deadline) = 0;
  virtual void sleep_for(std::chrono::nanoseconds span) = 0;
  // Like sleep_until, for a wait whose exact end matters to nobody: it may end some tens of microseconds
  // late, and costs no CPU meanwhile.
  virtual void rest_until(steady_time deadline) { sleep_until(deadline); }
};

class steady_clock_source final : public clock {
 public:
  steady_time now() override { return std::chrono::steady_clock::now(); }
};

// Sleeps until a deadline with microsecond accuracy at almost no CPU cost. The kernel wakes a sleeping thread
// some tens of microseconds late; at a 1 ms period that alone would cost the physics about 5 % of its ticks.
// So this sleeper asks to be woken early by the lateness it has seen lately and spins the last few
// microseconds.
class precise_sleeper final : public sleeper {
 public:
  void sleep_until(steady_time deadline) override;
  void sleep_for(std::chrono::nanoseconds span) override;
  // Sleeps without the early wake-up and the spin.
  void rest_until(steady_time deadline) override;

  std::chrono::nanoseconds wake_margin() const { return margin_; }

 private:
  std::chrono::nanoseconds margin_{std::chrono::microseconds(50)};
  bool slack_set_ = false;
};

// Fake time for tests: it stands still until someone sleeps, and sleeping moves it on at once.
class manual_time final : public clock, public sleeper {
 public:
  explicit manual_time(steady_time start = steady_time{}) : now_(start) {}

  steady_time now() override { return now_; }
  void sleep_until(steady_time deadline) override;
  void sleep_for(std::chrono::nanoseconds span) override;
  void rest_until(steady_time deadline) override;
  void advance(std::chrono::nanoseconds span) { now_ += span; }

  // Every sleep, rests included.
  int sleeps() const { return sleeps_; }
  int rests() const { return rests_; }
  // The sleeps made with sleep_for, in order (the physics' pause after a lost ball is one).
  const std::vector<std::chrono::nanoseconds>& pauses() const { return pauses_; }

 private:
  steady_time now_;
  int sleeps_ = 0;
  int rests_ = 0;
  std::vector<std::chrono::nanoseconds> pauses_;
};

// The kernel's time slice for the calling thread, in nanoseconds (0 where the kernel tells none).
std::uint64_t time_slice();
// Asks the kernel for short time slices for the calling thread, which keeps its policy and nice value, so
// that its wake-ups are served promptly. Best effort: a kernel without custom slices ignores it.
void ask_for_short_slices();

// A float of the closed interval [0, 1] from 64 random bits: 0 and 1 included, all values equally likely.
float closed_unit(std::uint64_t bits);

// A uniform source of floats u with 0.0 <= u <= 1.0.
class random_source {
 public:
  virtual ~random_source() = default;
  virtual float uniform() = 0;
};

// A fresh, time-dependent seed: the clock's nanoseconds mixed so that seeds taken close together differ.
std::uint64_t clock_seed();

class seeded_random final : public random_source {
 public:
  explicit seeded_random(std::uint64_t seed = clock_seed()) : engine_(seed) {}
  float uniform() override;

 private:
  std::mt19937_64 engine_;
};

// Hands out the numbers it was given, in order, then repeats the last one (tests).
class scripted_random final : public random_source {
 public:
  explicit scripted_random(std::vector<float> values) : values_(std::move(values)) {}
  float uniform() override;
  int draws() const { return draws_; }

 private:
  std::vector<float> values_;
  std::size_t next_ = 0;
  int draws_ = 0;
};

}  // namespace common
