// A network game's connection without a wire: a host and guests exchange datagrams through recording wires
// on fake time. The join, the refusals (a wrong code, and five of them blocking an address; a guest already
// playing; another version; a stranger too slow), silence, and sealed messages forged, replayed, too old or
// out of turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "net/play.hpp"
#include "net/session.hpp"
#include "support/net_fakes.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;
using testing_support::counting_entropy;
using testing_support::recording_log;
using testing_support::recording_wire;
using ending = guest_session::ending;
using happening = host_session::happening;

constexpr pwhash_cost cheap{1, 8192};  // Argon2id's least: the same rules, in microseconds
const std::string code = "12345678";
const salt_bytes salt{9, 8, 7};

struct guest_side {
  guest_side(peer_id p, std::uint32_t address, const std::string& tried, common::steady_time now)
      : peer(p), from{address, 40000}, session({tried, cheap}, random, wire, now) {}
  peer_id peer;
  endpoint from;
  counting_entropy random;
  recording_wire wire;
  guest_session session;
  std::vector<game_message> heard;
};

class Session : public ::testing::Test {
 protected:
  Session() : host_({derive_code_key(code, salt, cheap), salt}, random_, wire_, log_) {}

  // A guest that connects from `address` and says its hello; every answer is delivered unless `waits`.
  guest_side& guest(const std::string& tried = code, std::uint32_t address = 0x7F000002, bool waits = false) {
    guests_.push_back(std::make_unique<guest_side>(peer_id(guests_.size() + 1), address, tried, now_));
    guest_side& g = *guests_.back();
    host_.connected(g.peer, g.from, now_);
    g.session.connected(now_);
    if (!waits) pump();
    return g;
  }
  // Delivers datagrams both ways until nobody has anything more to say.
  void pump() {
    for (bool moved = true; moved;) {
      moved = false;
      for (auto& g : guests_)
        for (auto& d : std::exchange(g->wire.sent, {})) {
          moved = true;
          const auto got = host_.received(g->peer, d.ch, d.data, now_);
          happened_.push_back(got.what);
          if (got.message) from_guests_.push_back(*got.message);
        }
      for (auto& d : std::exchange(wire_.sent, {}))
        for (auto& g : guests_)
          if (g->peer == d.peer) {
            moved = true;
            if (const auto got = g->session.received(d.ch, d.data, now_); got.message)
              g->heard.push_back(*got.message);
          }
    }
  }
  bool happened(happening h) const { return std::ranges::find(happened_, h) != happened_.end(); }

  common::steady_time now_{};
  counting_entropy random_;
  recording_wire wire_;
  recording_log log_;
  host_session host_;
  std::vector<std::unique_ptr<guest_side>> guests_;
  std::vector<happening> happened_;
  std::vector<game_message> from_guests_;
};

