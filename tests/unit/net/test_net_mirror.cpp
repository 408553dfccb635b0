// The host's game as messages and the guest's copy of it: what a guest is told shows the host's bricks,
// pads, ball, points, message line and sounds; a brick change lost on the way comes with the next
// snapshot; and the guest's ball keeps moving between snapshots without ever jumping, except to a serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <iterator>
#include <map>

#include "net/mirror.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;

struct game {
  testing_support::recording_log log;
  state::board_monitor board{log, std::string(TOLVARAN_SOURCE_DIR) + "/boards/", 3, [] { return 5; }};
  state::players_monitor players;
  sound::event_channel events;
};

// What a guest draws: the bricks that stand (an empty cell's leftovers are nobody's business).
bool same_picture(const state::board_monitor& a, const state::board_monitor& b) {
  const board::brick_matrix x = a.get_brick_matrix_state(), y = b.get_brick_matrix_state();
  for (std::size_t i = 0; i < x.cells.size(); ++i)
    if (x.cells[i].exists != y.cells[i].exists || (x.cells[i].exists && !(x.cells[i] == y.cells[i])))
      return false;
  return a.get_pad1() == b.get_pad1() && a.get_pad2() == b.get_pad2() && a.get_ball() == b.get_ball() &&
         a.enabled() == b.enabled() && a.get_info() == b.get_info();
}

class Mirror : public ::testing::Test {
 protected:
  // The host's clock is read after its game started, as the host's own network thread would: a game time
  // taken before the start would be clamped to nought and put the guest's start late.
  Mirror() {
    host_.board.reset();
    wall_ = std::chrono::system_clock::now();
  }

  // The reliable messages of this look (all lost on the way unless `deliver_reliable`), then its snapshot.
  void look(bool deliver_reliable = true) {
    wall_ = std::chrono::system_clock::now();
    for (const host_message& m : report_.changes(now_, wall_))
      if (deliver_reliable) mirror_.take(m, 0ms, wall_);
    mirror_.take(report_.moving(now_, wall_), 0ms, wall_);
  }

  game host_, guest_;
  host_report report_{host_.board, host_.players, &host_.events};
  common::manual_time clock_;
  guest_mirror mirror_{guest_.board, guest_.players, &guest_.events, clock_};
  sound::event_channel::reader heard_{guest_.events};
  common::steady_time now_{};
  std::chrono::system_clock::time_point wall_;
};

TEST_F(Mirror, AGuestSeesTheHostsBoardPointsLineAndSoundsAndEveryChangeOfThem) {
  host_.events.record({sound::event_kind::new_game, common::ball_owner::NONE, 0, {}});  // before the join
  host_.board.set_info("przed");
  host_.players.add1(3);
  host_.players.add2(-4);
  for (const host_message& m : report_.joined(now_, wall_)) mirror_.take(m, 0ms, wall_);
  EXPECT_TRUE(same_picture(host_.board, guest_.board));
  EXPECT_EQ(std::pair(guest_.players.r1(), guest_.players.r2()),
            std::pair(host_.players.r1(), host_.players.r2()));
  EXPECT_TRUE(report_.changes(now_, wall_).empty()) << "what the guest was told is told again";
  EXPECT_LT(std::chrono::abs(guest_.board.started() - host_.board.started()), 1ms);
  host_.board.set_started(host_.board.started() - 100ms);  // a new game, even so close, starts afresh
  look();
  EXPECT_LT(std::chrono::abs(guest_.board.started() - host_.board.started()), 1ms);
  EXPECT_EQ(heard_.next(), std::nullopt);  // sounds from before the join are let go

  common::brick gone = host_.board.get_brick_matrix_state().at(2, 2);
  gone.exists = false;
  host_.board.set_brick(2, 2, gone);
  host_.players.add1(17);
  host_.players.add2(-500);
  host_.board.set_info("Gracz zielony traci: -500punkt\xF3w");
  const sound::game_event lost{sound::event_kind::ball_lost, common::ball_owner::PLAYER2, 0, {3.0f, 21.6f}};
  host_.events.record(lost);
  host_.board.pad1_go(common::direction::L);  // the green pad is the guest's own: see OwnPad
  common::ball_type put = host_.board.get_ball();
  put.pos = {3.0f, 15.0f};  // put there: a jump, taken at once
  host_.board.ball_change(put);
  host_.board.stop();
  now_ += 10ms;
  look();
  EXPECT_TRUE(same_picture(host_.board, guest_.board));
  EXPECT_EQ(mirror_.host_jumps(), 1);
  EXPECT_EQ(std::pair(guest_.players.r1(), guest_.players.r2()),
            std::pair(host_.players.r1(), host_.players.r2()));
  EXPECT_EQ(heard_.next(), lost);

  // A new game: the whole board again, and the game time counted from its start.
  common::board_pattern.choose(4);
  host_.board.reset();
  common::board_pattern.choose(0);
  host_.players.reset_players();
  now_ += 10ms;
  look();
  EXPECT_TRUE(same_picture(host_.board, guest_.board));

  // Another, whose whole board is resent and comes after the game's first snapshot: it moves nothing back.
  host_.board.reset();
  // Its start told apart from the last game's by more than the guest's tolerance, however busy the machine.
  host_.board.set_started(host_.board.started() - 1s);
  for (int ms = 0; ms < 10; ++ms) host_.board.ball_step();
  wall_ = std::chrono::system_clock::now();
  now_ += 10ms;
  const std::vector<host_message> resent = report_.changes(now_, wall_);
  mirror_.take(report_.moving(now_, wall_), 0ms, wall_);
  const common::vector before_steps = guest_.board.get_ball().pos;
  mirror_.step();
  EXPECT_NE(guest_.board.get_ball().pos, before_steps) << "a step of the guest's ball shows at once";
  for (int ms = 1; ms < 50; ++ms) mirror_.step();
  const common::ball_type moved_on = guest_.board.get_ball();
  EXPECT_NE(moved_on.pos, before_steps) << "the guest's ball stood between snapshots";
  for (const host_message& m : resent) mirror_.take(m, 0ms, wall_);
  EXPECT_EQ(guest_.board.get_ball(), moved_on);
  EXPECT_EQ(guest_.board.get_brick_matrix_state(), host_.board.get_brick_matrix_state());
  EXPECT_LT(std::chrono::abs(guest_.board.started() - host_.board.started()), 5ms);
  EXPECT_EQ(guest_.players.r2(), 1000);

  // A snapshot of the last game that comes after the next game's board is old news.
  common::ball_type far = host_.board.get_ball();
  far.pos = {3.0f, 15.0f};
  host_.board.ball_change(far);
  const snapshot old_news = report_.moving(now_, wall_);
  far.pos = {15.0f, 3.0f};
  host_.board.ball_change(far);
  host_.board.set_started(host_.board.started() - 1s);
  for (const host_message& m : report_.changes(now_, wall_)) mirror_.take(m, 0ms, wall_);
  mirror_.take(old_news, 0ms, wall_);
  EXPECT_EQ(guest_.board.get_ball().pos, far.pos);
  mirror_.take(points{7, -8}, 0ms, wall_);
  EXPECT_EQ(std::pair(guest_.players.r1(), guest_.players.r2()), std::pair(7, -8));
}

