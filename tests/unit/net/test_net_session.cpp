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

const join_code code("12345678");

struct guest_side {
  guest_side(peer_id p, std::uint32_t address, const join_code& tried, common::steady_time now)
      : peer(p), from{address, 40000}, session(tried, random, wire, now) {}
  peer_id peer;
  endpoint from;
  counting_entropy random{128};
  recording_wire wire;
  guest_session session;
  std::vector<host_message> heard;
};

class Session : public ::testing::Test {
 protected:
  Session() : host_(code, random_, wire_, log_) {}

  // A guest that connects from `address` and says its hello; every answer is delivered unless `waits`.
  guest_side& guest(const join_code& tried = code, std::uint32_t address = 0x7F000002, bool waits = false) {
    guests_.push_back(std::make_unique<guest_side>(peer_id(guests_.size() + 1), address, tried, now_));
    guest_side& g = *guests_.back();
    host_.connected(g.peer, g.from, now_);
    g.session.connected(now_);
    if (!waits) pump();
    return g;
  }
  // Delivers datagrams both ways until nobody has anything more to say; `change` may tamper with each.
  void pump(const std::function<void(bytes&)>& change = nullptr) {
    for (bool moved = true; moved;) {
      moved = false;
      for (auto& g : guests_)
        for (auto& d : std::exchange(g->wire.sent, {})) {
          moved = true;
          if (change) change(d.data);
          const auto got = host_.received(g->peer, d.ch, d.data, now_);
          happened_.push_back(got.what);
          if (got.message) from_guests_.push_back(*got.message);
        }
      for (auto& d : std::exchange(wire_.sent, {}))
        for (auto& g : guests_)
          if (g->peer == d.peer) {
            moved = true;
            if (change) change(d.data);
            if (const auto got = g->session.received(d.ch, d.data, now_); got.message)
              g->heard.push_back(*got.message);
          }
    }
  }
  bool happened(happening h) const { return std::ranges::find(happened_, h) != happened_.end(); }
  // The refusal the host sent last.
  refusal_reason refused_for() const {
    return std::get<refusal>(decode_to_guest(wire_.history.back()).value()).reason;
  }
  // The host's refusals since the last look, as its log would tell them.
  std::optional<std::string> refusals() { return host_.refusals().report(reported_at_ += 1h); }

  common::steady_time now_{};
  counting_entropy random_;
  recording_wire wire_;
  recording_log log_;
  host_session host_;
  std::vector<std::unique_ptr<guest_side>> guests_;
  std::vector<happening> happened_;
  std::vector<guest_message> from_guests_;
  common::steady_time reported_at_{};
};

const join_code wrong("00000000");

// The join as this version lays it out, for the counting randomness of both sides.
const std::string proof_point_and_tag =
    "a412f28551c083bdde958463695051ae8567c2424a530ce99b229fde77abf65bddc34630289ca2f8e22aadeb572b97766fcb21a2"
    "2492512"
    "dd0d4d1223c11738f";
const std::string confirmation_bytes = "087bf6c25735629a74c5247af5f8016b12890e268a0fa1b33336d31b2fcf3f7ab7";
const std::string sealed_welcome = "05010000007a510ac0a8b2251a341d9504cc98197646";