TEST_F(Session, AGuestWithTheCodeJoinsAndBothSidesTalkSealedNeverInTheClear) {
  guest_side& g = guest(code, 0x7F010203);
  EXPECT_EQ(g.session.current(), guest_session::state::playing);
  EXPECT_TRUE(happened(happening::joined));
  EXPECT_EQ(host_.guest_endpoint(), g.from);
  EXPECT_EQ(g.heard, std::vector<game_message>{welcome{}});
  // The key schedule is the protocol's own: two builds of one version must agree on every byte.
  const auto hex = [](const bytes& b) {
    std::string h;
    for (const std::uint8_t x : b) h += "0123456789abcdef"[x >> 4], h += "0123456789abcdef"[x & 15];
    return h;
  };
  EXPECT_EQ(hex(g.wire.history.at(1)), "03f19dcf9b60c33f1bebad367f0364930e5a9dae481dceb0b6d4979dc491e1b52a");
  EXPECT_EQ(hex(wire_.history.at(1)), "050100000045f7a11593dae01195bdcf7470bbd7cd5f");
  EXPECT_EQ(log_.messages(),
            std::vector<std::string>{"Gracz zielony dolaczyl przez siec z adresu 127.1.2.3"});
  for (int n = 0; n < 2 * gatekeeper::burst; ++n)  // the guest's own traffic is never counted
    ASSERT_FALSE(host_.gate().refuses(g.from, now_)) << n;

  g.session.send(channel::moving, steering{true, false});
  g.session.send(channel::reliable, menu_choice{common::menu_command{200}});
  host_.send(channel::reliable, info_of("tajne"));
  pump();
  EXPECT_EQ(from_guests_,
            (std::vector<game_message>{steering{true, false}, menu_choice{common::menu_command{200}}}));
  EXPECT_EQ(g.heard.back(), game_message(info_of("tajne")));
  host_.send(channel::reliable, steering{});  // not the host's to say
  pump();
  EXPECT_EQ(g.heard.back(), game_message(info_of("tajne")));
  EXPECT_EQ(g.session.drops().total(drop_reason::out_of_turn), 1u);
  for (const auto* history : {&wire_.history, &g.wire.history})
    for (const bytes& d : *history) {
      EXPECT_TRUE(std::ranges::search(d, std::string_view("tajne")).empty());
      EXPECT_TRUE(std::ranges::search(d, code).empty());
    }

  g.session.say_goodbye();
  EXPECT_EQ(g.wire.let_go, (std::vector<std::pair<peer_id, bool>>{{host_peer, false}}));
  pump();
  EXPECT_TRUE(happened(happening::left));
  EXPECT_EQ(wire_.let_go.back(), std::pair(g.peer, false));
  EXPECT_FALSE(host_.has_guest());
  EXPECT_EQ(g.session.end(), ending::left);
  EXPECT_EQ(log_.messages().back(), "Gracz zielony opuscil gre");
  int taken = 0;  // gone, it is a stranger again: counted like any
  for (int n = 0; n < 2 * gatekeeper::burst; ++n) taken += !host_.gate().refuses(g.from, now_);
  EXPECT_LT(taken, 2 * gatekeeper::burst);
}

TEST_F(Session, FiveWrongCodesWithinAMinuteSilenceAnAddressForAMinute) {
  for (int attempt = 1; attempt <= 6; ++attempt, now_ += 15s)  // spread over more than a minute: no block
    EXPECT_EQ(guest("00000000").session.end(), ending::wrong_code);
  EXPECT_FALSE(host_.gate().blocked(0x7F000002, now_));
  now_ += 60s;
  for (int attempt = 1; attempt <= 5; ++attempt, now_ += 10s) guest("87654321");
  EXPECT_EQ(std::ranges::count(log_.messages(), "Odrzucono goscia z adresu 127.0.0.2: zly kod dolaczenia"),
            11);
  EXPECT_EQ(log_.messages().back(), "Adres 127.0.0.2 bedzie pomijany przez minute: 5 zlych kodow");
  // Neither its connections nor its datagrams are taken, even with the right code.
  EXPECT_EQ(host_.gate().refuses({0x7F000002, 1}, now_), drop_reason::blocked);
  guest_side& shut_out = guest();
  EXPECT_EQ(shut_out.session.current(), guest_session::state::greeted);
  EXPECT_EQ(wire_.let_go.back(), std::pair(shut_out.peer, true));
  EXPECT_EQ(host_.drops().total(drop_reason::blocked), 1u);
  // Another address is heard, and this one once the minute is over.
  guest_side& heard = guest(code, 0x7F000003);
  EXPECT_EQ(heard.session.current(), guest_session::state::playing);
  host_.say_goodbye();
  pump();
  EXPECT_EQ(heard.session.end(), ending::goodbye);
  EXPECT_EQ(heard.session.current(), guest_session::state::ended);
  EXPECT_EQ(heard.session.received(channel::reliable, encode(welcome{}), now_).end, ending::goodbye);
  EXPECT_EQ(heard.session.tick(now_ + 1h), ending::goodbye);
  EXPECT_EQ(wire_.let_go.back(), std::pair(heard.peer, false));
  now_ += 50s;
  EXPECT_EQ(guest().session.current(), guest_session::state::playing);
}

