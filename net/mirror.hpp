// The host's game as messages, and the messages as the guest's game.
//
// `host_report` reads the host's monitors and tells what changed since it last looked: a whole board at a
// new game, each brick that changed, the points, the message line and the sound events, all to be sent
// reliably; and a snapshot of what moves (ball, pads, running flag, game time, points), many times a second.
// Each snapshot also repeats the latest brick changes, so that a guest behind a lossy line sees a brick go
// with the next snapshot instead of waiting for a reliable one sent again.
//
// `guest_mirror` writes what arrives into the guest's own monitors, where the physics would write on the
// host, so the guest's window draws its host's game with the drawing code it always had. The ball is kept
// moving between snapshots by `ball_follower`: it runs the host's ball on by the physics' rules, bounces
// included, and blends each snapshot's correction in over some tens of milliseconds instead of jumping to
// it; only a serve (the ball put far away, not moved there) moves it at once. The
// guest's own green pad is `own_pad`'s: the guest's keys move it at once, and the snapshots only check it.
//
// Thread use: plain code over the monitors given; each object belongs to the one thread that drives it
// (the network thread of its role).
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "common/seams.hpp"
#include "net/codec.hpp"
#include "physics/process_physics.hpp"
#include "sound/game_events.hpp"
#include "state/game_state.hpp"

namespace net {

class host_report {
 public:
  // Brick changes stay in the snapshots this long after they happened.
  static constexpr std::chrono::milliseconds repeat_bricks_for{300};

  // `ticks` counts the host's physics ticks (none: the snapshots tell 0).
  host_report(state::board_monitor& board, state::players_monitor& players, sound::event_channel* events,
              std::function<std::uint64_t()> ticks = {});

  // Everything a guest that has just joined needs, the whole board first; from now on the report tells
  // what changes since. Sound events from before the join are let go.
  std::vector<host_message> joined(common::steady_time now, std::chrono::system_clock::time_point wall);
  // What changed since the last look, to be sent reliably, in order.
  std::vector<host_message> changes(common::steady_time now, std::chrono::system_clock::time_point wall);
  // What moves, now.
  snapshot moving(common::steady_time now, std::chrono::system_clock::time_point wall);
  // The change of the last whole board made, and when its game began.
  std::uint32_t board_change() const { return board_change_; }
  std::chrono::system_clock::time_point game_started() const { return started_; }

 private:
  whole_board board_now(std::chrono::system_clock::time_point wall);

  state::board_monitor& board_;
  state::players_monitor& players_;
  sound::event_channel* channel_;
  std::function<std::uint64_t()> ticks_;
  std::optional<sound::event_channel::reader> events_;
  board::brick_matrix bricks_{};
  std::chrono::system_clock::time_point started_{};
  std::int32_t points1_ = 0, points2_ = 0;
  std::string info_;
  std::uint32_t change_ = 0;
  std::uint32_t board_change_ = 0;
  struct recent_change {
    brick_change change;
    common::steady_time when;
  };
  std::vector<recent_change> recent_;  // at most `recent_bricks`, oldest first
  common::vector last_ball_{};
  common::steady_time last_look_{};
  std::uint8_t jumps_ = 0;
};

// The milliseconds a game has run, as a snapshot tells them; none before the first game.
std::uint32_t game_time_of(std::chrono::system_clock::time_point started,
                           std::chrono::system_clock::time_point now);

// A message is half a round trip old when it arrives. ENet starts from a guess of half a second and a resent
// datagram stretches its measure: a round trip beyond this is not believed for the ball's age.
inline constexpr std::chrono::milliseconds believed_round_trip{200};

// A pad's speed while one of its keys is held: a step every input sample, 20 cells a second.
inline constexpr float pad_speed =
    common::pad_step / std::chrono::duration<float>(common::input_clock).count();
// The host puts its guest's green pad where the guest's screen shows it now: where the guest said it was,
// led by the held key's way for half the round trip, but never for longer than this.
inline constexpr std::chrono::milliseconds longest_lead{100};
// That lead, in cells: the held keys' way (left -1, right +1, both or neither 0) times the pad's speed times
// half the round trip, at most `longest_lead`.
float pad_lead(const steering& keys, std::chrono::duration<float> round_trip);

// The guest's ball: the host's ball as it should be by now. Each snapshot tells where the host's ball was
// some tens of milliseconds ago; the follower runs that ball on by the host physics' own rules over the
// bricks and pads it knows (the red pad as last told, the green one its own), so that a bounce off a brick
// or a pad shows when it happens on the host rather than a round trip later, and steps it a tick at a time
// at the host's pace until the next snapshot. Where the ball shown and the ball foreseen disagree (the red
// pad moved meanwhile, a brick went that was not yet told) the difference is blended in bit by bit; only a
// serve (the ball put far away, not moved there) or a whole board moves it at once.
class ball_follower {
 public:
  // What the ball meets besides the bricks.
  struct pads {
    common::pad_type red, green;
  };
  // Each millisecond a twentieth of the correction left is made, but never more than `most_a_millisecond`
  // cells: with the ball's own motion that stays within half a cell a frame. A gap wider than
  // `blend_within` (a red pad that met the ball where it was not foreseen to) is closed faster, still under a
  // cell a frame.
  static constexpr float most_a_millisecond = 0.01f;
  static constexpr float blend_within = 4.0f;
  static constexpr float catch_up_a_millisecond = 0.03f;

