// The network threads' passes on stepped time: a host and a guest pass joined through mailbox wires, the
// clock moved a millisecond at a time. The snapshot schedule, the steering repeat, the farewell's wait, the
// loss of the other side and the dropped datagrams' log lines, which only whole games would reach otherwise.
#include <gtest/gtest.h>

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

}  // namespace