TEST_F(Session, ASecondGuestAndPeersOfAnotherVersionAreRefusedSayingWhy) {
  // Strangers waiting meanwhile: letting one go lets only that one go.
  host_.connected(50, {0x7F000005, 1}, now_);
  host_.connected(51, {0x7F000006, 1}, now_);
  host_.received(51, channel::reliable, bytes{0xFF}, now_);
  host_.connected(52, {0x7F000007, 1}, now_);
  host_.disconnected(52, now_);
  const guest_side& first = guest();
  host_.received(50, channel::reliable, encode(hello{}), now_);
  EXPECT_EQ(wire_.sent.back().peer, 50u);
  EXPECT_EQ(std::get<refusal>(decode_datagram(wire_.sent.back().data).value()).reason, refusal_reason::busy);
  EXPECT_EQ(guest(code, 0x7F000003).session.end(), ending::busy);
  EXPECT_EQ(log_.messages().back(), "Odrzucono goscia z adresu 127.0.0.3: gra ma juz goscia");
  EXPECT_EQ(host_.guest_endpoint(), first.from);

  hello newer{};
  newer.version = protocol_version + 1;
  host_.connected(9, {0x7F000009, 1}, now_);
  host_.received(9, channel::reliable, encode(newer), now_);
  EXPECT_EQ(std::get<refusal>(decode_datagram(wire_.sent.back().data).value()).reason,
            refusal_reason::version);
  EXPECT_EQ(log_.messages().back(),
            "Odrzucono goscia z adresu 127.0.0.9: inna wersja gry (protokol 2, tutaj 1)");
  guest_side other(5, 1, code, now_);
  other.session.connected(now_);
  other.session.received(channel::reliable, encode(foreign{2, protocol_version + 1}), now_);
  EXPECT_EQ(other.session.end(), ending::version);
  EXPECT_EQ(ending_text(ending::version, other.session.host_version()),
            "Gospodarz ma inna wersje gry (protokol 2, tutaj 1)");
  const std::vector<std::pair<ending, std::string>> lines{
      {ending::goodbye, "Gospodarz zakonczyl gre"},
      {ending::lost, "Utracono polaczenie z gospodarzem"},
      {ending::wrong_code, "Gospodarz odrzucil kod dolaczenia"},
      {ending::busy, "Gospodarz gra juz z innym gosciem"},
      {ending::unreachable, "Nie mozna polaczyc sie z gospodarzem"},
      {ending::left, ""}};
  for (const auto& [why, line] : lines) EXPECT_EQ(ending_text(why), line);
}

TEST_F(Session, StrangersBeyondTheRoomOutOfTurnWithAKeyThatIsNoKeyOrSecondToProveAreLetGo) {
  const auto refused_for = [&] {
    return std::get<refusal>(decode_datagram(wire_.sent.back().data).value()).reason;
  };
  for (peer_id p = 60; p < 60 + host_session::candidates + 1; ++p)
    host_.connected(p, {0x7F000100 + p, 1}, now_);
  EXPECT_EQ(wire_.let_go, (std::vector<std::pair<peer_id, bool>>{{64, true}}));
  host_.received(60, channel::reliable, encode(proof{}), now_);  // a proof before its hello
  EXPECT_EQ(host_.drops().total(drop_reason::out_of_turn), 1u);
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(60), true));
  host_.received(60, channel::reliable, encode(hello{}), now_);  // and anything after it was let go
  EXPECT_EQ(host_.drops().total(drop_reason::out_of_turn), 2u);
  host_.received(62, channel::reliable, bytes{0xFF}, now_);  // junk
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(62), true));
  host_.received(63, channel::reliable, encode(hello{}), now_);
  host_.received(63, channel::reliable, encode(hello{}), now_);  // a second hello in place of the proof
  EXPECT_EQ(host_.drops().total(drop_reason::out_of_turn), 3u);
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(63), true));
  host_.received(61, channel::reliable, encode(hello{protocol_version, key_bytes{}}), now_);  // no X25519 key
  host_.received(61, channel::reliable, encode(proof{}), now_);
  EXPECT_EQ(refused_for(), refusal_reason::wrong_code);
  EXPECT_EQ(log_.messages().back(), "Odrzucono goscia z adresu 127.0.1.61: zly kod dolaczenia");
  // Two greeted at once: the first to prove the code plays, the second is told the game has its guest.
  guest_side& first = guest(code, 0x7F000003, true);
  guest_side& second = guest(code, 0x7F000004, true);
  pump();
  EXPECT_EQ(first.session.current(), guest_session::state::playing);
  EXPECT_EQ(second.session.end(), ending::busy);
  // A stranger's connection that drops changes nothing; the guest's drops the guest.
  EXPECT_EQ(host_.disconnected(second.peer, now_), happening::none);
  EXPECT_TRUE(host_.has_guest());
  EXPECT_EQ(host_.disconnected(first.peer, now_), happening::lost);
  EXPECT_FALSE(host_.has_guest());
  EXPECT_EQ(log_.messages().back(), "Utracono polaczenie z graczem zielonym");
}