  // The ball as it is, at once (a whole board).
  void put(const common::ball_type& ball);
  // All the bricks as a whole board tells them, even one that came after its game's first snapshots.
  void bricks(const board::brick_matrix& bricks);
  // A brick the host wrote off (or put), `cell` counted row by row from 0.
  void brick(std::size_t cell, const common::brick& brick);
  // The host's ball as a snapshot that arrived at `now` tells it, `age` old: from now on the ball foreseen
  // is where the host's should be by now, and the difference to the ball shown is made up bit by bit.
  void correct(const snapshot& s, std::chrono::duration<float> age, common::steady_time now, const pads& p);
  // One millisecond of this computer's time: the host's ticks in it (while the game runs), and a share of
  // the correction.
  void step(const pads& p);
  // The ball shown, and the one foreseen.
  const common::ball_type& ball() const { return ball_; }
  const common::ball_type& foreseen() const { return foreseen_; }
  // The host's physics ticks a millisecond, as the snapshots of the last half second or so tell them: a
  // busy host ticks late, and its ball goes slower than the clock.
  float pace() const { return pace_; }

 private:
  using standing = std::bitset<board::brick_matrix::side * board::brick_matrix::side>;
  // One tick of the host's physics on `ball`, over `bricks`: what it strikes goes (the firm stay). Tells
  // how far a pad's return put the ball along y, besides its motion.
  float tick(common::ball_type& ball, standing& bricks, const pads& p) const;
  void show();

  common::ball_type ball_{};      // shown: the one foreseen, less the correction still owed
  common::ball_type foreseen_{};  // where the host's ball should be by now
  common::vector owed_{};
  standing told_{}, left_{};  // the bricks as told, and as the ball foreseen has left them
  standing firm_{};
  bool running_ = false;
  float ticks_due_ = 0.0f;
  std::optional<std::uint8_t> jumps_;
  float pace_ = 1.0f;
  std::optional<std::pair<std::uint32_t, common::steady_time>> paced_since_;
};

// The guest's own green pad. The guest's keys move it on the guest's screen at once, by the rules the host's
// input thread keeps: a step each input sample while a key is held, stopping at the sides. The host takes
// the positions the guest tells it (net/pass.hpp), so its green pad at a moment is where this one stood half
// a round trip before, led by the key then held: each snapshot's green pad is checked against that, from a
// history of this pad over the last second. Only a disagreement beyond `tolerance` that lasts `lasting` is
// blended in (a lost steering message leaves the host's pad astray until the next one, 50 ms later, sets it
// right): a twentieth of it each millisecond, never more than `most_a_millisecond`.
class own_pad {
 public:
  // A step and a half: the host's input samples and these keep schedules of their own.
  static constexpr float tolerance = 0.3f;
  // Either way of the time a snapshot's pad is compared at: the round trip's measure is no better.
  static constexpr std::chrono::milliseconds leeway{20};
  static constexpr std::chrono::milliseconds lasting{150};
  static constexpr float most_a_millisecond = 0.05f;
  static constexpr std::size_t remembered = 128;  // samples, over a second of them

