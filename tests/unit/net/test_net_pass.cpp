// The network threads' passes on stepped time: a host and a guest pass joined through mailbox wires, the
// clock moved a millisecond at a time. The snapshot schedule, the steering repeat, the farewell's wait, the
// loss of the other side and the dropped datagrams' log lines, which only whole games would reach otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <sstream>

#include "net/pass.hpp"
#include "support/net_fakes.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;
using testing_support::counting_entropy;
using testing_support::recording_log;
using mailbox_wire = testing_support::recording_wire;

const join_code code("12345678");
constexpr peer_id guest_peer = 7;
constexpr endpoint guest_address{0x7F000002, 40000};

wire_event news(wire_event::kind what, peer_id peer, endpoint from = {}, channel ch = channel::reliable,
                std::span<const std::uint8_t> data = {}) {
  wire_event e;
  e.what = what;
  e.peer = peer;
  e.from = from;
  e.ch = ch;
  e.data = data;
  return e;
}

struct monitors {
  recording_log log;
  state::board_monitor board{log, std::string(TOLVARAN_SOURCE_DIR) + "/boards/", 3, [] { return 5; }};
  state::players_monitor players;
  input::keyboard_monitor keys;
  sound::event_channel events;
};

struct host_side : monitors {
  host_side() { computer.launch(); }
  common::steady_clock_source computer_clock;
  computer::computer_thread computer{computer::world{board, keys}, log, computer_clock};
  std::ostringstream out;
  std::vector<common::menu_command> chosen;
  host_world world{board,
                   players,
                   keys,
                   computer,
                   log,
                   &events,
                   [this](common::menu_command c) { chosen.push_back(c); },
                   [] { return 0; },
                   out};
  counting_entropy random;
  mailbox_wire wire;
  host_session session{code, random, wire, log};
  std::atomic<bool> guest_plays{false};
  host_pass pass{world, session, "Kod dolaczenia: 1234-5678", guest_plays};
};

struct guest_side : monitors {
  explicit guest_side(common::manual_time& time) : clock(time) {}
  common::manual_time& clock;
  std::vector<int> ended;
  guest_world world{board, players, keys, log, &events, [this](int status) { ended.push_back(status); }};
  counting_entropy random{128};
  mailbox_wire wire;
  guest_session session{code, random, wire, clock.now()};
  std::atomic<bool> playing{false};
  std::atomic<std::uint8_t> jumps{0};
  guest_pass pass{world, session, wire, clock, clock.now(), playing, jumps};
};

class Passes : public ::testing::Test {
 protected:
  Passes() { host_.board.reset(); }

  common::steady_time now() { return time_.now(); }
  // Everything sent so far reaches the other side, back and forth until both are quiet; what `lose`
  // picks is lost instead.
  void deliver(const std::function<bool(const mailbox_wire::datagram_sent&)>& lose = nullptr) {
    for (bool moved = true; moved;) {
      moved = false;
      for (const auto& l : std::exchange(guest_.wire.sent, {})) {
        moved = true;
        if (!lose || !lose(l))
          host_.pass.take(news(wire_event::kind::received, guest_peer, guest_address, l.ch, l.data), now(),
                          wall_);
      }
      for (const auto& l : std::exchange(host_.wire.sent, {})) {
        moved = true;
        if (l.peer == guest_peer && (!lose || !lose(l)))
          guest_.pass.take(news(wire_event::kind::received, host_peer, {}, l.ch, l.data), now(), wall_);
      }
    }
  }
  void join() {
    host_.pass.take(news(wire_event::kind::connected, guest_peer, guest_address), now(), wall_);
    guest_.pass.take(news(wire_event::kind::connected, host_peer), now(), wall_);
    deliver();
    ASSERT_TRUE(guest_.playing && host_.guest_plays);
  }
  // Both passes, a millisecond at a time, with every datagram delivered at once.
  void play(std::chrono::milliseconds span) {
    for (auto end = now() + span; now() < end;) {
      time_.advance(1ms);
      host_.pass.tick(now(), wall_);
      guest_.pass.tick(now());
      deliver();
    }
  }
  common::manual_time time_{common::steady_time{1h}};
  std::chrono::system_clock::time_point wall_ = std::chrono::system_clock::now();
  host_side host_;
  guest_side guest_{time_};
};