TEST_F(Session, AGuestEndsByEachAnswerThatEndsItsJoinAndDropsWhatComesOutOfTurn) {
  struct row {
    const char* what;
    datagram answer;
    ending end;
  };
  const std::vector<row> rows{
      {"a wrong code", refusal{protocol_version, refusal_reason::wrong_code}, ending::wrong_code},
      {"a guest there already", refusal{protocol_version, refusal_reason::busy}, ending::busy},
      {"another version", foreign{4, 7}, ending::version},
      {"a version refused", refusal{protocol_version, refusal_reason::version}, ending::version},
      {"too slow", refusal{protocol_version, refusal_reason::too_slow}, ending::unreachable},
      {"a host key that is no key", challenge{protocol_version, salt, key_bytes{}}, ending::unreachable}};
  for (const auto& [what, answer, end] : rows) {
    guest_side g(9, 1, code, now_);
    g.session.connected(now_);
    EXPECT_EQ(g.session.received(channel::reliable, encode(answer), now_).end, end) << what;
    EXPECT_EQ(g.session.end(), end) << what;
    const datagram& a = answer;
    EXPECT_EQ(g.session.host_version(), std::holds_alternative<foreign>(a) ? 7
                                        : end == ending::version           ? protocol_version
                                                                           : 0)
        << what;
  }
  guest_side waiting(9, 1, code, now_);
  waiting.session.connected(now_);
  EXPECT_EQ(waiting.session.disconnected(now_), ending::unreachable);

  guest_side& g = guest();
  for (const datagram& stray : {datagram{challenge{protocol_version, salt, key_bytes{1}}}, datagram{hello{}}})
    g.session.received(channel::reliable, encode(stray), now_);
  EXPECT_EQ(g.session.drops().total(drop_reason::out_of_turn), 2u);
  EXPECT_TRUE(g.wire.sent.empty());
  EXPECT_EQ(g.session.current(), guest_session::state::playing);
  EXPECT_EQ(g.session.disconnected(now_), ending::lost);
}

TEST_F(Session, SilenceLosesEitherSideAndAStrangerHasTenSecondsToProveTheCode) {
  guest_side& g = guest();
  now_ += 2s;  // both sides speak: each has heard the other
  g.session.send(channel::moving, steering{});
  host_.send(channel::reliable, points{1, 2});
  pump();
  now_ += silence_limit - 1ms;
  EXPECT_EQ(host_.tick(now_), happening::none);
  EXPECT_EQ(g.session.tick(now_), ending::none);
  now_ += 1ms;
  EXPECT_EQ(host_.tick(now_), happening::lost);
  EXPECT_EQ(g.session.tick(now_), ending::lost);
  EXPECT_EQ(log_.messages().back(), "Utracono polaczenie z graczem zielonym");
  EXPECT_EQ(wire_.let_go, (std::vector<std::pair<peer_id, bool>>{{g.peer, true}}));

  host_.connected(20, {0x7F000004, 1}, now_);
  guest_side idle(21, 1, code, now_);
  now_ += join_limit - 1ms;
  host_.tick(now_);
  EXPECT_EQ(idle.session.tick(now_), ending::none);
  EXPECT_TRUE(wire_.sent.empty());
  now_ += 1ms;
  host_.tick(now_);
  EXPECT_EQ(idle.session.tick(now_), ending::unreachable);
  EXPECT_EQ(std::get<refusal>(decode_datagram(wire_.sent.at(0).data).value()).reason,
            refusal_reason::too_slow);
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(20), false));
}