TEST_F(Session, AGuestWithTheCodeJoinsAndBothSidesTalkSealedNeverInTheClear) {
  guest_side& g = guest(code, 0x7F010203);
  EXPECT_EQ(g.session.current(), guest_session::state::playing);
  EXPECT_TRUE(happened(happening::joined));
  EXPECT_EQ(host_.guest_endpoint(), g.from);
  EXPECT_EQ(g.heard, std::vector<host_message>{welcome{}});
  // The join is the protocol's own: two builds of one version must agree on every byte. Hello, challenge,
  // proof, confirmation, then the sealed welcome.
  ASSERT_EQ(g.wire.history.size(), 2u);
  ASSERT_EQ(wire_.history.size(), 3u);
  const auto hex = [](const bytes& b) {
    std::string h;
    for (const std::uint8_t x : b) h += "0123456789abcdef"[x >> 4], h += "0123456789abcdef"[x & 15];
    return h;
  };
  EXPECT_EQ(hex(g.wire.history.at(1)).substr(0, 34),
            "031112131415161718191a1b1c1d1e1f20");  // the cookie back
  EXPECT_EQ(hex(g.wire.history.at(1)).substr(34), proof_point_and_tag);
  EXPECT_EQ(hex(wire_.history.at(1)), confirmation_bytes);
  EXPECT_EQ(hex(wire_.history.at(2)), sealed_welcome);
  EXPECT_EQ(log_.messages(),
            std::vector<std::string>{"Gracz zielony dolaczyl przez siec z adresu 127.1.2.3"});
  for (int n = 0; n < 2 * gatekeeper::burst; ++n)  // the guest's own traffic is never counted
    ASSERT_FALSE(host_.gate().refuses(g.from, now_)) << n;

  g.session.send(channel::moving, steering{true, false});
  g.session.send(channel::reliable, menu_choice{common::menu_command{200}});
  host_.send(channel::reliable, info_of("tajne"));
  pump();
  EXPECT_EQ(from_guests_,
            (std::vector<guest_message>{steering{true, false}, menu_choice{common::menu_command{200}}}));
  EXPECT_EQ(g.heard.back(), host_message(info_of("tajne")));
  for (const auto* history : {&wire_.history, &g.wire.history})
    for (const bytes& d : *history) {
      EXPECT_TRUE(std::ranges::search(d, std::string_view("tajne")).empty());
      EXPECT_TRUE(std::ranges::search(d, code.view()).empty());
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

TEST_F(Session, AMessageSentBackToItsSenderOrToTheOtherPartyIsNeverTaken) {
  guest_side& g = guest();
  guest_side other(9, 0x7F000009, code, now_);  // another join: other keys
  host_.send(channel::reliable, points{1, 2});
  const bytes from_host = wire_.sent.back().data;
  wire_.sent.clear();
  for (int n = 0; n < 3; ++n) g.session.send(channel::reliable, steering{});  // numbers ahead of the host's
  const bytes from_guest = g.wire.sent.back().data;
  g.wire.sent.clear();
  // Reflected: each direction has its own key, so a side's own envelope does not open there.
  EXPECT_FALSE(host_.received(g.peer, channel::reliable, from_host, now_).message);
  EXPECT_EQ(host_.drops().total(drop_reason::unauthenticated), 1u);
  EXPECT_FALSE(g.session.received(channel::reliable, from_guest, now_).message);
  EXPECT_EQ(g.session.drops().total(drop_reason::unauthenticated), 1u);
  // Delivered to the one it was meant for, once: taken.
  EXPECT_TRUE(g.session.received(channel::reliable, from_host, now_).message);
  EXPECT_TRUE(host_.received(g.peer, channel::reliable, from_guest, now_).message);
}

TEST_F(Session, TamperingAnywhereInTheJoinEndsItWithNobodyPlaying) {
  // Each byte of each of the four datagrams of the join, in turn: no join ever succeeds, and nothing is
  // left half-joined.
  const std::vector<std::pair<const char*, std::size_t>> steps{
      {"hello", 0}, {"challenge", 1}, {"proof", 2}, {"confirmation", 3}};
  guest_side& honest = guest();
  ASSERT_TRUE(honest.session.current() == guest_session::state::playing);
  const std::size_t lengths[] = {honest.wire.history.at(0).size(), wire_.history.at(0).size(),
                                 honest.wire.history.at(1).size(), wire_.history.at(1).size()};
  host_.say_goodbye();
  pump();
  int joins = 0;
  for (const auto& [what, step] : steps) {
    for (std::size_t at = 0; at < lengths[step]; at += 3) {
      int seen = 0;
      now_ += 1h;  // no block carried over from one row to the next
      guest_side& g = guest(code, 0x7F000100 + static_cast<std::uint32_t>(at), true);
      pump([&](bytes& d) {
        if (seen++ == static_cast<int>(step)) d[at] ^= 0x20;
      });
      joins += g.session.current() == guest_session::state::playing;
      EXPECT_NE(g.session.current(), guest_session::state::playing) << what << " byte " << at;
      EXPECT_FALSE(host_.has_guest()) << what << " byte " << at;
      host_.say_goodbye();
      pump();
    }
  }
  EXPECT_EQ(joins, 0);
}

TEST_F(Session, OnlyAWrongCodeThatCarriesTheCookieBackCountsAndStrangersCannotMakeTheHostForgetIt) {
  // A proof that does not carry the challenge's cookie (someone who cannot receive at its address): let
  // go, dropped, and nobody's guess.
  for (int n = 0; n < 10; ++n) {
    guest_side& spoofed = guest(wrong, 0x7F000002, true);
    pump([](bytes& d) {
      if (d[0] == definition<proof>::type) d[1] ^= 1;
    });
    EXPECT_EQ(spoofed.session.current(), guest_session::state::proved);
  }
  EXPECT_EQ(host_.drops().total(drop_reason::unauthenticated), 10u);
  EXPECT_EQ(host_.gate().total_wrong(), 0);
  EXPECT_FALSE(host_.gate().blocked(0x7F000002, now_));
  // Four wrong codes, then datagrams from 200 other addresses, then the fifth: still blocked.
  for (int n = 0; n < 4; ++n) EXPECT_EQ(guest(wrong).session.end(), ending::wrong_code);
  for (std::uint32_t a = 0; a < 200; ++a) host_.gate().refuses({0x0B000000 + a, 1}, now_);
  EXPECT_EQ(guest(wrong).session.end(), ending::wrong_code);
  EXPECT_TRUE(host_.gate().blocked(0x7F000002, now_));
  EXPECT_EQ(log_.messages().back(), "Adres 127.0.0.2 bedzie pomijany przez minute: 5 zlych kodow");
  EXPECT_EQ(refusals(), "Odrzucono gosci: 5 (zly kod dolaczenia: 5)");
}

TEST_F(Session, FiveWrongCodesWithinAMinuteSilenceAnAddressForAMinute) {
  for (int attempt = 1; attempt <= 6; ++attempt, now_ += 15s)  // spread over more than a minute: no block
    EXPECT_EQ(guest(wrong).session.end(), ending::wrong_code);
  EXPECT_FALSE(host_.gate().blocked(0x7F000002, now_));
  now_ += 60s;
  for (int attempt = 1; attempt <= 5; ++attempt, now_ += 10s) guest(join_code("87654321"));
  EXPECT_EQ(log_.messages().back(), "Adres 127.0.0.2 bedzie pomijany przez minute: 5 zlych kodow");
  const common::steady_time blocked_at = now_ - 10s;
  // Neither its connections nor its datagrams are taken, even with the right code.
  EXPECT_EQ(host_.gate().refuses({0x7F000002, 1}, now_), drop_reason::blocked);
  guest_side& shut_out = guest();
  EXPECT_EQ(shut_out.session.current(), guest_session::state::greeted);
  EXPECT_EQ(wire_.let_go.back(), std::pair(shut_out.peer, true));
  EXPECT_EQ(host_.drops().total(drop_reason::blocked), 1u);
  // Exactly a minute.
  EXPECT_TRUE(host_.gate().blocked(0x7F000002, blocked_at + gatekeeper::block_span - 1ns));
  EXPECT_FALSE(host_.gate().blocked(0x7F000002, blocked_at + gatekeeper::block_span));
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
  now_ = blocked_at + gatekeeper::block_span;
  EXPECT_EQ(guest().session.current(), guest_session::state::playing);
}

TEST_F(Session, ThirtyWrongCodesFromAnyAddressesCloseTheCodeForGood) {
  // One wrong code from each of 29 addresses: no address is blocked, and the code stays open.
  for (std::uint32_t a = 0; a < gatekeeper::wrong_codes_in_all - 1; ++a)
    EXPECT_EQ(guest(wrong, 0x0A000000 + a).session.end(), ending::wrong_code) << a;
  EXPECT_FALSE(host_.closed());
  EXPECT_FALSE(happened(happening::closed));
  // The thirtieth closes it: whoever comes next, with the right code too, is told so.
  EXPECT_EQ(guest(wrong, 0x0A0000FF).session.end(), ending::wrong_code);
  EXPECT_TRUE(host_.closed());
  EXPECT_TRUE(happened(happening::closed));
  EXPECT_EQ(log_.messages().back(),
            "Zbyt wiele zlych kodow dolaczenia: gra nie przyjmuje juz gosci z tym kodem");
  now_ += 24h;
  EXPECT_EQ(guest(code, 0x0C000001).session.end(), ending::closed);
  EXPECT_EQ(refused_for(), refusal_reason::closed);
  EXPECT_EQ(ending_text(ending::closed), "Gospodarz nie przyjmuje juz gosci z tym kodem");
}

TEST_F(Session, OneDoorPerAddressAndTheOldestSilentConnectionGivesWayToANewcomer) {
  // Eight silent connections from one address, each reopened: they hold one place at the most.
  for (peer_id p = 100; p < 108; ++p) host_.connected(p, {0x7F000009, static_cast<std::uint16_t>(p)}, now_);
  EXPECT_EQ(wire_.let_go.size(), 7u) << "each newer connection of the address let the older go";
  for (const auto& [peer, at_once] : wire_.let_go) EXPECT_TRUE(at_once);
  // The other places taken by three more strangers, silent too.
  for (peer_id p = 110; p < 113; ++p) host_.connected(p, {0x7F000010 + p, 1}, now_ + (p - 109) * 1ms);
  wire_.let_go.clear();
  // A guest still gets in: the oldest silent connection (107) gives way.
  now_ += 100ms;
  guest_side& g = guest(code, 0x7F000003);
  EXPECT_EQ(g.session.current(), guest_session::state::playing);
  EXPECT_EQ(wire_.let_go.front(), std::pair(peer_id(107), true));
  // A connection that has said no hello within 2 s is closed without a word; exactly then.
  host_.connected(120, {0x7F000020, 1}, now_);
  wire_.let_go.clear();
  host_.tick(now_ + hello_limit - 1ms);
  EXPECT_TRUE(std::ranges::find(wire_.let_go, std::pair(peer_id(120), true)) == wire_.let_go.end());
  host_.tick(now_ + hello_limit);
  EXPECT_TRUE(std::ranges::find(wire_.let_go, std::pair(peer_id(120), true)) != wire_.let_go.end());
}

TEST_F(Session, AGuestInTheMiddleOfItsJoinKeepsItsPlaceUntilItHasKeptThemWaitingTooLong) {
  // Four guests greeted (challenged), none answering yet: a newcomer finds no place.
  for (std::uint32_t a = 1; a <= host_session::candidates; ++a) guest(code, 0x7F000100 + a, true);
  for (auto& g : guests_) {
    for (auto& d : std::exchange(g->wire.sent, {})) host_.received(g->peer, d.ch, d.data, now_);
  }
  wire_.sent.clear();
  host_.connected(90, {0x7F000090, 1}, now_ + answer_wait - 1ms);
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(90), true));
  // Once they have kept their challenges waiting longer than a real guest would, the oldest gives way.
  host_.connected(91, {0x7F000091, 1}, now_ + answer_wait);
  EXPECT_EQ(wire_.let_go.back(), std::pair(guests_.front()->peer, true));
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
  EXPECT_EQ(refused_for(), refusal_reason::busy);
  EXPECT_EQ(refusals(), "Odrzucono goscia z adresu 127.0.0.5: gra ma juz goscia");
  EXPECT_EQ(guest(code, 0x7F000003).session.end(), ending::busy);
  EXPECT_EQ(refusals(), "Odrzucono goscia z adresu 127.0.0.3: gra ma juz goscia");
  EXPECT_EQ(host_.guest_endpoint(), first.from);

  hello newer{};
  newer.version = protocol_version + 1;
  host_.connected(9, {0x7F000009, 1}, now_);
  host_.received(9, channel::reliable, encode(newer), now_);
  EXPECT_EQ(refused_for(), refusal_reason::version);
  EXPECT_EQ(refusals(), "Odrzucono goscia z adresu 127.0.0.9: inna wersja gry (protokol 3, tutaj 2)");
  guest_side other(5, 1, code, now_);
  other.session.connected(now_);
  other.session.received(channel::reliable, encode(foreign{2, protocol_version + 1}), now_);
  EXPECT_EQ(other.session.end(), ending::version);
  EXPECT_EQ(ending_text(ending::version, other.session.host_version()),
            "Gospodarz ma inna wersje gry (protokol 3, tutaj 2)");
  const std::vector<std::pair<ending, std::string>> lines{
      {ending::goodbye, "Gospodarz zakonczyl gre"},
      {ending::lost, "Utracono polaczenie z gospodarzem"},
      {ending::wrong_code, "Gospodarz odrzucil kod dolaczenia"},
      {ending::busy, "Gospodarz gra juz z innym gosciem"},
      {ending::unreachable, "Nie mozna polaczyc sie z gospodarzem"},
      {ending::impostor, "Drugi komputer nie zna kodu dolaczenia: to nie gospodarz tej gry"},
      {ending::left, ""}};
  for (const auto& [why, line] : lines) EXPECT_EQ(ending_text(why), line);
}