// The moving channel's datagrams a side sends over `span`, each side's pass ticked every millisecond.
int moving_sent(mailbox_wire& w, common::manual_time& time, std::chrono::milliseconds span,
                const std::function<void()>& tick) {
  int n = 0;
  for (auto end = time.now() + span; time.now() < end;) {
    time.advance(1ms);
    tick();
    for (const auto& l : std::exchange(w.sent, {})) n += l.ch == channel::moving;
  }
  return n;
}

TEST_F(Passes, AHostAloneWaitsLongAndAJoinedGuestGetsASnapshotEveryPeriodNoneMadeUp) {
  const auto host_tick = [&] { host_.pass.tick(now(), wall_); };
  EXPECT_EQ(host_.pass.wait(now()), host_alone_wait);
  EXPECT_EQ(moving_sent(host_.wire, time_, 100ms, host_tick), 0) << "no snapshots without a guest";
  join();
  host_.pass.tick(now(), wall_);  // the join's pass: the first snapshot at once
  EXPECT_EQ(std::count_if(host_.wire.sent.begin(), host_.wire.sent.end(),
                          [](const auto& l) { return l.ch == channel::moving; }),
            1);
  host_.wire.sent.clear();
  // Then one every period, and the pass waits for the wire only until the next is due.
  EXPECT_EQ(host_.pass.wait(now()), host_playing_wait);
  EXPECT_EQ(host_.pass.wait(now() + 7ms), 3ms);
  EXPECT_EQ(host_.pass.wait(now() + 7500us), 3ms) << "rounded up: never woken before it is due";
  EXPECT_EQ(host_.pass.wait(now() + 10ms), 0ms);
  EXPECT_EQ(host_.pass.wait(now() + 25ms), 0ms) << "late: at once, not a negative wait";
  EXPECT_EQ(moving_sent(host_.wire, time_, 100ms, host_tick), 10);
  // A stalled thread: one snapshot for the whole stall, and the next a period after it.
  time_.advance(35ms);
  EXPECT_EQ(moving_sent(host_.wire, time_, 1ms, host_tick), 1);
  EXPECT_EQ(moving_sent(host_.wire, time_, snapshot_period - 1ms, host_tick), 0);
  EXPECT_EQ(moving_sent(host_.wire, time_, 1ms, host_tick), 1);
}

TEST_F(Passes, TheGuestTellsItsKeysWhenTheyChangeAndRepeatsThemEveryFiftyMilliseconds) {
  join();
  const auto guest_tick = [&] { guest_.pass.tick(now()); };
  EXPECT_EQ(moving_sent(guest_.wire, time_, 1ms, guest_tick), 1) << "the first pass tells the keys";
  EXPECT_EQ(moving_sent(guest_.wire, time_, steering_repeat - 1ms, guest_tick), 0);
  EXPECT_EQ(moving_sent(guest_.wire, time_, 1ms, guest_tick), 1) << "unchanged, repeated";
  for (const unsigned char key : {(unsigned char)'a', (unsigned char)'j', common::joy_left}) {
    guest_.keys.set_key_down(key);
    guest_.pass.tick(now());
    deliver();
    EXPECT_TRUE(host_.keys.is_key_down(common::guest_left)) << key;
    EXPECT_FALSE(host_.keys.is_key_down(common::guest_right)) << key;
    guest_.keys.set_key_up(key);
    guest_.pass.tick(now());
    deliver();
    EXPECT_FALSE(host_.keys.is_key_down(common::guest_left)) << key << " let go at once, not a repeat later";
  }
  for (const unsigned char key : {(unsigned char)'d', (unsigned char)'l', common::joy_right}) {
    guest_.keys.set_key_down(key);
    guest_.pass.tick(now());
    deliver();
    EXPECT_TRUE(host_.keys.is_key_down(common::guest_right) && !host_.keys.is_key_down(common::guest_left))
        << key;
    guest_.keys.set_key_up(key);
  }
  // A lost steering datagram is made good by the repeat.
  guest_.keys.set_key_down('a');
  guest_.pass.tick(now());
  deliver([](const auto& l) { return l.ch == channel::moving; });
  EXPECT_FALSE(host_.keys.is_key_down(common::guest_left));
  play(steering_repeat);
  EXPECT_TRUE(host_.keys.is_key_down(common::guest_left));
}