TEST_F(Session, WhatIsForgedReplayedTooOldOrOutOfTurnIsDroppedCountedAndNeverActedOn) {
  guest_side& g = guest();
  std::vector<bytes> kept;
  for (int n = 0; n <= 70; ++n) {
    g.session.send(channel::reliable, menu_choice{common::new_game_on(n % 10)});
    kept.push_back(std::exchange(g.wire.sent, {}).front().data);
  }
  for (int n = 0; n < 70; ++n) host_.received(g.peer, channel::reliable, kept[n], now_);
  bytes tampered = kept[70];
  tampered.back() ^= 1;
  g.session.send(channel::reliable, info_of("the host's line"));
  const std::vector<std::tuple<const char*, channel, bytes, drop_reason>> rows{
      {"made up", channel::reliable, encode(datagram{sealed{500, bytes(40, 0x33)}}),
       drop_reason::unauthenticated},
      {"tampered with", channel::reliable, tampered, drop_reason::unauthenticated},
      {"replayed", channel::reliable, kept[68], drop_reason::replayed},
      {"older than the window", channel::reliable, kept[5], drop_reason::outside_window},
      {"on the other channel", channel::moving, kept[70], drop_reason::unauthenticated},
      {"in the clear", channel::reliable, encode(datagram{proof{}}), drop_reason::out_of_turn},
      {"the host's to say", channel::reliable, g.wire.sent.back().data, drop_reason::out_of_turn},
      {"truncated", channel::reliable, bytes{5, 1, 0}, drop_reason::truncated},
      {"oversized", channel::reliable, bytes(max_datagram + 1, 5), drop_reason::oversized},
  };
  for (const auto& [what, ch, data, why] : rows) {
    const std::uint64_t before = host_.drops().total(why);
    EXPECT_FALSE(host_.received(g.peer, ch, data, now_).message) << what;
    EXPECT_EQ(host_.drops().total(why), before + 1) << what;
  }
  EXPECT_EQ(host_.received(g.peer, channel::reliable, kept[70], now_).message,
            game_message(menu_choice{common::menu_command{100}}));
  g.session.received(channel::reliable, bytes{5, 1, 0}, now_);  // the guest counts what it drops too
  EXPECT_EQ(g.session.drops().total(drop_reason::truncated), 1u);
  EXPECT_TRUE(host_.has_guest());

  EXPECT_EQ(
      host_.drops().report(now_),
      "Odrzucono wiadomosci z sieci: 9 (nieuwierzytelnione: 3, powtorzone: 1, poza oknem: 1, za dlugie: 1, "
      "uciete: 1, nie w pore: 2)");
  host_.drops().note(drop_reason::flooding);
  EXPECT_FALSE(host_.drops().report(now_ + 999ms));
  EXPECT_EQ(host_.drops().report(now_ + 1s), "Odrzucono wiadomosci z sieci: 1 (zalew: 1)");
  EXPECT_FALSE(host_.drops().report(now_ + 5s));  // nothing new
}

