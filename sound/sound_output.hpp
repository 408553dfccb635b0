// The sound the player hears: a thread of its own, `sound_output`, follows the game's events and plays each
// one's clip from where it happened on the board, through OpenAL.
//
// The events come only from the channel (sound/game_events.hpp): whoever records them, the local physics or
// a network guest's receiver, the sound plays them alike. Nothing that records an event ever waits for the
// sound; the thread looks at the channel every few milliseconds and starts the clips itself.
//
//   sound_switch   on or off: the `m` key flips it, `--mute` starts the game with it off. Off, no clip starts
//                  and the output is silent; events go by unheard, and none is saved for later.
//   speaker        where clips play: `open_speaker` opens the default output device through OpenAL, makes the
//                  bank (sound/synthesis.hpp) and a source for each of the `voices`.
//   sound_player   one pass: every event recorded since the last, each clip started from where its event
//                  happened as heard from the camera of the moment (sound/hearing.hpp). Plain code over a
//                  speaker, so tests and the benchmark run it on their own.
//   sound_thread   the thread: opens the speaker when started, then a pass every `pass_period`. Without an
//                  output device, or when the library fails, it logs one warning and ends; the game plays on
//                  silently.
//
// Thread use: `sound_switch` from any thread. A `sound_player` and a `speaker` belong to the thread that
// runs the passes. `sound_thread::start` from the main thread once, after the start-up handshake.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "common/rendezvous.hpp"
#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "sound/game_events.hpp"
#include "sound/hearing.hpp"
#include "state/game_state.hpp"

namespace sound {

inline constexpr std::string_view no_sound_warning = "Brak urzadzenia dzwiekowego, gra bez dzwieku: ";
// How often the thread looks for new events: well below what an ear tells apart from "at once".
inline constexpr std::chrono::milliseconds pass_period{4};

class sound_switch {
 public:
  explicit sound_switch(bool on = true) : on_(on) {}
  bool on() const { return on_.load(std::memory_order_acquire); }
  // Flips the switch; returns the new state.
  bool flip() {
    bool was = on_.load(std::memory_order_relaxed);
    while (!on_.compare_exchange_weak(was, !was, std::memory_order_acq_rel)) {
    }
    return !was;
  }

 private:
  std::atomic<bool> on_;
};

class speaker {
 public:
  virtual ~speaker() = default;
  // Starts clip `sound` of the bank from `where`. False, changing nothing, when every voice is busy.
  virtual bool play(std::size_t sound, const heard& where) = 0;
  // Silences everything (clips already playing fade out at once), or lets the sound through again.
  virtual void silence(bool silent) = 0;
};

// The output cannot be had: no device, or the library failed. what() says why, in the game's language.
class no_sound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The default output device, its name for the log and the game's bank on it. A device that only pretends
// to play (OpenAL's "No Output") counts as none.
struct opened_speaker {
  std::unique_ptr<speaker> out;
  std::string device;
};
opened_speaker open_speaker();

class sound_player {
 public:
  // Hears what is recorded on `events` from now on.
  sound_player(const event_channel& events, const state::view_monitor& view, const sound_switch& on);

  // Plays every event recorded since the last pass; returns how many clips it started. Of several events
  // of one clip in one pass only the first is played: they happened within a pass of each other, and one
  // clip heard twice at once would only be louder.
  int pass(speaker& out);

  // Events that went unheard for want of a free voice, or that the channel dropped before they were read.
  std::uint64_t unheard() const { return unheard_ + events_.lost(); }

 private:
  event_channel::reader events_;
  const state::view_monitor& view_;
  const sound_switch& on_;
  bool silent_ = false;  // as the speaker was last told
  std::uint64_t unheard_ = 0;
};

class sound_thread {
 public:
  sound_thread(const event_channel& events, const state::view_monitor& view, const sound_switch& on,
               runtime_log::sink& log, common::clock& clock, common::sleeper& sleeper);
  sound_thread(const sound_thread&) = delete;
  sound_thread& operator=(const sound_thread&) = delete;

  // Starts the thread, which waits for `start`. Once only.
  void launch();
  // Accepted at once: the thread then opens the output and plays. False when the thread has ended.
  bool start();

 private:
  void run(std::stop_token stop);

  sound_player player_;
  const sound_switch& on_;
  runtime_log::sink& log_;
  common::clock& clock_;
  common::sleeper& sleeper_;
  common::request_box<bool> box_;
  std::jthread thread_;
};

// The game's switch and thread, made at start-up.
inline common::game_object<sound_switch> sound_on;
inline common::game_object<sound_thread> sound_output;

}  // namespace sound
