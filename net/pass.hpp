// One pass of each network thread's loop, as plain code: what the host does with its wire's news and when
// its snapshots are due, what the guest does with its host's messages and when its keys go out. The threads
// (net/play.hpp) only wait for the wire and hand its events and the clocks' readings to a pass, so every
// rule of timing here is tested on stepped time.
//
// A host pass: a guest that has proved the code takes over the green player's steering (its keys become the
// pseudo-keys of the GUEST preset, which the input thread reads like any keys), gets everything it needs and
// from then on every change reliably and a snapshot of what moves every `snapshot_period`; its menu's shared
// commands act as this computer's menu would. Where the guest says its green pad stands is taken as far as
// `pad_judge` allows, and the pad put where the guest's screen shows it now. A guest that leaves or is lost
// gives the green pad back to the computer, as the menu's "Komputer" entry does, and the waiting line shows
// again.
//
// A guest pass: the host's messages go into the guest's monitors through the mirror, the ball moves a
// millisecond at a time between snapshots, the green keys (a/j or the joystick left, d/l or the joystick
// right) move the guest's own green pad every input sample, and go to the host with the pad's position when
// they change and every `steering_repeat`.
//
// Both: `say_goodbye` tells the other side the game ends here, and `parted` holds once it has acknowledged
// (its connection went) or `farewell_wait` has passed.
//
// Thread use: a pass belongs to the one network thread that drives it; `now` and `wall` are that thread's
// readings of the steady and the wall clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/menu_command.hpp"
#include "common/seams.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "log/runtime_log.hpp"
#include "net/mirror.hpp"
#include "net/session.hpp"
#include "sound/game_events.hpp"
#include "state/game_state.hpp"

namespace net {

using wall_time = std::chrono::system_clock::time_point;

// How often the host tells its guest what moves, and the guest its keys when they have not changed.
inline constexpr std::chrono::milliseconds snapshot_period{10};
inline constexpr std::chrono::milliseconds steering_repeat{50};
// How long a goodbye waits for the other side's acknowledgement before the game ends all the same.
inline constexpr std::chrono::milliseconds farewell_wait{300};
// The longest a host waits for its wire: alone (a datagram wakes it at once anyway), and with a guest, whose
// snapshots may not wait longer.
inline constexpr std::chrono::milliseconds host_alone_wait{20};
inline constexpr std::chrono::milliseconds host_playing_wait{5};
// The guest's pass is due every millisecond, the step of the ball; after a stall of its thread it catches up
// this many at once at the most, rather than jumping: the snapshots make up the rest.
inline constexpr std::chrono::milliseconds guest_wait{1};
inline constexpr int most_steps_at_once = 20;

// What a host's window shows once too many wrong codes have closed its code.
inline constexpr std::string_view closed_line =
    "Zbyt wiele zlych kodow dolaczenia. Nowy kod: uruchom gre ponownie (--host)";

// How the host takes its guest's word for where the green pad stands. The guest's screen moves its own pad
// at once, and the host is fair to what the guest saw by taking it; but it stays the judge: a position is
// taken no farther from the last one taken than the pad could have gone meanwhile at its speed, with a
// burst of `burst`'s worth saved up for the network's jitter, and within the board's sides. A guest that
// sends a flood of positions therefore goes no faster than the rules in the long run, and jumps no farther
// than the burst.
class pad_judge {
 public:
  static constexpr std::chrono::milliseconds burst{150};

  // The pad as a new game (or the join's whole board) puts it, with the burst saved up.
  void restart(const common::pad_type& pad, common::steady_time now);
  // Where a position told at `now` is taken.
  float take(float told, common::steady_time now);

 private:
  float width_ = 0.0f;
  float last_ = 0.0f;
  float budget_ = 0.0f;  // cells
  common::steady_time at_{};
};

struct host_world {
  state::board_monitor& board;
  state::players_monitor& players;
  input::keyboard_monitor& keys;
  computer::computer_thread& computer;
  runtime_log::sink& log;
  sound::event_channel* events;
  // Acts on a guest's menu command as this computer's menu would.
  std::function<void(common::menu_command)> menu;
  // The physics thread's ticks so far, which tell the guest the pace of the host's ball.
  std::function<std::uint64_t()> physics_ticks;
  // Where the code and the addresses are printed once.
  std::ostream& out;
};

// The green player's steering to a guest (its keys, the computer player off) or back to the computer, as the
// menu's steering entries switch it; `guest_plays` tells which.
void green_steering(const host_world& world, bool guest, std::atomic<bool>& guest_plays);

class host_pass {
 public:
  // `waiting` is the line the window shows while no guest plays; `guest_plays` is kept for other threads.
  host_pass(const host_world& world, host_session& session, std::string waiting,
            std::atomic<bool>& guest_plays);

  // How long the thread may wait for its wire before the next pass is due.
  std::chrono::milliseconds wait(common::steady_time now) const;
  void take(const wire_event& e, common::steady_time now, wall_time wall);
  // The session's deadlines, the snapshot when it is due, the dropped datagrams' log line.
  void tick(common::steady_time now, wall_time wall);

  void say_goodbye(common::steady_time now);
  bool parted(common::steady_time now) const;

 private:
  void react(host_session::happening h, common::steady_time now, wall_time wall);
  void act(const guest_message& m, common::steady_time now);
  // Sends the report's messages reliably; a whole board among them puts the judge's pad afresh.
  void send_reliably(const std::vector<host_message>& messages, common::steady_time now);

  host_world world_;
  host_session& session_;
  host_report report_;
  pad_judge judge_;
  std::string waiting_;
  std::atomic<bool>& guest_plays_;
  std::optional<common::steady_time> next_snapshot_;
  std::optional<common::steady_time> parting_until_;
  bool farewell_heard_ = false;
};

struct guest_world {
  state::board_monitor& board;
  state::players_monitor& players;
  input::keyboard_monitor& keys;
  runtime_log::sink& log;
  sound::event_channel* events;
  // Ends the game with a status once the guest has shown why (the log's closing line as its last entry,
  // then the process ends).
  std::function<void(int)> end;
};

class guest_pass {
 public:
  // `out` tells the host's round trip; `playing` and `host_jumps` are kept for other threads.
  guest_pass(const guest_world& world, guest_session& session, const wire& out, common::clock& clock,
             common::steady_time now, std::atomic<bool>& playing, std::atomic<std::uint8_t>& host_jumps);

  std::chrono::milliseconds wait() const { return guest_wait; }
  void take(const wire_event& e, common::steady_time now, wall_time wall);
  // The ball's steps since the last pass, the keys when due, the session's deadlines, the dropped
  // datagrams' log line.
  void tick(common::steady_time now);
  // A shared menu command chosen here, for the host.
  void choose(common::menu_command c);

  void say_goodbye(common::steady_time now);
  bool parted(common::steady_time now) const;
  // How the session ended; `none` while it goes on.
  guest_session::ending ending() const { return session_.end(); }
  // What the guest shows of its host's game, and of its own pad.
  const guest_mirror& mirror() const { return mirror_; }

 private:
  guest_world world_;
  guest_session& session_;
  const wire& out_;
  guest_mirror mirror_;
  std::atomic<bool>& playing_;
  std::atomic<std::uint8_t>& host_jumps_;
  common::steady_time stepped_;
  common::steady_time next_sample_;
  common::steady_time next_steering_;
  std::optional<steering> sent_;
  std::optional<common::steady_time> parting_until_;
  bool farewell_heard_ = false;
};

// The guest's green keys as it holds them now.
steering held_green_keys(input::keyboard_monitor& keys);

}  // namespace net
