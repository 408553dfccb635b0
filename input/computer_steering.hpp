// The computer player: steers the green pad by holding the pseudo-keys 231 (left) and 232 (right), which
// the input thread reads like any other keys while the green player's preset is COMPUTER.
//
// The thread `computer_steering` starts in Manual mode and waits for a request. `enable` switches it to
// Automatic: one cycle every 10 ms in which it fails with probability 0.4 (both keys let go) or chases the
// ball's x with a dead zone of a quarter of the pad's width. `disable` switches it back. Both are accepted in
// both modes; only a real switch is logged.
//
// Thread use: `cycle` is plain code over the monitors of a `world` and an injected random source. `enable`
// and `disable` from any thread; after the thread has ended they return false at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <thread>

#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "input/process_input.hpp"
#include "log/runtime_log.hpp"
#include "state/game_state.hpp"

namespace computer {

struct world {
  state::board_monitor& board;
  input::keyboard_monitor& keys;
};

// One Automatic cycle's keys.
void cycle(const world& w, common::random_source& random);

class computer_thread {
 public:
  // `random` is null for the game: the thread then seeds its own generator from the clock when it begins.
  computer_thread(world w, runtime_log::sink& log, common::clock& clock,
                  std::unique_ptr<common::random_source> random = nullptr);
  computer_thread(const computer_thread&) = delete;
  computer_thread& operator=(const computer_thread&) = delete;

  // Starts the thread in Manual mode. Once only.
  void launch();
  // Requests; false when the thread has ended.
  bool enable();
  bool disable();

  std::uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }

 private:
  enum class request : std::uint8_t { enable, disable };
  void run(std::stop_token stop);

  world world_;
  runtime_log::sink& log_;
  common::clock& clock_;
  std::unique_ptr<common::random_source> random_;
  common::request_box<request> box_;
  std::atomic<std::uint64_t> cycles_{0};
  std::jthread thread_;
};

inline common::game_object<computer_thread> computer_steering;

}  // namespace computer