TEST_F(Mirror, ABrickChangeLostOnTheWayComesWithTheNextSnapshotsInOrderOnly) {
  for (const host_message& m : report_.joined(now_, wall_)) mirror_.take(m, 0ms, wall_);
  const auto knock_out = [&](int column) {  // row 5 is a row of destructible bricks
    common::brick b = host_.board.get_brick_matrix_state().at(5, column);
    ASSERT_TRUE(b.exists && guest_.board.brick_exists(column, 5));
    b.exists = false;
    host_.board.set_brick(column, 5, b);
  };
  // A new game first, whose board has a change of its own.
  host_.board.set_started(host_.board.started() - 1s);
  look();
  knock_out(5);
  look(false);  // the reliable brick went missing; the snapshot tells it
  EXPECT_FALSE(guest_.board.brick_exists(5, 5));
  knock_out(8);
  host_.players.add2(-300);
  look(false);  // and the next one too, and the points
  EXPECT_FALSE(guest_.board.brick_exists(8, 5));
  EXPECT_EQ(guest_.players.r2(), host_.players.r2());
  EXPECT_TRUE(same_picture(host_.board, guest_.board));

  // A snapshot's repeated changes end at its count; what lies beyond it is not the snapshot's to tell.
  knock_out(9);
  EXPECT_FALSE(report_.changes(now_, wall_).empty());  // and lost
  snapshot cut = report_.moving(now_, wall_);
  ASSERT_GT(cut.recent_count, 0);
  --cut.recent_count;
  mirror_.take(cut, 0ms, wall_);
  EXPECT_TRUE(guest_.board.brick_exists(9, 5));
  ++cut.recent_count;
  mirror_.take(cut, 0ms, wall_);
  EXPECT_FALSE(guest_.board.brick_exists(9, 5));

  // Changes older than the snapshots repeat: a guest that missed one waits for the reliable ones, in order.
  knock_out(6);
  std::vector<host_message> late = report_.changes(now_, wall_);
  now_ += host_report::repeat_bricks_for + 1ms;
  knock_out(7);
  for (const host_message& m : report_.changes(now_, wall_)) late.push_back(m);
  mirror_.take(report_.moving(now_, wall_), 0ms, wall_);
  EXPECT_TRUE(guest_.board.brick_exists(6, 5));
  EXPECT_TRUE(guest_.board.brick_exists(7, 5)) << "taken before the change it follows";
  for (const host_message& m : late) mirror_.take(m, 0ms, wall_);
  EXPECT_TRUE(same_picture(host_.board, guest_.board));
}