TEST_F(Passes, AGuestsSharedMenuChoiceActsOnTheHostAsItsOwnMenuWould) {
  join();
  guest_.pass.choose(common::new_game_on(4));
  guest_.pass.choose(common::menu_command::pause);
  deliver();
  EXPECT_EQ(host_.chosen, (std::vector{common::new_game_on(4), common::menu_command::pause}));
}

TEST_F(Passes, AGoodbyeWaitsForTheOtherSideAtMostAFarewellsTime) {
  join();
  host_.pass.say_goodbye(now());
  EXPECT_FALSE(host_.guest_plays);
  EXPECT_FALSE(host_.pass.parted(now()));
  EXPECT_FALSE(host_.pass.parted(now() + farewell_wait - 1ms));
  EXPECT_TRUE(host_.pass.parted(now() + farewell_wait));
  deliver();
  EXPECT_EQ(guest_.pass.ending(), guest_session::ending::goodbye);
  // The other side's connection going is its acknowledgement.
  guest_.pass.say_goodbye(now());
  EXPECT_FALSE(guest_.pass.parted(now()));
  guest_.pass.take(news(wire_event::kind::disconnected, host_peer), now(), wall_);
  EXPECT_TRUE(guest_.pass.parted(now()));
}

TEST_F(Passes, ASilentGuestIsLostAndTheComputerSteersGreenAgain) {
  join();
  EXPECT_EQ(host_.players.get2(), common::key_preset::GUEST);
  EXPECT_EQ(host_.board.message_line(), "");
  // The guest's datagrams all lost from here on; the host hears nothing for the silence limit.
  for (auto end = now() + silence_limit - 1ms; now() < end;) {
    time_.advance(1ms);
    host_.pass.tick(now(), wall_);
    guest_.pass.tick(now());
    deliver([](const auto& l) { return l.peer == host_peer; });
  }
  EXPECT_TRUE(host_.guest_plays) << "not yet";
  time_.advance(1ms);
  host_.pass.tick(now(), wall_);
  EXPECT_FALSE(host_.guest_plays);
  EXPECT_EQ(host_.players.get2(), common::key_preset::COMPUTER);
  EXPECT_EQ(host_.board.message_line(), "Kod dolaczenia: 1234-5678") << "waiting for the next guest";
  const auto all = host_.log.messages();
  EXPECT_EQ(std::count(all.begin(), all.end(), "Utracono polaczenie z graczem zielonym"), 1);
}

TEST_F(Passes, ASilentHostIsLostToItsGuest) {
  join();
  for (auto end = now() + silence_limit - 1ms; now() < end;) {
    time_.advance(1ms);
    guest_.pass.tick(now());
    host_.wire.sent.clear();
  }
  EXPECT_EQ(guest_.pass.ending(), guest_session::ending::none);
  time_.advance(1ms);
  guest_.pass.tick(now());
  EXPECT_EQ(guest_.pass.ending(), guest_session::ending::lost);
}