  // The pad as a whole board has it, at once; its past is forgotten.
  void put(const common::pad_type& pad, common::steady_time now);
  // One input sample of the guest's green keys at `now`: a step left, then right, for each key held.
  void sample(const steering& keys, common::steady_time now);
  // The host's green pad stood at `host_x` when a snapshot left it, which arrived at `now`, a round trip
  // `round_trip` after positions it was led from had left here.
  void check(float host_x, std::chrono::duration<float> round_trip, common::steady_time now);
  // One millisecond's share of a correction.
  void step();

  const common::pad_type& pad() const { return pad_; }
  // Whether a whole board has put it yet.
  bool placed() const { return count_ > 0; }
  // Corrections begun so far, and the cells still to be blended in.
  int corrections() const { return corrections_; }
  float owed() const { return owed_; }

 private:
  struct moment {
    common::steady_time when;
    float x;  // where it stood, with the correction owed
    steering keys;
  };
  void remember(const steering& keys, common::steady_time now);

  common::pad_type pad_{};
  float owed_ = 0.0f;
  std::array<moment, remembered> history_{};  // a ring, the newest at `next_ - 1`
  std::size_t next_ = 0, count_ = 0;
  std::optional<common::steady_time> astray_since_;
  bool astray_right_ = false;
  int corrections_ = 0;
};

class guest_mirror {
 public:
  // `clock` tells when messages arrive.
  guest_mirror(state::board_monitor& board, state::players_monitor& players, sound::event_channel* events,
               common::clock& clock);

  // A message from the host, `round_trip` being the connection's as last measured (a message is half of it
  // old). `wall` is this computer's clock, from which the game time shown is counted back.
  void take(const host_message& m, std::chrono::duration<float> round_trip,
            std::chrono::system_clock::time_point wall);
  // One millisecond of the ball between snapshots and of the own pad's correction, shown at once.
  void step();
  // One input sample of the guest's green keys, shown at once.
  void steer(const steering& keys, common::steady_time now);
  // What the host is to be told: `keys`, with where the own pad stands and on which whole board.
  steering told(steering keys) const;
  const own_pad& own() const { return own_; }

  std::uint32_t brick_changes() const { return change_; }
  // The host's count of the times it put its ball somewhere (serves, late pad returns), as last told.
  std::uint8_t host_jumps() const { return host_jumps_; }

 private:
  void apply(const brick_change& c);
  using wall_time = std::chrono::system_clock::time_point;
  void show(const welcome&, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const whole_board& b, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const snapshot& s, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const brick_change& c, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const points& p, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const info& line, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const sound::game_event& e, std::chrono::duration<float> round_trip, wall_time wall);
  void show(const goodbye&, std::chrono::duration<float> round_trip, wall_time wall);
  void show_game_time(std::uint32_t game_time, std::chrono::system_clock::time_point wall);

  state::board_monitor& board_;
  state::players_monitor& players_;
  sound::event_channel* events_;
  common::clock& clock_;
  common::pad_type pad1_{};
  own_pad own_;
  std::uint32_t change_ = 0;
  std::optional<std::chrono::system_clock::time_point> started_;
  ball_follower ball_;
  std::optional<std::uint32_t> board_change_;     // the change of the last whole board
  std::optional<std::uint32_t> snapshot_change_;  // the host's last change as the last snapshot told it
  std::uint8_t host_jumps_ = 0;
};

}  // namespace net