TEST_F(Mirror, TheGameTimeIsSetRightOnlyWhenItIsOffByMoreThanAQuarterSecond) {
  for (const host_message& m : report_.joined(now_, wall_)) mirror_.take(m, 0ms, wall_);
  const auto started_at = [&](std::uint32_t game_time) {
    snapshot s = report_.moving(now_, wall_);
    s.game_time = game_time;
    mirror_.take(s, 0ms, wall_);
    return guest_.board.started();
  };
  const auto first = started_at(10'000);
  EXPECT_EQ(first, wall_ - 10s);
  EXPECT_EQ(started_at(10'250), first);  // a quarter second off: the network's jitter
  EXPECT_EQ(started_at(9'750), first);
  EXPECT_EQ(started_at(10'251), first - 251ms);
}

snapshot ball_at(common::vector pos, common::vector vel, std::uint8_t jumps = 0, bool running = true) {
  snapshot s;
  s.running = running;
  s.ball_pos = pos;
  s.ball_vel = vel;
  s.jumps = jumps;
  return s;
}

float distance(common::vector a, common::vector b) {
  return std::hypot(a.x - b.x, a.y - b.y);
}

// No pads to meet, no bricks: the ball goes straight on.
const ball_follower::pads open{};

TEST(BallFollower, MovesBetweenSnapshotsBlendsCorrectionsInAndOnlyJumpsToAServe) {
  ball_follower f;
  common::steady_time now{};
  f.put({common::make_color(1, 1, 0), {10.0f, 10.0f}, {0.0f, 12.0f}, common::ball_owner::NONE});
  f.step(open);  // a whole board's ball stands where it was put until a snapshot tells more
  EXPECT_EQ(f.ball().pos, (common::vector{10.0f, 10.0f}));
  f.correct(ball_at({10.0f, 10.0f}, {0.0f, 12.0f}), 0ms, now, open);
  for (int ms = 0; ms < 10; ++ms) f.step(open);
  EXPECT_NEAR(f.ball().pos.y, 10.12f, 1e-4f);

  // The host's ball bounced 60 ms ago while this one went on: it turns, and closes the gap a little at a
  // time, never faster than its speed and a hundredth of a cell a millisecond.
  const common::vector host{10.0f, 10.0f}, back{0.0f, -12.0f};
  f.correct(ball_at(host, back), 60ms, now, open);
  common::vector before = f.ball().pos;
  for (int ms = 1; ms <= 400; ++ms) {
    f.step(open);
    EXPECT_LE(distance(before, f.ball().pos), 0.012f + ball_follower::most_a_millisecond + 1e-5f) << ms;
    before = f.ball().pos;
  }
  const common::vector where_host_is{host.x, host.y + back.y * (0.06f + 0.4f)};
  EXPECT_LT(distance(f.ball().pos, where_host_is), 0.01f);

  // Paused, or standing after a lost ball: it stands, and settles exactly where the host's stands.
  for (const bool running : {false, true}) {
    snapshot still = ball_at({10.0f, 5.5f + running}, back, 0, running);
    still.ball_still = running;
    f.correct(still, 50ms, now, open);
    for (int ms = 0; ms < 300; ++ms) f.step(open);
    EXPECT_EQ(f.ball().pos, (common::vector{10.0f, 5.5f + running})) << running;
  }

  // A serve (the host's ball put far away) puts it there at once; a pad's late return, the host's ball put a
  // cell or two back, glides.
  f.correct(ball_at({10.0f, 8.0f}, {0.0f, 12.0f}, 7), 0ms, now, open);
  EXPECT_EQ(f.ball().pos, (common::vector{10.0f, 6.5f}));
  // A gap too wide for the gentle blend, in any direction, is closed faster but still under a cell a frame
  // (35 frames a second), and then the gentle blend takes over again.
  f.correct(ball_at({10.0f, 12.0f}, {0.0f, 12.0f}, 8), 0ms, now, open);
  EXPECT_EQ(f.ball().pos, (common::vector{10.0f, 12.0f}));
  const float wide = ball_follower::blend_within + 1.5f;
  std::uint8_t serves = 8;
  for (const common::vector gap : {common::vector{0.0f, wide}, {wide, 0.0f}, {-wide, -wide}}) {
    f.correct(ball_at({10.0f, 5.0f}, {0.0f, 12.0f}, ++serves), 0ms, now, open);
    f.correct(ball_at({10.0f + gap.x, 5.0f + gap.y}, {0.0f, 12.0f}, serves), 0ms, now, open);
    common::vector shown = f.ball().pos, host{10.0f + gap.x, 5.0f + gap.y};
    float frame = 0.0f, widest_frame = 0.0f;
    for (int ms = 1; ms <= 800; ++ms) {
      const float gap_was = distance(shown, host);
      f.step(open);
      host.y += 0.012f;
      const float closed = gap_was - distance(f.ball().pos, host);
      EXPECT_LE(closed, ball_follower::catch_up_a_millisecond + 1e-4f) << ms;
      frame += std::max(closed, 0.0f);
      if (ms % 28 == 0) widest_frame = std::max(widest_frame, std::exchange(frame, 0.0f));
      shown = f.ball().pos;
    }
    EXPECT_LT(widest_frame, 1.0f);
    EXPECT_GT(widest_frame, 0.5f);  // faster than the gentle blend would
    EXPECT_LT(distance(f.ball().pos, host), 0.01f);
  }

  // A busy host ticks late: its ball goes slower than the clock, and so does this one.
  ball_follower slow;
  slow.put({common::make_color(1, 1, 0), {10.0f, 10.0f}, {0.0f, 12.0f}, common::ball_owner::NONE});
  snapshot paced = ball_at({10.0f, 10.0f}, {0.0f, 12.0f});
  paced.ticks = 0xFFFFFF00;  // the count wraps
  slow.correct(paced, 0ms, now, open);
  paced.ticks += 250;
  slow.correct(paced, 0ms, now + 500ms, open);
  for (int ms = 0; ms < 10; ++ms) slow.step(open);
  EXPECT_NEAR(slow.ball().pos.y, 10.06f, 1e-4f);

  // A pause tells no pace: the first look after it starts a new measure. A host far too slow is followed at
  // a fifth of the pace, no slower.
  ball_follower paused;
  snapshot going = ball_at({10.0f, 10.0f}, {0.0f, 12.0f});
  going.ticks = 1000;
  paused.correct(going, 0ms, now, open);
  paused.correct(ball_at({10.0f, 10.0f}, {0.0f, 12.0f}, 0, false), 0ms, now + 100ms, open);
  going.ticks = 1100;
  paused.correct(going, 0ms, now + 2s, open);
  EXPECT_EQ(paused.pace(), 1.0f);
  going.ticks = 1150;
  paused.correct(going, 0ms, now + 2500ms, open);
  EXPECT_EQ(paused.pace(), 0.2f);
  going.ticks = 1750;  // each half second measured on its own: now ahead of the clock, taken as on time
  paused.correct(going, 0ms, now + 3s, open);
  EXPECT_EQ(paused.pace(), 1.0f);
  // Foreseen where the host's ball is by now, whichever way it goes; shown on its way there.
  paused.put({common::make_color(1, 1, 0), {10.0f, 10.0f}, {0.0f, 0.0f}, common::ball_owner::NONE});
  snapshot served = ball_at({10.0f, 10.0f}, {12.0f, -6.0f});
  served.owner = common::ball_owner::PLAYER1;
  paused.correct(served, 50ms, now + 3s, open);
  EXPECT_NEAR(paused.foreseen().pos.x, 10.6f, 1e-4f);  // fifty ticks of single precision
  EXPECT_NEAR(paused.foreseen().pos.y, 9.7f, 1e-4f);
  EXPECT_EQ(paused.ball().pos, (common::vector{10.0f, 10.0f}));
  EXPECT_EQ(paused.ball().owner, common::ball_owner::PLAYER1);
  paused.step(open);
  EXPECT_NEAR(paused.foreseen().pos.x, 10.612f, 1e-4f);
  // Paused with the ball elsewhere: it glides there, and then stands exactly where the host's stands.
  paused.correct(ball_at({12.0f, 9.0f}, {12.0f, -6.0f}, 0, false), 0ms, now + 3s, open);
  paused.step(open);
  EXPECT_GT(distance(paused.ball().pos, {12.0f, 9.0f}), 1.0f);
  for (int ms = 0; ms < 400; ++ms) paused.step(open);
  EXPECT_EQ(paused.ball().pos, (common::vector{12.0f, 9.0f}));
  // A small gap closes by a twentieth of what is left at each millisecond.
  paused.correct(ball_at({12.1f, 9.1f}, {0.0f, 0.0f}, 0, false), 0ms, now + 3s, open);
  paused.step(open);
  paused.step(open);
  EXPECT_NEAR(paused.ball().pos.x, 12.00975f, 1e-6f);
  EXPECT_NEAR(paused.ball().pos.y, 9.00975f, 1e-6f);
  for (int ms = 0; ms < 400; ++ms) paused.step(open);
  // A gap of exactly the widest that is blended is blended.
  paused.correct(ball_at({12.1f, 9.1f + ball_follower::blend_within}, {0.0f, 0.0f}, 0, false), 0ms, now + 3s,
                 open);
  EXPECT_EQ(paused.ball().pos, (common::vector{12.1f, 9.1f}));

  // A hostile host's ball, far off the board where no cell has a name, or standing still beyond a pad's line
  // over the pad: nothing to meet, and no way back to foresee.
  common::pad_type red;
  red.pos = {10.0f, 0.0f};
  red.width = 6.0f;
  common::pad_type green = red;
  green.pos.y = 20.0f;
  for (const auto& [pos, vel] : {std::pair<common::vector, common::vector>{{3.0e9f, 10.0f}, {1.0e6f, 0.0f}},
                                 {{10.0f, 0.2f}, {1.0f, 0.0f}},
                                 {{10.0f, 19.8f}, {1.0f, 0.0f}}}) {
    ball_follower odd;
    odd.correct(ball_at(pos, vel), 100ms, now, {red, green});
    for (int ms = 0; ms < 100; ++ms) odd.step({red, green});
    EXPECT_EQ(odd.foreseen().vel, vel) << pos.x << ", " << pos.y;
    EXPECT_GT(odd.foreseen().pos.x, pos.x);
    EXPECT_EQ(odd.foreseen().pos.y, pos.y);
  }

  // A whole board puts the ball where it says, owing nothing and remembering no serve.
  ball_follower put_again;
  put_again.put({common::make_color(1, 1, 0), {10.0f, 10.0f}, {0.0f, 12.0f}, common::ball_owner::NONE});
  put_again.correct(ball_at({10.0f, 11.0f}, {0.0f, 12.0f}, 5), 0ms, now, open);
  put_again.put({common::make_color(1, 1, 0), {5.0f, 5.0f}, {0.0f, 0.0f}, common::ball_owner::NONE});
  put_again.step(open);
  EXPECT_EQ(put_again.ball().pos, (common::vector{5.0f, 5.0f}));
  put_again.correct(ball_at({5.0f, 6.0f}, {0.0f, 0.0f}, 6), 0ms, now, open);
  EXPECT_EQ(put_again.ball().pos, (common::vector{5.0f, 5.0f}));  // blended in, not jumped to
}

TEST(HostReport, CountsTheBallsJumpsAndTellsTheGameTimeAndThePhysicsTicks) {
  game host;
  host.board.reset();
  host_report report(host.board, host.players, nullptr, [] { return std::uint64_t{1} << 32 | 77; });
  const auto wall = host.board.started() + 1234ms;
  common::steady_time now{};
  EXPECT_EQ(std::get<whole_board>(report.joined(now, wall).front()).game_time, 1234u);
  now += 10ms;
  snapshot s = report.moving(now, wall);
  EXPECT_EQ(std::pair(s.game_time, s.ticks), std::pair(1234u, 77u));
  EXPECT_EQ(s.jumps, 0);
  common::ball_type ball = host.board.get_ball();
  ball.pos.y += 1.1f;  // not quite as far as it could go in 10 ms, and a cell
  host.board.ball_change(ball);
  now += 10ms;
  EXPECT_EQ(report.moving(now, wall).jumps, 0);
  ball.pos.y += 1.2f;
  host.board.ball_change(ball);
  now += 10ms;
  s = report.moving(now, wall);
  EXPECT_EQ(s.jumps, 1);
  EXPECT_FALSE(s.ball_still);
  now += 10ms;
  EXPECT_TRUE(report.moving(now, wall).ball_still);  // a running game whose ball has not moved
  ball.pos.x += 2.5f;                                // put there across the board
  host.board.ball_change(ball);
  now += 10ms;
  EXPECT_EQ(report.moving(now, wall).jumps, 2);
  // Changes of as many bricks as a snapshot repeats come one by one, once, and the snapshot repeats them all;
  // a brick in the matrix's first cell too.
  board::brick_matrix bricks = host.board.get_brick_matrix_state();
  for (std::size_t n = 0; n < recent_bricks; ++n) {
    common::brick b = bricks.cells[n];
    b.exists = !b.exists;
    b.points = 1000;
    host.board.set_brick(static_cast<int>(n) + 1, 1, b);
  }
  const std::vector<host_message> told = report.changes(now, wall);
  EXPECT_EQ(told.size(), recent_bricks);
  EXPECT_EQ(std::get<brick_change>(told.front()).cell, 0u);
  EXPECT_TRUE(report.changes(now + host_report::repeat_bricks_for, wall).empty());
  EXPECT_EQ(report.moving(now, wall).recent_count, recent_bricks);  // repeated for as long as that, no longer
  report.changes(now + host_report::repeat_bricks_for + 1ms, wall);
  EXPECT_EQ(report.moving(now, wall).recent_count, 0);
  // Either player's points, when they change, and only then.
  for (const int player : {1, 2}) {
    (player == 1 ? host.players.add1(5) : host.players.add2(-5));
    EXPECT_EQ(report.changes(now, wall),
              (std::vector<host_message>{points{host.players.r1(), host.players.r2()}}))
        << player;
    EXPECT_TRUE(report.changes(now, wall).empty()) << player;
  }
  // Each new game's whole board comes under a change of its own, and repeats none of the last game's.
  common::brick last = host.board.get_brick_matrix_state().cells[0];
  last.exists = !last.exists;
  host.board.set_brick(1, 1, last);
  report.changes(now, wall);
  host.board.set_started(host.board.started() - 1s);
  const std::uint32_t first = std::get<whole_board>(report.changes(now, wall).front()).change;
  host.board.set_started(host.board.started() - 1s);
  EXPECT_EQ(std::get<whole_board>(report.changes(now, wall).front()).change, first + 1);
  EXPECT_EQ(report.moving(now, wall).recent_count, 0);
  // A guest that joins later: the ball put elsewhere right after its join is a jump too.
  now += 10s;
  report.joined(now, wall);
  ball = host.board.get_ball();
  ball.pos.y += 1.5f;
  host.board.ball_change(ball);
  EXPECT_EQ(report.moving(now + 10ms, wall).jumps, 3);
  // Against how far it could have gone since the last look, and a cell: a cell and a little in no time is a
  // jump, so is more than a second's worth in a second; half a cell in 10 ms is not.
  now += 10ms;
  ball = host.board.get_ball();
  const float speed = std::hypot(ball.vel.x, ball.vel.y);
  ball.pos.y += 1.005f;
  host.board.ball_change(ball);
  EXPECT_EQ(report.moving(now, wall).jumps, 4);
  ball.pos.y += speed + 1.5f;
  host.board.ball_change(ball);
  now += 1s;
  ASSERT_GT(std::hypot(ball.pos.x, ball.pos.y), speed + 2.0f);
  ASSERT_GT(std::abs(ball.pos.x - ball.pos.y), 3.0f);  // away from the diagonal: x and y tell apart
  EXPECT_EQ(report.moving(now, wall).jumps, 5);
  ball.pos.y -= 0.5f;
  host.board.ball_change(ball);
  now += 10ms;
  EXPECT_EQ(report.moving(now, wall).jumps, 5);
  ASSERT_TRUE(ball.pos.x >= 1.0f && ball.pos.x < 15.0f);  // where a cell more is exactly a cell more
  ball.pos.x += 1.0f;  // exactly a cell across, in no time: just within reach
  ball.owner = common::ball_owner::PLAYER1;
  host.board.ball_change(ball);
  s = report.moving(now, wall);
  EXPECT_EQ(s.jumps, 5);
  EXPECT_EQ(s.owner, common::ball_owner::PLAYER1);
  EXPECT_EQ(game_time_of(wall - std::chrono::hours(24 * 60), wall), no_game_time - 1);  // never the "none"
  EXPECT_EQ(game_time_of({}, wall), no_game_time);
  EXPECT_EQ(game_time_of(wall + 1s, wall), 0u);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The guest's own green pad

TEST_F(Mirror, TheGreenPadIsTheGuestsOwnAndOnlyAWholeBoardPutsItWhereTheHostsIs) {
  mirror_.steer(steering{true, false}, clock_.now());
  EXPECT_EQ(mirror_.told({}).board, no_board) << "no board yet, and no pad on it";
  for (const host_message& m : report_.joined(now_, wall_)) mirror_.take(m, 0ms, wall_);
  const float host_x = host_.board.get_pad2().pos.x;
  EXPECT_EQ(guest_.board.get_pad2(), host_.board.get_pad2());
  mirror_.steer(steering{true, false}, clock_.now());
  EXPECT_EQ(guest_.board.get_pad2().pos.x, state::pad_step_from(host_x, 6.0f, common::direction::L));
  const steering told = mirror_.told(steering{true, false});
  EXPECT_EQ(told, (steering{true, false, guest_.board.get_pad2().pos.x, report_.board_change()}));
  look();
  EXPECT_EQ(guest_.board.get_pad2().pos.x, told.pad_x) << "a snapshot does not put it back";
  EXPECT_EQ(guest_.board.get_pad1(), host_.board.get_pad1());
  host_.board.set_started(host_.board.started() - 1s);  // a new game
  look();
  EXPECT_EQ(guest_.board.get_pad2(), host_.board.get_pad2());
  EXPECT_GT(mirror_.told({}).board, told.board);

  // Astray from the host's for long: blended in, the board showing each millisecond's share.
  host_.board.put_pad2(host_.board.get_pad2().pos.x + 3.0f, host_.board.started());
  for (int ms = 0; ms < 300; ++ms) {
    clock_.advance(1ms);
    now_ += 1ms;
    if (ms % 10 == 0) look();
    mirror_.step();
    EXPECT_EQ(guest_.board.get_pad2(), mirror_.own().pad()) << ms;
  }
  EXPECT_EQ(mirror_.own().corrections(), 1);
  EXPECT_GT(guest_.board.get_pad2().pos.x, told.pad_x + 2.0f);
}

TEST(OwnPad, ASnapshotThatAgreesLeavesItOneLastingAstrayIsBlendedInNoFasterThanTheBound) {
  // The host's pad astray from this one by `off` for `astray` (a snapshot every 10 ms, a round trip of
  // 60 ms), then where this one was a round trip before, as a host keeping the rules has it.
  struct row {
    const char* what;
    float from, off;
    std::chrono::milliseconds astray;
    float corrected;
  };
  for (const auto& [what, from, off, astray, corrected] : {
           row{"agrees", 10.0f, 0.0f, 1s, 0.0f},
           row{"just within the tolerance", 10.0f, own_pad::tolerance - 1e-4f, 1s, 0.0f},
           row{"the other way", 10.0f, 1e-4f - own_pad::tolerance, 1s, 0.0f},
           row{"astray, but not for long: a lost steering message", 10.0f, 2.0f, 140ms, 0.0f},
           row{"astray, and back in step with the rest", 10.0f, 2.0f, 2s, 2.0f},
           row{"astray for as long as it takes", 10.0f, -1.0f, 150ms, -1.0f},
           row{"just beyond the tolerance", 10.0f, own_pad::tolerance + 0.01f, 150ms,
               own_pad::tolerance + 0.01f},
           row{"to the side", 15.0f, 1.0f, 1s, 1.0f},
       }) {
    own_pad pad;
    common::steady_time now{1h};
    pad.put({common::make_color(0, 1, 0), 6.0f, {from, 20.5f}}, now);
    std::map<common::steady_time, float> shown;  // where this pad stood, each millisecond
    float biggest_step = 0.0f;
    for (int ms = 1; ms <= 2500; ++ms) {
      now += 1ms;
      const float was = pad.pad().pos.x;
      pad.step();
      biggest_step = std::max(biggest_step, std::abs(pad.pad().pos.x - was));
      shown[now] = pad.pad().pos.x;
      if (ms % 10 != 0) continue;
      pad.sample({}, now);
      const bool off_now = ms >= 500 && ms <= 500 + astray.count();
      const auto then = shown.upper_bound(now - 60ms);
      const float host = off_now ? from + off : (then == shown.begin() ? from : std::prev(then)->second);
      pad.check(host, 60ms, now);
    }
    EXPECT_NEAR(pad.pad().pos.x, from + corrected, 1e-3f) << what;
    EXPECT_EQ(pad.corrections(), corrected == 0.0f ? 0 : 1) << what;
    EXPECT_LE(biggest_step, own_pad::most_a_millisecond + 1e-6f) << what;
  }
}

TEST(OwnPad, KnowsNothingBeforeAWholeBoardAndJudgesNoSnapshotOlderThanItsPast) {
  own_pad pad;
  common::steady_time now{1h};
  pad.sample(steering{true, false}, now);
  pad.check(3.0f, 0ms, now);
  EXPECT_FALSE(pad.placed());
  EXPECT_EQ(pad.pad().pos.x, 0.0f);
  pad.put({common::make_color(0, 1, 0), 6.0f, {10.0f, 20.5f}}, now);
  // Snapshots a second old: of the game before this board, whatever they say.
  for (int ms = 10; ms <= 1000; ms += 10) {
    pad.sample({}, now + std::chrono::milliseconds(ms));
    pad.check(12.0f, 1s, now + std::chrono::milliseconds(ms));
  }
  EXPECT_EQ(pad.corrections(), 0);
  // Half a second old, but led from within the leeway of the board's coming: not yet either.
  for (int ms = 1010; ms <= 1300; ms += 10) {
    pad.sample({}, now + std::chrono::milliseconds(ms));
    pad.check(12.0f, std::chrono::milliseconds(ms - 10), now + std::chrono::milliseconds(ms));
  }
  EXPECT_EQ(pad.corrections(), 0);
  // And a host of another mind, who puts the pad beyond the side: this one goes as far as the side.
  for (int ms = 1310; ms <= 3000; ms += 10) {
    pad.sample(steering{false, true}, now + std::chrono::milliseconds(ms));
    pad.check(16.5f, 20ms, now + std::chrono::milliseconds(ms));
    for (int n = 0; n < 10; ++n) pad.step();
  }
  EXPECT_EQ(pad.pad().pos.x, 16.0f);
  EXPECT_EQ(pad.owed(), 0.0f);
}

// A whole host game on stepped time, its messages delayed by `one_way` on their way to a guest mirror: the
// red pad chases the host's ball, the guest's keys chase the ball its screen shows, and the host's green pad
// is where the guest's is. Told: how far the guest's ball keeps from the host's (as late as the mirror means
// to show it: a round trip beyond 200 ms is not believed), how often it leaps, and how late it shows a
// bounce.
struct followed {
  float near95 = 0, farthest = 0;  // cells between the guest's ball and the host's
  int leaps = 0, serves = 0, serves_late = 0, bounces = 0, bounces_late = 0;
};

followed follow_a_host_game(int board, std::chrono::milliseconds one_way, std::chrono::seconds played) {
  game host, guest;
  common::manual_time clock, pause;  // the pause after a lost ball takes no time on the host
  common::board_pattern.choose(board);
  host.board.reset();
  const physics::world world{host.board, host.players, host.log, pause, nullptr};
  std::uint64_t ticks = 0;
  host_report report{host.board, host.players, nullptr, [&ticks] { return ticks; }};
  guest_mirror mirror{guest.board, guest.players, nullptr, clock};
  const auto wall = std::chrono::system_clock::now();
  struct on_the_way {
    common::steady_time due;
    host_message message;
  };
  std::deque<on_the_way> line;
  for (const host_message& m : report.joined(clock.now(), wall)) line.push_back({clock.now() + one_way, m});

  const int lag = static_cast<int>(std::max(one_way - believed_round_trip / 2, 0ms).count());
  const int round_trip = 2 * static_cast<int>(one_way.count());
  const int length = static_cast<int>(std::chrono::milliseconds(played).count());
  std::vector<common::ball_type> host_ball, shown_ball;  // a millisecond each
  std::vector<int> serves;                               // the host's serves so far, each millisecond
  std::vector<float> apart;
  followed f;
  for (int ms = 0; ms < length; ++ms) {
    clock.advance(1ms);
    const common::steady_time now = clock.now();
    if (!host.board.enabled()) {  // someone lost: a new game, as the menu's
      host.players.reset_players();
      host.board.reset();
    }
    if (ms % 20 == 0) {  // the red player is slow, and drops a ball now and then
      const common::ball_type ball = host.board.get_ball();
      const float red = host.board.get_pad1().pos.x;
      if (ball.pos.x < red - 0.5f) host.board.pad1_go(common::direction::L);
      if (ball.pos.x > red + 0.5f) host.board.pad1_go(common::direction::R);
    }
    if (ms % 10 == 0) {
      const common::ball_type seen = guest.board.get_ball();
      const float green = guest.board.get_pad2().pos.x;
      mirror.steer({seen.pos.x<green - 0.5f, seen.pos.x> green + 0.5f}, now);
    }
    host.board.put_pad2(guest.board.get_pad2().pos.x, host.board.started());
    ticks += physics::tick(world);
    const common::ball_type ball = host.board.get_ball();
    const bool served = !host_ball.empty() &&
                        std::hypot(ball.pos.x - host_ball.back().pos.x, ball.pos.y - host_ball.back().pos.y) >
                            ball_follower::blend_within;
    serves.push_back((serves.empty() ? 0 : serves.back()) + served);
    host_ball.push_back(ball);
    if (ms % 10 == 0) {
      for (const host_message& m : report.changes(now, wall)) line.push_back({now + one_way, m});
      line.push_back({now + one_way, report.moving(now, wall)});
    }
    while (!line.empty() && line.front().due <= now) {
      mirror.take(line.front().message, std::chrono::milliseconds(round_trip), wall);
      line.pop_front();
    }
    mirror.step();
    shown_ball.push_back(guest.board.get_ball());
    const common::ball_type& shown = shown_ball.back();
    if (ms < 1000) continue;

    // Compared with the host's ball as late as the mirror shows it, unless a serve since then is not yet
    // known here.
    const std::size_t then = static_cast<std::size_t>(ms - lag),
                      told = static_cast<std::size_t>(ms - one_way.count() - 10);
    if (serves[told] == serves.back())
      apart.push_back(std::hypot(shown.pos.x - host_ball[then].pos.x, shown.pos.y - host_ball[then].pos.y));
    // Every frame (35 a second) the ball moved by its own motion and a cell at most, unless served.
    const std::size_t frame = static_cast<std::size_t>(ms) - 28;
    // (A serve at `s` is shown once the next snapshot arrives, between `s + one_way` and 10 ms later.)
    if (ms % 28 == 0 && serves[static_cast<std::size_t>(ms - one_way.count())] ==
                            serves[static_cast<std::size_t>(ms - 28 - one_way.count() - 10)]) {
      const common::ball_type& before = shown_ball[frame];
      const float moved = std::hypot(shown.pos.x - before.pos.x, shown.pos.y - before.pos.y);
      f.leaps += moved > std::hypot(shown.vel.x, shown.vel.y) * 0.028f + 1.0f;
    }
  }
  // Each bounce on the host, shown here (the ball going the new way) within a round trip and a frame of
  // when the mirror means to show it; judged where nothing else turned the ball meanwhile.
  const int within = lag + round_trip + 28;
  for (int b = 1000; b + within + 100 < length; ++b) {
    const auto turned = [&](int at) {
      return (host_ball[at].vel.y > 0.0f) != (host_ball[at - 1].vel.y > 0.0f);
    };
    if (!turned(b) || serves[b + within + 100] != serves[b - 100]) continue;
    bool alone = true;
    for (int other = b - 100; other <= b + within + 100 && alone; ++other)
      alone = other == b || !turned(other);
    if (!alone) continue;
    ++f.bounces;
    bool shown = false;
    for (int at = b; at <= b + within && !shown; ++at)
      shown = (shown_ball[at].vel.y > 0.0f) == (host_ball[b].vel.y > 0.0f);
    f.bounces_late += !shown;
  }
  // Each serve shown within a round trip and a frame.
  for (int at = 1000; at + within < length; ++at)
    if (serves[at] != serves[at - 1]) {
      ++f.serves;
      const common::vector host_is = host_ball[at + within - lag].pos, shown = shown_ball[at + within].pos;
      f.serves_late += std::hypot(host_is.x - shown.x, host_is.y - shown.y) > 1.0f;
    }
  std::sort(apart.begin(), apart.end());
  f.near95 = apart[apart.size() * 95 / 100];
  f.farthest = apart.back();
  return f;
}

TEST(BallFollower, KeepsToTheHostsBallThroughBouncesOverASlowLineAndNeverLeaps) {
  for (const auto one_way : {0ms, 50ms, 100ms, 150ms}) {
    followed worst;
    for (int board = 0; board < 10; ++board) {
      const followed f = follow_a_host_game(board, one_way, 30s);
      SCOPED_TRACE(testing::Message() << "board " << board << ", " << one_way.count() << " ms each way");
      EXPECT_EQ(f.leaps, 0);
      EXPECT_GE(f.bounces, 10) << "too few bounces to judge";
      EXPECT_EQ(f.bounces_late, 0) << "of " << f.bounces;
      EXPECT_EQ(f.serves_late, 0) << "of " << f.serves;
      EXPECT_LT(f.near95, 0.5f) << "the farthest " << f.farthest;
      worst.near95 = std::max(worst.near95, f.near95);
      worst.farthest = std::max(worst.farthest, f.farthest);
      worst.serves += f.serves;
      worst.bounces += f.bounces;
    }
    std::printf(
        "%3d ms each way, ten boards: the guest's ball off the host's by %.2f cells (95th percentile, "
        "the worst board), %.2f at most; %d bounces, %d serves\n",
        static_cast<int>(one_way.count()), worst.near95, worst.farthest, worst.bounces, worst.serves);
  }
  common::board_pattern.choose(0);
}