TEST(ReplayWindow, TakesEachNumberOnceAndNothingOlderThanSixtyFourBehind) {
  replay_window w;
  using v = replay_window::verdict;
  for (std::uint32_t n : {1u, 3u, 100u, 37u}) {
    ASSERT_EQ(w.check(n), v::fresh) << n;
    w.take(n);
  }
  const std::vector<std::pair<std::uint32_t, v>> rows{{100, v::replayed}, {37, v::replayed}, {36, v::too_old},
                                                      {38, v::fresh},     {99, v::fresh},    {101, v::fresh},
                                                      {3, v::too_old},    {0, v::too_old}};
  for (const auto& [n, verdict] : rows) EXPECT_EQ(w.check(n), verdict) << n;
  w.take(200);  // a leap beyond the window forgets all before it
  EXPECT_EQ(w.check(136), v::too_old);
  EXPECT_EQ(w.check(137), v::fresh);
  EXPECT_EQ(w.check(200), v::replayed);
  w.take(137);  // the oldest the window holds
  w.take(264);  // exactly a window ahead: all before it is forgotten too
  EXPECT_EQ(w.check(201), v::fresh);
  // Numbers start at 1: in a young window 0 is never fresh, and 1 once taken is a replay.
  replay_window young;
  young.take(1);
  young.take(2);
  EXPECT_EQ(young.check(1), v::replayed);
  EXPECT_EQ(young.check(0), v::too_old);
}

TEST(Gatekeeper, AnAddressMaySendItsBurstThenItsRateTheGuestIsNotCountedNorABlockForgotten) {
  gatekeeper gate;
  common::steady_time now{};
  const endpoint stranger{0x0A000001, 5}, guest{0x0A000002, 6};
  gate.trust(guest);
  int taken = 0;
  for (int n = 0; n < 2000; ++n) taken += !gate.refuses(stranger, now) && !gate.refuses(guest, now);
  EXPECT_EQ(taken, static_cast<int>(gatekeeper::burst));
  now += 10ms;  // 4 more at 400 a second
  for (int n = 0; n < 4; ++n) EXPECT_FALSE(gate.refuses(stranger, now)) << n;
  EXPECT_EQ(gate.refuses(stranger, now), drop_reason::flooding);
  // A table full of other addresses pushes the quiet ones out, never a blocked one.
  for (int n = 0; n < 5; ++n) gate.wrong_code(0x0A0000FF, now);
  for (std::uint32_t a = 0; a < 3 * gatekeeper::addresses; ++a) gate.refuses({0x0B000000 + a, 1}, now);
  EXPECT_TRUE(gate.blocked(0x0A0000FF, now));
  EXPECT_FALSE(gate.blocked(0x0A0000FF, now + gatekeeper::block_span));
}

TEST(Gatekeeper, AFullTableLetsGoOfTheAddressHeardLongestAgoABlockedOneLastAndForgetsIt) {
  gatekeeper gate;
  const auto at = [](std::chrono::milliseconds t) { return common::steady_time{} + t; };
  const auto address = [](std::uint32_t n) { return 0x0A000000 + n; };
  for (std::uint32_t n = 0; n < gatekeeper::addresses; ++n)
    gate.refuses({address(n), 1}, at(std::chrono::milliseconds(n)));
  // Address 1 gives five wrong codes and is blocked, addresses 2 and 3 four each; 0 and 2 are heard again.
  for (int n = 0; n < 5; ++n) EXPECT_EQ(gate.wrong_code(address(1), at(1ms)), n == 4) << n;
  for (int n = 0; n < 4; ++n) gate.wrong_code(address(2), at(2ms));
  for (int n = 0; n < 4; ++n) gate.wrong_code(address(3), at(3ms));
  gate.refuses({address(0), 1}, at(100ms));
  gate.refuses({address(2), 1}, at(100ms));
  // A newcomer takes the place of address 3, the one heard from longest ago that is not blocked.
  gate.refuses({address(99), 1}, at(101ms));
  EXPECT_FALSE(gate.wrong_code(address(99), at(102ms))) << "the newcomer inherited wrong codes";
  EXPECT_TRUE(gate.wrong_code(address(2), at(103ms))) << "address 2 was let go";
  EXPECT_TRUE(gate.blocked(address(1), at(104ms))) << "a block was let go";
  for (int n = 0; n < 4; ++n) EXPECT_FALSE(gate.wrong_code(address(3), at(105ms))) << "address 3 was kept";
  // Address 3 came back in place of address 4. The moment address 1's block ends, it is the oldest place
  // there is, before address 5, and the next newcomer takes it.
  const auto block_end = at(1ms) + gatekeeper::block_span;
  for (int n = 0; n < 4; ++n) gate.wrong_code(address(5), block_end - 1ms);
  gate.refuses({address(98), 1}, block_end);
  EXPECT_TRUE(gate.wrong_code(address(5), block_end)) << "address 5 was let go in place of address 1";
}