TEST_F(Passes, DroppedDatagramsAreToldInTheLogAtMostOnceASecond) {
  join();
  const auto junk = [&] {
    const bytes forged{5, 1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    host_.pass.take(news(wire_event::kind::received, guest_peer, guest_address, channel::moving, forged),
                    now(), wall_);
  };
  const auto lines = [&] {
    const auto all = host_.log.messages();
    return std::count_if(all.begin(), all.end(),
                         [](const std::string& m) { return m.starts_with("Odrzucono wiadomosci z sieci"); });
  };
  junk();
  host_.pass.tick(now(), wall_);
  EXPECT_EQ(lines(), 1);
  junk();
  time_.advance(999ms);
  host_.pass.tick(now(), wall_);
  EXPECT_EQ(lines(), 1);
  time_.advance(1ms);
  host_.pass.tick(now(), wall_);
  EXPECT_EQ(lines(), 2);
  EXPECT_EQ(host_.log.messages().back(), "Odrzucono wiadomosci z sieci: 1 (nieuwierzytelnione: 1)");
}

TEST_F(Passes, TheGuestsBallStepsEachMillisecondAndAfterAStallCatchesUpAtMostTwenty) {
  join();
  host_.board.ball_step();  // the host's ball moves: its snapshot tells a game that runs
  host_.pass.tick(now(), wall_);
  deliver();
  guest_.pass.tick(now());  // steps nothing: no time has passed since the join
  const auto y = [&] { return guest_.board.get_ball().pos.y; };
  const float speed = std::abs(guest_.board.get_ball().vel.y);
  ASSERT_GT(speed, 0.0f);
  float before = y();
  time_.advance(5ms);
  guest_.pass.tick(now());
  // Within the one step's correction that the snapshot brought, blended in meanwhile.
  const float blended = speed / 1000 + 1e-4f;
  EXPECT_NEAR(std::abs(y() - before), 5 * speed / 1000, blended);
  before = y();
  time_.advance(50ms);
  guest_.pass.tick(now());
  EXPECT_NEAR(std::abs(y() - before), most_steps_at_once * speed / 1000, blended);
  before = y();
  time_.advance(1ms);
  guest_.pass.tick(now());
  EXPECT_NEAR(std::abs(y() - before), speed / 1000, blended) << "the stall is forgotten, not owed";
}

TEST_F(Passes, TheHostsJumpsReachTheOtherThreadsWithTheSnapshotThatShowsThem) {
  join();
  play(20ms);
  struct row {
    const char* what;
    float moved;  // across the board, put there by the host
    std::uint8_t jumps;
    bool at_once;  // or glides there
  };
  for (const auto& [what, moved, jumps, at_once] :
       {row{"a pad's late return, a cell and a half", 1.5f, 1, false},
        row{"the ball left where it is", 0.0f, 1, false}, row{"a serve, far", -8.0f, 2, true},
        row{"and another", 8.0f, 3, true}}) {
    common::ball_type ball = host_.board.get_ball();
    ball.pos.x += moved;
    host_.board.ball_change(ball);
    // Up to the next snapshot, taken by the guest the moment it leaves.
    for (int n = 0; n < snapshot_period.count() && host_.wire.sent.empty(); ++n) {
      time_.advance(1ms);
      host_.pass.tick(now(), wall_);
    }
    deliver();
    const float shown = guest_.board.get_ball().pos.x;
    if (at_once)
      EXPECT_NEAR(shown, ball.pos.x, 1e-4f) << what << ": shown at once";
    else
      EXPECT_GT(std::abs(shown - ball.pos.x), 0.5f) << what << ": glides";
    EXPECT_EQ(guest_.jumps.load(), jumps) << what;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The green pad: the guest's own screen moves it at once, the host takes its word within the rules.

using common::direction;

TEST(PadJudge, TakesAPositionWithinTheBudgetClampsOneBeyondItAndHoldsTheSides) {
  // A pad of width 6 moves between 4 and 16; the budget saves up at most 150 ms of its 20 cells a second.
  const common::steady_time start{1h};
  pad_judge judge;
  judge.restart({common::make_color(0, 1, 0), 6.0f, {10.0f, 20.5f}}, start);
  struct row {
    const char* what;
    std::chrono::milliseconds at;  // since the restart
    float told;
    float taken;
  };
  for (const auto& [what, at, told, taken] : {
           row{"within the saved burst", 0ms, 12.0f, 12.0f},
           row{"the rest of the burst, no more", 0ms, 14.5f, 13.0f},
           row{"nothing saved: nothing more", 0ms, 13.5f, 13.0f},
           row{"back costs as much as forth", 0ms, 12.0f, 13.0f},
           row{"10 ms earn 0.2 cells", 10ms, 14.0f, 13.2f},
           row{"and 25 ms half a cell", 35ms, 12.0f, 12.7f},
           row{"the burst is saved up in 150 ms", 185ms, 16.0f, 15.7f},
           row{"but no more than that", 1185ms, 4.0f, 12.7f},
           row{"beyond the side: towards it, within the burst", 2185ms, 0.0f, 9.7f},
           row{"beyond the other side", 3185ms, 20.0f, 12.7f},
           row{"and on", 4185ms, 20.0f, 15.7f},
           row{"the side and no farther", 5185ms, 20.0f, 16.0f},
           row{"within the burst", 6185ms, 13.5f, 13.5f},
           row{"exactly what is left of it", 6185ms, 13.0f, 13.0f},
           row{"and then nothing", 6185ms, 12.9f, 13.0f},
       }) {
    EXPECT_NEAR(judge.take(told, start + at), taken, 1e-4f) << what;
  }
  // A time that goes back (a message taken with an older reading) earns nothing.
  pad_judge back;
  back.restart({common::make_color(0, 1, 0), 6.0f, {10.0f, 20.5f}}, start);
  EXPECT_NEAR(back.take(16.0f, start), 13.0f, 1e-4f);
  EXPECT_NEAR(back.take(16.0f, start - 1s), 13.0f, 1e-4f);
  EXPECT_NEAR(back.take(16.0f, start + 10ms), 13.2f, 1e-4f) << "nor is what it spent given back twice";
}

TEST(PadJudge, ACheaterSendingManyPositionsAMillisecondGoesNoFartherThanTheRules) {
  const common::steady_time start{1h};
  pad_judge judge;
  judge.restart({common::make_color(0, 1, 0), 6.0f, {4.0f, 20.5f}}, start);
  // A thousand datagrams a millisecond, each asking for the far side.
  float x = 4.0f;
  for (int ms = 0; ms <= 100; ++ms)
    for (int n = 0; n < 1000; ++n) {
      const float next = judge.take(16.0f, start + std::chrono::milliseconds(ms));
      ASSERT_LE(next - x, 3.0f + 1e-4f) << "never a jump beyond the burst";
      x = next;
      ASSERT_LE(x, 4.0f + 3.0f + 0.02f * static_cast<float>(ms) + 1e-3f) << ms;
    }
  EXPECT_NEAR(x, 9.0f, 1e-3f) << "the burst and 100 ms at the pad's speed";
}

TEST(PadLead, TheHeldWayTimesTheSpeedForHalfTheRoundTripAtMostATenthOfASecond) {
  struct row {
    bool left, right;
    std::chrono::milliseconds round_trip;
    float lead;
  };
  for (const auto& [left, right, round_trip, lead] : {
           row{false, true, 0ms, 0.0f},
           row{false, true, 80ms, 0.8f},
           row{true, false, 80ms, -0.8f},
           row{true, true, 80ms, 0.0f},
           row{false, false, 80ms, 0.0f},
           row{false, true, 199ms, 1.99f},
           row{false, true, 200ms, 2.0f},
           row{true, false, 201ms, -2.0f},
           row{false, true, 2s, 2.0f},
       }) {
    EXPECT_NEAR(pad_lead(steering{left, right}, round_trip), lead, 1e-5f)
        << left << right << " " << round_trip.count();
  }
  EXPECT_EQ(pad_speed, 20.0f);
}

TEST_F(Passes, TheGuestsOwnPadMovesAtTheFirstSampleAfterItsKeyAndStopsAtTheSide) {
  join();
  play(5ms);
  const auto x = [&] { return guest_.board.get_pad2().pos.x; };
  ASSERT_EQ(x(), host_.board.get_pad2().pos.x) << "a whole board puts it where the host's is";
  struct row {
    unsigned char key;
    float side;
  };
  for (const auto& [key, side] : {row{'a', 4.0f}, row{'d', 16.0f}, row{'j', 4.0f}, row{'l', 16.0f}}) {
    const float from = x();
    guest_.keys.set_key_down(key);
    int waited = 0;
    for (; x() == from && waited < 100; ++waited) play(1ms);
    EXPECT_GE(waited, 1);
    EXPECT_LE(waited, 10) << key << ": at the first sample, within its 10 ms";
    EXPECT_NEAR(std::abs(x() - from), common::pad_step, 1e-5f) << key << ": one step";
    // Held on: a step a sample, up to the side and exactly there.
    const float from_side = std::abs(side - from);
    play(std::chrono::milliseconds(static_cast<int>(from_side / common::pad_step) * 10 + 50));
    EXPECT_EQ(x(), side) << key;
    play(100ms);
    EXPECT_EQ(x(), side) << key << ": held, it stays";
    guest_.keys.set_key_up(key);
  }
  // Both keys at once: the left one and then the right one, as the host's input thread takes them.
  guest_.keys.set_key_down('a');
  play(200ms);
  const float left = x();
  guest_.keys.set_key_down('d');
  play(200ms);
  EXPECT_NEAR(x(), left, 1e-5f);
  guest_.keys.set_key_up('a');
  guest_.keys.set_key_up('d');
}

TEST_F(Passes, TheHostPutsTheGreenPadWhereTheGuestSaysLedByHalfTheRoundTripWithinTheSides) {
  join();
  const std::uint32_t board = guest_.pass.mirror().told({}).board;
  ASSERT_NE(board, no_board);
  // Straight from a guest's session: what any guest may send.
  const auto tell = [&](const steering& s) {
    guest_.session.send(channel::moving, s);
    deliver();
  };
  const auto green = [&] { return host_.board.get_pad2().pos.x; };
  struct row {
    bool left, right;
    std::chrono::milliseconds round_trip;
    float told;
    float put;
  };
  for (const auto& [left, right, round_trip, told, put] : {
           row{false, true, 0ms, 10.0f, 10.0f},
           row{false, true, 80ms, 10.0f, 10.8f},
           row{true, false, 80ms, 10.0f, 9.2f},
           row{true, true, 80ms, 10.0f, 10.0f},
           row{false, false, 80ms, 11.0f, 11.0f},
           row{false, true, 300ms, 10.0f, 12.0f},  // never led by more than a tenth of a second
           row{true, false, 300ms, 10.0f, 8.0f},
           row{false, true, 300ms, 15.0f, 16.0f},  // and never beyond the side
           row{true, false, 300ms, 4.5f, 4.0f},
       }) {
    const std::string what = std::to_string(left) + std::to_string(right) + " " +
                             std::to_string(round_trip.count()) + " ms, told " + std::to_string(told);
    for (int n = 0; n < 4; ++n) {  // there first, a burst at a time, for the rows not to run into it
      time_.advance(1s);
      tell({false, false, told, board});
    }
    time_.advance(1s);
    host_.wire.measured_round_trip = round_trip;
    tell({left, right, told, board});
    EXPECT_NEAR(green(), put, 1e-4f) << what;
    EXPECT_EQ(host_.keys.is_key_down(common::guest_left), left) << what;
    EXPECT_EQ(host_.keys.is_key_down(common::guest_right), right) << what;
  }

  // A position on another board than the host's last is not taken; the keys are.
  time_.advance(1s);
  const float before = green();
  tell({false, true, 12.0f, board + 1});
  EXPECT_EQ(green(), before);
  EXPECT_TRUE(host_.keys.is_key_down(common::guest_right));
  // A new game: until the host has told its whole board, a position goes nowhere; then the judge starts
  // from the new game's pad, with the burst saved up.
  host_.board.reset();
  const float fresh = green();
  tell({false, false, 13.0f, board});
  EXPECT_EQ(green(), fresh) << "meant for the last game";
  host_.pass.tick(now(), wall_);
  deliver();
  const std::uint32_t next_board = guest_.pass.mirror().told({}).board;
  EXPECT_GT(next_board, board);
  host_.wire.measured_round_trip = 0ms;
  tell({false, false, fresh + 3.0f, board});
  EXPECT_EQ(green(), fresh) << "the last game's board";
  tell({false, false, fresh + 3.0f, next_board});
  EXPECT_NEAR(green(), fresh + 3.0f, 1e-4f);
  tell({false, false, fresh + 3.5f, next_board});
  EXPECT_NEAR(green(), fresh + 3.0f, 1e-4f) << "the burst spent";
}

// Both passes over a line that delays every datagram by a one-way time and loses every 20th on the moving
// channel, the host's input thread sampling every 10 ms out of step with the guest's samples; the guest
// holds its keys as a script says. Each millisecond: the guest's pad and the host's.
struct pads_seen {
  std::vector<float> guest, host;
  std::vector<int> lost_to_host;  // the milliseconds at which a guest's datagram was lost
};

class Line : public Passes {
 protected:
  struct hold {
    std::chrono::milliseconds at;
    unsigned char down, up;  // 0: none
  };
  pads_seen run(std::chrono::milliseconds one_way, const std::vector<hold>& script,
                std::chrono::milliseconds span) {
    host_.wire.measured_round_trip = guest_.wire.measured_round_trip = 2 * one_way;
    struct in_flight {
      common::steady_time due;
      bool to_host;
      mailbox_wire::datagram_sent d;
    };
    std::deque<in_flight> line;
    int moving = 0;
    pads_seen seen;
    input::world host_input{host_.keys, host_.players, host_.board, view_};
    const auto start = now();
    for (int ms = 0; ms < span.count(); ++ms) {
      for (const hold& h : script)
        if (h.at.count() == ms) {
          if (h.up != 0) guest_.keys.set_key_up(h.up);
          if (h.down != 0) guest_.keys.set_key_down(h.down);
        }
      time_.advance(1ms);
      host_.pass.tick(now(), wall_);
      guest_.pass.tick(now());
      if (ms % 10 == 3) input::sample(host_input);
      for (const bool to_host : {true, false})
        for (auto& d : std::exchange((to_host ? guest_.wire : host_.wire).sent, {}))
          if (d.ch != channel::moving || ++moving % 20 != 0)
            line.push_back({now() + one_way, to_host, d});
          else if (to_host)
            seen.lost_to_host.push_back(ms);
      while (!line.empty() && line.front().due <= now()) {
        const in_flight f = line.front();
        line.pop_front();
        if (f.to_host)
          host_.pass.take(news(wire_event::kind::received, guest_peer, guest_address, f.d.ch, f.d.data),
                          now(), wall_);
        else
          guest_.pass.take(news(wire_event::kind::received, host_peer, {}, f.d.ch, f.d.data), now(), wall_);
      }
      seen.guest.push_back(guest_.board.get_pad2().pos.x);
      seen.host.push_back(host_.board.get_pad2().pos.x);
    }
    EXPECT_EQ(now() - start, span);
    return seen;
  }
  state::view_monitor view_;
};

TEST_F(Line, TheGuestsPadAnswersAtOnceNeedsNoCorrectionAndTheHostsFollowsWithinOneWay) {
  join();
  // Left, a rest, right, straight back left, and a rest; the side on the way.
  const std::vector<hold> script{
      {100ms, 'a', 0}, {700ms, 0, 'a'}, {1000ms, 'd', 0}, {1900ms, 'a', 'd'}, {2300ms, 0, 'a'}};
  for (const auto one_way : {0ms, 50ms, 150ms}) {
    const std::string what = std::to_string(one_way.count()) + " ms each way";
    const pads_seen seen = run(one_way, script, 3s);
    EXPECT_EQ(guest_.pass.mirror().own().corrections(), 0) << what;
    // Only its own keys moved the guest's pad: a step at a time, or the last bit to the side.
    std::optional<std::size_t> other_move;
    for (std::size_t t = 1; t < seen.guest.size() && !other_move; ++t) {
      const float moved = std::abs(seen.guest[t] - seen.guest[t - 1]);
      if (!(moved == 0.0f || std::abs(moved - common::pad_step) < 1e-4f || seen.guest[t] == 4.0f ||
            seen.guest[t] == 16.0f))
        other_move = t;
    }
    EXPECT_FALSE(other_move) << what << ", at " << other_move.value_or(0)
                             << " ms: " << seen.guest[other_move.value_or(1) - 1] << " to "
                             << seen.guest[other_move.value_or(0)];
    EXPECT_EQ(seen.guest[650], 4.0f) << what << ": held to the side";
    // Each key: the guest's pad moves at its first sample, the host's within one way and a sample.
    for (const hold& h : script) {
      if (h.down == 0) continue;
      const auto moves = [&](const std::vector<float>& x) {
        const auto at = static_cast<std::size_t>(h.at.count());
        std::size_t t = at;
        while (t + 1 < x.size() && x[t] == x[at]) ++t;
        return static_cast<int>(t - at);
      };
      // Unless the steering message went missing: then the next one, sent a repeat later.
      const bool lost = std::count(seen.lost_to_host.begin(), seen.lost_to_host.end(), h.at.count()) > 0;
      EXPECT_LE(moves(seen.guest), 10) << what << ", key at " << h.at.count() << " ms";
      EXPECT_LE(moves(seen.host), one_way.count() + 11 + (lost ? steering_repeat.count() : 0))
          << what << ", key at " << h.at.count() << " ms";
    }
    // Away from a change of keys, the host's pad is where the guest's screen shows it now; the lead is no
    // longer than a tenth of a second, so beyond that the host's is as far behind.
    const int lag = static_cast<int>(std::max(0ms, one_way - longest_lead).count());
    int compared = 0, apart = 0;
    float farthest = 0.0f;
    for (int t = lag; t < static_cast<int>(seen.host.size()); ++t) {
      const bool settling = std::any_of(script.begin(), script.end(), [&](const hold& h) {
        return t >= h.at.count() && t < h.at.count() + one_way.count() + steering_repeat.count() + 20;
      });
      if (settling) continue;
      ++compared;
      const float off = std::abs(seen.host[t] - seen.guest[t - lag]);
      farthest = std::max(farthest, off);
      apart += off > 2 * common::pad_step + 1e-4f;  // the two sampling schedules a step apart either way
    }
    EXPECT_GT(compared, 1500) << what;
    EXPECT_EQ(apart, 0) << what << ": as far apart as " << farthest;
    // Back to the middle for the next row, by the keys.
    guest_.keys.set_key_down('d');
    run(one_way, {}, 1000ms);
    guest_.keys.set_key_up('d');
    guest_.keys.set_key_down('a');
    run(one_way, {}, 300ms);
    guest_.keys.set_key_up('a');
    run(one_way, {}, 500ms);
  }
}