TEST_F(Session, StrangersOutOfTurnWithAPointThatIsNoPointOrSecondToProveAreLetGo) {
  host_.connected(60, {0x7F000160, 1}, now_);
  host_.connected(62, {0x7F000162, 1}, now_);
  host_.connected(63, {0x7F000163, 1}, now_);
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
  // A proof with the cookie back but a point that is none (the identity): a wrong code.
  host_.connected(61, {0x7F000161, 1}, now_);
  host_.received(61, channel::reliable, encode(hello{}), now_);
  const auto asked = std::get<challenge>(decode_to_guest(wire_.history.back()).value());
  host_.received(61, channel::reliable, encode(proof{asked.cookie, point_bytes{}, tag_bytes{}}), now_);
  EXPECT_EQ(refused_for(), refusal_reason::wrong_code);
  EXPECT_EQ(host_.gate().total_wrong(), 1);
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

TEST_F(Session, AGuestActsOnEachAnswerOnlyAtTheStepWhereItCanCome) {
  struct row {
    const char* what;
    to_guest_datagram answer;
    bool after_proof;
    ending end;  // none: dropped, the join goes on
  };
  const auto no = [](refusal_reason r) { return refusal{protocol_version, r}; };
  const std::vector<row> rows{
      {"a wrong code after the proof", no(refusal_reason::wrong_code), true, ending::wrong_code},
      {"a wrong code before it", no(refusal_reason::wrong_code), false, ending::none},
      {"a guest there already", no(refusal_reason::busy), false, ending::busy},
      {"a guest there already, after", no(refusal_reason::busy), true, ending::busy},
      {"another version", foreign{4, 7}, false, ending::version},
      {"another version after the proof", foreign{2, 7}, true, ending::none},
      {"a version refused", no(refusal_reason::version), false, ending::version},
      {"a version refused after the proof", no(refusal_reason::version), true, ending::none},
      {"too slow", no(refusal_reason::too_slow), false, ending::unreachable},
      {"a closed code", no(refusal_reason::closed), true, ending::closed},
      {"a host point that is none", challenge{protocol_version, {}, {}, {}}, false, ending::impostor},
      {"a second challenge", challenge{}, true, ending::none},
      {"a confirmation that is not the host's", confirmation{}, true, ending::impostor},
      {"a confirmation before the proof", confirmation{}, false, ending::none},
  };
  for (const auto& [what, answer, after_proof, end] : rows) {
    guest_side& g = guest(code, 0x7F000050, true);
    if (after_proof) {  // the host's challenge delivered, the guest's proof kept from the host
      for (auto& d : std::exchange(g.wire.sent, {})) host_.received(g.peer, d.ch, d.data, now_);
      for (auto& d : std::exchange(wire_.sent, {})) g.session.received(d.ch, d.data, now_);
    }
    const std::uint64_t dropped = g.session.drops().total(drop_reason::out_of_turn);
    EXPECT_EQ(g.session.received(channel::reliable, encode(answer), now_).end, end) << what;
    EXPECT_EQ(g.session.end(), end) << what;
    if (end == ending::none) {
      EXPECT_EQ(g.session.drops().total(drop_reason::out_of_turn), dropped + 1) << what;
    }
    if (end == ending::version) {
      EXPECT_EQ(g.session.host_version(), std::holds_alternative<foreign>(answer) ? 7 : protocol_version);
    }
    host_.disconnected(g.peer, now_);
    wire_.sent.clear();
  }
  guest_side waiting(9, 1, code, now_);
  waiting.session.connected(now_);
  EXPECT_EQ(waiting.session.disconnected(now_), ending::unreachable);
  EXPECT_TRUE(waiting.session.may_try_again()) << "its connection went before any challenge";

  // Once playing, nothing in the clear is acted on: not even a refusal.
  guest_side& g = guest();
  for (const to_guest_datagram& stray :
       {to_guest_datagram{challenge{}}, to_guest_datagram{confirmation{}},
        to_guest_datagram{no(refusal_reason::wrong_code)}, to_guest_datagram{no(refusal_reason::busy)},
        to_guest_datagram{foreign{2, 9}}})
    EXPECT_EQ(g.session.received(channel::reliable, encode(stray), now_).end, ending::none);
  EXPECT_EQ(g.session.drops().total(drop_reason::out_of_turn), 5u);
  EXPECT_TRUE(g.wire.sent.empty());
  EXPECT_EQ(g.session.current(), guest_session::state::playing);
  EXPECT_EQ(g.session.disconnected(now_), ending::lost);
}

TEST_F(Session, AGuestMayChooseAFewMenuCommandsASecondAndMustAcknowledgeWhatItIsSent) {
  guest_side& g = guest();
  const auto choose = [&] {
    g.session.send(channel::reliable, menu_choice{common::menu_command::pause});
    pump();
    return from_guests_.size();
  };
  for (int n = 1; n <= menu_burst; ++n) EXPECT_EQ(choose(), static_cast<std::size_t>(n)) << n;
  EXPECT_EQ(choose(), static_cast<std::size_t>(menu_burst)) << "beyond the burst: dropped";
  EXPECT_EQ(host_.drops().total(drop_reason::too_often), 1u);
  now_ += menu_interval - 1ms;
  EXPECT_EQ(choose(), static_cast<std::size_t>(menu_burst));
  now_ += 1ms;
  EXPECT_EQ(choose(), static_cast<std::size_t>(menu_burst + 1)) << "one more each interval";
  now_ += 1h;  // a long quiet gives the burst back, no more
  for (int n = 0; n < menu_burst + 2; ++n) choose();
  EXPECT_EQ(from_guests_.size(), static_cast<std::size_t>(2 * menu_burst + 1));
  g.session.send(channel::moving, steering{true, false});  // keys are never limited
  pump();
  EXPECT_EQ(from_guests_.back(), guest_message(steering{true, false}));

  // Data it leaves unacknowledged: up to the bound it stays, beyond it it is let go.
  wire_.waiting = most_unacknowledged;
  EXPECT_EQ(host_.tick(now_), happening::none);
  wire_.waiting = most_unacknowledged + 1;
  EXPECT_EQ(host_.tick(now_), happening::lost);
  EXPECT_EQ(log_.messages().back(), "Gracz zielony nie odbiera danych: rozlaczono go");
  EXPECT_EQ(wire_.let_go.back(), std::pair(g.peer, true));
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
  host_.received(20, channel::reliable, encode(hello{}), now_);  // then silent
  // A guest its host never challenges gives this attempt up sooner, free to try afresh; one that was
  // challenged has spent a guess, and waits the whole join.
  guest_side unanswered(21, 1, code, now_), challenged(22, 1, code, now_);
  challenged.session.connected(now_);
  challenged.session.received(channel::reliable, std::exchange(wire_.sent, {}).back().data, now_);
  ASSERT_EQ(challenged.session.current(), guest_session::state::proved);
  now_ += challenge_wait - 1ms;
  EXPECT_EQ(unanswered.session.tick(now_), ending::none);
  now_ += 1ms;
  EXPECT_EQ(unanswered.session.tick(now_), ending::unreachable);
  EXPECT_TRUE(unanswered.session.may_try_again());
  now_ += join_limit - challenge_wait - 1ms;
  host_.tick(now_);
  EXPECT_EQ(challenged.session.tick(now_), ending::none);
  EXPECT_TRUE(wire_.sent.empty());
  now_ += 1ms;
  host_.tick(now_);
  EXPECT_EQ(challenged.session.tick(now_), ending::unreachable);
  EXPECT_FALSE(challenged.session.may_try_again());
  EXPECT_EQ(refused_for(), refusal_reason::too_slow);
  EXPECT_EQ(wire_.let_go.back(), std::pair(peer_id(20), false));
}

TEST_F(Session, WhatIsForgedReplayedTooOldOrOutOfTurnIsDroppedCountedAndNeverActedOn) {
  guest_side& g = guest();
  std::vector<bytes> kept;
  for (int n = 0; n <= 70; ++n) {
    g.session.send(channel::reliable, steering{n % 2 == 0, false});
    kept.push_back(std::exchange(g.wire.sent, {}).front().data);
  }
  for (int n = 0; n < 70; ++n) host_.received(g.peer, channel::reliable, kept[n], now_);
  bytes tampered = kept[70];
  tampered.back() ^= 1;
  const std::vector<std::tuple<const char*, channel, bytes, drop_reason>> rows{
      {"made up", channel::reliable, encode(sealed{500, bytes(40, 0x33)}), drop_reason::unauthenticated},
      {"tampered with", channel::reliable, tampered, drop_reason::unauthenticated},
      {"replayed", channel::reliable, kept[68], drop_reason::replayed},
      {"older than the window", channel::reliable, kept[5], drop_reason::outside_window},
      {"on the other channel", channel::moving, kept[70], drop_reason::unauthenticated},
      {"in the clear", channel::reliable, encode(proof{}), drop_reason::out_of_turn},
      {"a hello in the clear", channel::reliable, encode(hello{}), drop_reason::out_of_turn},
      {"truncated", channel::reliable, bytes{5, 1, 0}, drop_reason::truncated},
      {"oversized", channel::reliable, bytes(max_datagram + 1, 5), drop_reason::oversized},
  };
  for (const auto& [what, ch, data, why] : rows) {
    const std::uint64_t before = host_.drops().total(why);
    EXPECT_FALSE(host_.received(g.peer, ch, data, now_).message) << what;
    EXPECT_EQ(host_.drops().total(why), before + 1) << what;
  }
  EXPECT_EQ(host_.received(g.peer, channel::reliable, kept[70], now_).message,
            guest_message(steering{true, false}));
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

TEST(RefusalTally, OneRefusalIsToldWithItsAddressAndMoreAreSummedAtMostOnceASecond) {
  refusal_tally t;
  const common::steady_time now{};
  EXPECT_FALSE(t.report(now));
  t.note(refusal_reason::wrong_code, 0x7F000001);
  EXPECT_EQ(t.report(now), "Odrzucono goscia z adresu 127.0.0.1: zly kod dolaczenia");
  t.note(refusal_reason::busy, 0x7F000002);
  EXPECT_FALSE(t.report(now + 999ms));
  for (int n = 0; n < 100; ++n) t.note(refusal_reason::wrong_code, 0x7F000003);
  EXPECT_EQ(t.report(now + 1s), "Odrzucono gosci: 101 (zly kod dolaczenia: 100, gra ma juz goscia: 1)");
  EXPECT_FALSE(t.report(now + 5s));
  t.note(refusal_reason::closed, 0x0A000001);
  EXPECT_EQ(t.report(now + 5s), "Odrzucono goscia z adresu 10.0.0.1: zbyt wiele zlych kodow");
  EXPECT_EQ(t.total(refusal_reason::wrong_code), 101u);
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

TEST(Gatekeeper, AnAddressMaySendItsBurstThenItsRateAndAfterALongQuietOnlyItsBurstAgain) {
  gatekeeper gate;
  common::steady_time now{};
  const endpoint stranger{0x0A000001, 5}, guest{0x0A000002, 6};
  gate.trust(guest);
  int taken = 0;
  for (int n = 0; n < 2000; ++n) taken += !gate.refuses(stranger, now) && !gate.refuses(guest, now);
  EXPECT_EQ(taken, gatekeeper::burst);
  now += 10ms;  // 4 more at 400 a second
  for (int n = 0; n < 4; ++n) EXPECT_FALSE(gate.refuses(stranger, now)) << n;
  EXPECT_EQ(gate.refuses(stranger, now), drop_reason::flooding);
  now += 1h;
  taken = 0;
  for (int n = 0; n < 2000; ++n) taken += !gate.refuses(stranger, now);
  EXPECT_EQ(taken, gatekeeper::burst);
}

TEST(Gatekeeper, WrongCodesAreKeptApartFromTheBudgetsThatStrangersPushOut) {
  gatekeeper gate;
  const common::steady_time now{};
  // Address 1 blocked, address 2 four wrong codes; then a table's worth of strangers, thrice over.
  for (int n = 0; n < 5; ++n)
    EXPECT_EQ(gate.wrong_code(0x0A000001, now),
              n == 4 ? gatekeeper::verdict::blocked : gatekeeper::verdict::counted);
  for (int n = 0; n < 4; ++n) gate.wrong_code(0x0A000002, now);
  for (std::uint32_t a = 0; a < 3 * gatekeeper::budgets; ++a) gate.refuses({0x0B000000 + a, 1}, now);
  EXPECT_TRUE(gate.blocked(0x0A000001, now));
  EXPECT_EQ(gate.refuses({0x0A000001, 1}, now), drop_reason::blocked);
  EXPECT_EQ(gate.wrong_code(0x0A000002, now), gatekeeper::verdict::blocked) << "its four were forgotten";
  // A block lasts exactly its span, and counting starts afresh after it.
  EXPECT_TRUE(gate.blocked(0x0A000001, now + gatekeeper::block_span - 1ns));
  EXPECT_FALSE(gate.blocked(0x0A000001, now + gatekeeper::block_span));
  EXPECT_EQ(gate.wrong_code(0x0A000001, now + gatekeeper::block_span), gatekeeper::verdict::counted);
  // Spread over more than the span, wrong codes never block.
  gatekeeper patient;
  for (int n = 0; n < 20; ++n)
    EXPECT_EQ(patient.wrong_code(0x0A000003, now + n * 15s), gatekeeper::verdict::counted) << n;
  EXPECT_EQ(patient.total_wrong(), 20);
}

TEST(SealedLink, AnAuthenticMessageThatDoesNotFitIsDroppedForItsReason) {
  confirmed_keys keys;
  keys.send = keys.receive = key_bytes{1};
  sealed_link from(keys), to(keys);
  const std::vector<std::pair<bytes, drop_reason>> rows{
      {{0x20}, drop_reason::truncated},  // steering without its keys
      {{0x63}, drop_reason::malformed},
      {{0x10}, drop_reason::malformed},                    // a host's welcome, to a host
      {bytes(max_message, 0x20), drop_reason::malformed},  // the longest that fits: read, and found wrong
      {bytes(max_message + 1, 0x20), drop_reason::oversized}};
  for (const auto& [plaintext, why] : rows) {
    const bytes e = from.seal(channel::reliable, plaintext);
    const sealed envelope{e[1] | e[2] << 8 | e[3] << 16 | std::uint32_t{e[4]} << 24, std::span(e).subspan(5)};
    EXPECT_EQ(to.open<guest_message>(channel::reliable, envelope).dropped, why) << plaintext.size();
  }
  // The nonce is the protocol's own: a steering message another build sealed late in a long game, on the
  // moving channel, opens here, and nowhere else.
  confirmed_keys late_keys;
  for (std::size_t i = 0; i < late_keys.receive.size(); ++i)
    late_keys.receive[i] = static_cast<std::uint8_t>(0xA0 + i);
  const bytes body{0xec, 0xde, 0x56, 0xe8, 0xbc, 0x25, 0x14, 0xbe, 0xe2, 0xc6, 0x5c, 0xa3, 0x72,
                   0x47, 0xc4, 0x8c, 0x68, 0xdb, 0x4c, 0xad, 0xa9, 0xd2, 0xd3, 0xcc, 0x59, 0xfe};
  const sealed late{0x04030201, body};
  EXPECT_EQ(sealed_link(late_keys).open<guest_message>(channel::moving, late).message,
            guest_message(steering{false, true, 12.5f, 3}));
  EXPECT_EQ(sealed_link(late_keys).open<guest_message>(channel::reliable, late).dropped,
            drop_reason::unauthenticated);
  EXPECT_EQ(sealed_link(late_keys).open<guest_message>(channel::moving, sealed{0x04030200, body}).dropped,
            drop_reason::unauthenticated);
}

TEST(JoinCode, EightDigitsFromTheWholeRangeShownWithAHyphenAndWipedWhenDone) {
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
  EXPECT_EQ(draw_join_code(drawn).view(), "99999999");
  EXPECT_EQ(draw_join_code(drawn).view(), "23456789");
  EXPECT_EQ(waiting_line("12345678", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}, 47630),
            "Kod dolaczenia: 1234-5678   adresy: 10.0.0.1, 10.0.0.2, 10.0.0.3   port UDP 47630");
  EXPECT_EQ(waiting_line("00000000", {}, 1), "Kod dolaczenia: 0000-0000   adresy: brak sieci   port UDP 1");
  system_entropy random;
  std::set<char> first_digits;
  for (int n = 0; n < 200; ++n) {
    const join_code c = draw_join_code(random);
    ASSERT_TRUE(std::ranges::all_of(c.view(), [](char d) { return d >= '0' && d <= '9'; })) << c.view();
    first_digits.insert(c.view()[0]);
  }
  EXPECT_EQ(first_digits.size(), 10u);
  EXPECT_EQ(shown_code("01234567"), "0123-4567");
  join_code c("12345678");
  c.wipe();
  EXPECT_EQ(c.view(), std::string_view("\0\0\0\0\0\0\0\0", 8));
  std::string text = "1234-5678";
  wipe(text);
  EXPECT_EQ(text, std::string(9, '\0'));
  for (const char* bad : {"1234567", "123456789", "1234-567", "abcdefgh"})
    EXPECT_THROW(join_code{std::string_view(bad)}, std::invalid_argument) << bad;
}

}  // namespace