TEST(SealedLink, AnAuthenticMessageThatDoesNotFitIsDroppedForItsReason) {
  const session_keys keys{{1}, {1}};
  sealed_link from(keys), to(keys);
  const std::vector<std::pair<bytes, drop_reason>> rows{
      {{0x12}, drop_reason::truncated},
      {{0x63}, drop_reason::malformed},
      {bytes(max_message, 0x10), drop_reason::malformed},  // the longest that fits: read, and found wrong
      {bytes(max_message + 1, 0x10), drop_reason::oversized}};
  for (const auto& [plaintext, why] : rows) {
    const bytes e = from.seal(channel::reliable, plaintext);
    const sealed envelope{e[1] | e[2] << 8 | e[3] << 16 | std::uint32_t{e[4]} << 24, std::span(e).subspan(5)};
    EXPECT_EQ(to.open(channel::reliable, envelope).dropped, why) << plaintext.size();
  }
  // The nonce is the protocol's own: a steering message another build sealed late in a long game, on the
  // moving channel, opens here, and nowhere else.
  key_bytes key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA0 + i);
  const bytes body{0xec, 0xde, 0x91, 0xc7, 0x9f, 0x51, 0x92, 0xe4, 0x91,
                   0xf0, 0xcb, 0x37, 0x5f, 0x24, 0xad, 0x30, 0x7a, 0x10};
  const sealed late{0x04030201, body};
  EXPECT_EQ(sealed_link({{}, key}).open(channel::moving, late).message, game_message(steering{false, true}));
  EXPECT_EQ(sealed_link({{}, key}).open(channel::reliable, late).dropped, drop_reason::unauthenticated);
  EXPECT_EQ(sealed_link({{}, key}).open(channel::moving, sealed{0x04030200, body}).dropped,
            drop_reason::unauthenticated);
}

TEST(JoinCode, EightDigitsFromTheWholeRangeShownWithAHyphenEachItsOwnKey) {
  struct script final : entropy {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    void fill(std::span<std::uint8_t> out) override {
      for (auto& b : out) b = bytes.at(at++);
    }
  } drawn;
  // From 4 200 000 000 on, 32 bits lie beyond the last whole 10^8: drawn again. Then 4 199 999 999, and
  // 123 456 789.
  drawn.bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xEA, 0x56, 0xFA,
                 0xFF, 0xE9, 0x56, 0xFA, 0x15, 0xCD, 0x5B, 0x07};
  EXPECT_EQ(draw_join_code(drawn), "99999999");
  EXPECT_EQ(draw_join_code(drawn), "23456789");
  EXPECT_EQ(waiting_line("12345678", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}, 47630),
            "Kod dolaczenia: 1234-5678   adresy: 10.0.0.1, 10.0.0.2, 10.0.0.3   port UDP 47630");
  EXPECT_EQ(waiting_line("00000000", {}, 1), "Kod dolaczenia: 0000-0000   adresy: brak sieci   port UDP 1");
  system_entropy random;
  std::set<char> first_digits;
  for (int n = 0; n < 200; ++n) {
    const std::string c = draw_join_code(random);
    ASSERT_TRUE(c.size() == 8 && std::ranges::all_of(c, [](char d) { return d >= '0' && d <= '9'; })) << c;
    first_digits.insert(c[0]);
  }
  EXPECT_EQ(first_digits.size(), 10u);
  EXPECT_EQ(shown_code("01234567"), "0123-4567");
  EXPECT_NE(derive_code_key("12345678", salt, cheap), derive_code_key("12345679", salt, cheap));
  EXPECT_NE(derive_code_key("12345678", salt, cheap), derive_code_key("12345678", salt_bytes{}, cheap));
}

}  // namespace
