// How close the physics thread keeps to its 1000 ticks a second: the real thread, the real clock and the
// game's sleeper, ticking a ball that bounces for ever inside a box of firm bricks, for a few seconds.
// For comparison, the same thread with a plain sleep_until, as a bare loop would do.
//
//   physics_rate [seconds per run, default 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "physics/process_physics.hpp"
#include "support/quiet_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;

// Notes the length of every period, from one wake-up to the next; the measured sleeper does the sleeping.
class period_meter final : public common::sleeper {
 public:
  explicit period_meter(common::sleeper& inner) : inner_(inner) { periods_.reserve(1 << 20); }
  void sleep_until(common::steady_time deadline) override {
    inner_.sleep_until(deadline);
    const auto now = std::chrono::steady_clock::now();
    if (recording_ && last_ != common::steady_time{}) periods_.push_back(now - last_);
    last_ = now;
  }
  void sleep_for(std::chrono::nanoseconds span) override { inner_.sleep_for(span); }
  void record() { recording_ = true; }  // from the main thread, before the periods are wanted
  std::vector<std::chrono::nanoseconds> periods() const { return periods_; }

 private:
  common::sleeper& inner_;
  std::vector<std::chrono::nanoseconds> periods_;
  common::steady_time last_{};
  std::atomic<bool> recording_{false};
};

class plain_sleeper final : public common::sleeper {
 public:
  void sleep_until(common::steady_time deadline) override { std::this_thread::sleep_until(deadline); }
  void sleep_for(std::chrono::nanoseconds span) override { std::this_thread::sleep_for(span); }
};

void measure(const char* name, common::sleeper& sleeper, const std::string& boards, double seconds) {
  testing_support::quiet_log log{testing_support::quiet_log::echo::on_standard_error};
  state::board_monitor board{log, boards};
  state::players_monitor players;
  common::steady_clock_source clock;
  period_meter meter(sleeper);
  double rate = 0.0;
  {
    physics::physics_thread physics{{board, players, log, meter}, clock, meter};
    physics.launch();
    if (!physics.init() || !physics.start()) {
      std::fprintf(stderr, "the physics thread did not start\n");
      std::exit(1);
    }
    std::this_thread::sleep_for(200ms);  // let the sleeper learn its wake-ups
    meter.record();
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t n0 = physics.ticks();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t n1 = physics.ticks();
    const auto t1 = std::chrono::steady_clock::now();
    rate = static_cast<double>(n1 - n0) / std::chrono::duration<double>(t1 - t0).count();
  }  // the thread is stopped and joined here, so its periods can be read
  std::vector<std::chrono::nanoseconds> periods = meter.periods();
  std::sort(periods.begin(), periods.end());
  const auto at = [&](double q) {
    return periods.empty() ? 0.0
                           : std::chrono::duration<double, std::micro>(
                                 periods[static_cast<std::size_t>(q * (periods.size() - 1))])
                                 .count();
  };
  std::printf("%-22s %8.1f ticks/s   period us: median %7.1f  p99 %7.1f  p99.9 %7.1f  max %8.1f\n", name,
              rate, at(0.5), at(0.99), at(0.999), at(1.0));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  testing_support::temp_dir dir;
  std::string box;
  for (int row = 1; row <= 20; ++row)
    box += (row == 3 || row == 18 ? std::string(20, 'X') : "X" + std::string(18, ' ') + "X") + "\n";
  testing_support::write_file(dir / "board (0).txt", box);
  const std::string boards = dir.path().string() + "/";

  std::printf("load average before: %s   (%u cores)\n", bench::load_average().c_str(),
              std::thread::hardware_concurrency());
  common::precise_sleeper precise;
  measure("game sleeper (precise)", precise, boards, seconds);
  plain_sleeper plain;
  measure("plain sleep_until", plain, boards, seconds);
  std::printf("load average after:  %s\n", bench::load_average().c_str());
  return 0;
}
