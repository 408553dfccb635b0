// Input: which keys are held, and the thread that turns held keys into pad moves and zoom.
//
// `keyboard_state` records key codes going down and up: real keys from the window, two pseudo-keys from the
// joystick (229, 230) and two from the computer player (231, 232). The input thread `processing_input`
// samples it every 10 ms: for each player the left then the right key of the player's preset moves the pad
// one step, and '+', '=' and '-' zoom the camera. Pads therefore move at a speed set by the sampling period
// alone, however fast the keyboard repeats.
//
// Thread use: the keyboard monitor from any thread. `sample` is plain code over the monitors of a `world`;
// each key test and each move is its own monitor call, never two locks at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <thread>

#include "common/common_data.hpp"
#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "state/game_state.hpp"

namespace input {

class keyboard_monitor {
 public:
  keyboard_monitor() = default;
  keyboard_monitor(const keyboard_monitor&) = delete;
  keyboard_monitor& operator=(const keyboard_monitor&) = delete;

  // Codes exactly as delivered: 'a' and 'A' are different keys.
  void set_key_down(unsigned char key);
  void set_key_up(unsigned char key);
  bool is_key_down(unsigned char key) const;

 private:
  mutable std::mutex mutex_;
  std::array<bool, 256> keyboard_{};
};

inline common::game_object<keyboard_monitor> keyboard_state;

struct world {
  keyboard_monitor& keys;
  state::players_monitor& players;
  state::board_monitor& board;
  state::view_monitor& view;
  // False for a guest over the network, whose pads are its host's to move: only the zoom keys count.
  bool moves_pads = true;
};

// One sample: both players' pads (unless the world's pads are moved elsewhere), then the zoom keys.
void sample(const world& w);

class input_thread {
 public:
  input_thread(world w, runtime_log::sink& log, common::clock& clock, common::sleeper& sleeper);
  input_thread(const input_thread&) = delete;
  input_thread& operator=(const input_thread&) = delete;

  // Starts the thread, which notes its first sample time and waits for `start`. Once only.
  void launch();
  // The one request; false when the thread has ended.
  bool start();

  // Samples taken so far, for the game's figures.
  std::uint64_t samples() const { return samples_.load(std::memory_order_relaxed); }

 private:
  void run(std::stop_token stop);

  world world_;
  runtime_log::sink& log_;
  common::clock& clock_;
  common::sleeper& sleeper_;
  common::request_box<bool> box_;
  std::atomic<std::uint64_t> samples_{0};
  std::jthread thread_;
};

inline common::game_object<input_thread> processing_input;

}  // namespace input
