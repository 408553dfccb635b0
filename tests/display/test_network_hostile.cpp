// Strangers at a host's door: peers of the test's own try every bad input on the built game as host, from
// loopback addresses of their own, then flood it with junk while its guest plays. Nothing they send is acted
// on, every drop is counted in the log, and the host and its guest play on.
#include <gtest/gtest.h>

#include "support/net_peer.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;
using ending = net::guest_session::ending;

const std::string code = "2468-1357", digits = "24681357";
const std::string new_game = "Wygenerowano Plansze losowych klockow";

struct bad_input {
  const char* what;
  net::bytes datagram;
  const char* counted_as;
};

TEST(HostileNetwork, NothingAStrangerSendsIsActedOnNorBreaksTheHostOrItsGuest) {
  xvfb_server x("1400x700x24");
  network_games games;
  ASSERT_TRUE(games.start_host(code));
  const auto count = [&](const std::string& m) { return network_games::count(games.host_dir, m); };

  // In place of a hello.
  net::bytes short_hello = net::encode(net::hello{});
  short_hello.pop_back();
  net::hello newer{};
  newer.version = net::protocol_version + 1;
  const std::vector<bad_input> strangers{
      {"junk", {0xFF, 1, 2, 3}, "bledne"},
      {"a hello cut short", short_hello, "uciete"},
      {"a datagram too long", net::bytes(net::max_datagram + 100, 5), "za dlugie"},
      {"a proof before its hello", net::encode(net::proof{}), "nie w pore"},
  };
  int address = 10;
  for (const auto& [what, datagram, reason] : strangers) {
    const std::uint64_t before = games.dropped(reason);
    test_peer stranger(games.port, address++, digits, false);
    ASSERT_TRUE(stranger.until([&] { return stranger.connected; })) << what;
    stranger.send(datagram);
    EXPECT_TRUE(eventually([&] { return games.dropped(reason) > before; }, 10s)) << what;
  }
  test_peer other_version(games.port, 15, digits, false);
  ASSERT_TRUE(other_version.until([&] { return other_version.connected; }));
  other_version.send(net::encode(newer));
  ASSERT_TRUE(other_version.until([&] { return !other_version.received.empty(); }));
  EXPECT_EQ(std::get<net::refusal>(net::decode_datagram(other_version.received[0]).value()).reason,
            net::refusal_reason::version);
  // The host's log thread writes the line after the refusal has gone out, maybe after it has arrived.
  EXPECT_TRUE(eventually(
      [&] {
        return count("Odrzucono goscia z adresu 127.0.0.15: inna wersja gry (protokol 2, tutaj 1)") == 1;
      },
      10s));

  // Five wrong codes from one address, and it is not heard for a minute, not even with the right code.
  for (int attempt = 0; attempt < 5; ++attempt)
    EXPECT_EQ(test_peer(games.port, 20, "00000000").ended(), ending::wrong_code);
  EXPECT_TRUE(eventually(
      [&] { return count("Odrzucono goscia z adresu 127.0.0.20: zly kod dolaczenia") == 5; }, 10s));
  EXPECT_TRUE(
      eventually([&] { return count("Adres 127.0.0.20 bedzie pomijany przez minute: 5 zlych kodow"); }, 10s));
  test_peer blocked(games.port, 20, digits);
  EXPECT_FALSE(blocked.until([&] { return blocked.connected; }, 3s));

  // A guest with the code, and what it then sends wrongly: each of these would start a new game if taken.
  test_peer g(games.port, 30, digits);
  ASSERT_TRUE(g.joined());
  const std::size_t games_before = count(new_game);
  g.hold(true);
  g.session().send(net::channel::reliable, net::menu_choice{105});
  const net::bytes first = g.last_sealed();
  for (int n = 0; n < 69; ++n) g.session().send(net::channel::reliable, net::steering{});
  g.send(g.last_sealed());
  g.session().send(net::channel::reliable, net::menu_choice{105});
  const net::bytes taken = g.last_sealed();
  net::bytes tampered = taken;
  tampered[7] ^= 0x40;
  g.session().send(net::channel::reliable, net::snapshot{});
  g.hold(false);
  const std::vector<bad_input> forgeries{
      {"older than the window", first, "poza oknem"},
      {"tampered with", tampered, "nieuwierzytelnione"},
      {"made up", net::encode(net::datagram{net::sealed{100000, net::bytes(40, 7)}}), "nieuwierzytelnione"},
      {"cut short", {5, 1, 0}, "uciete"},
      {"too long", net::bytes(net::max_datagram + 1, 5), "za dlugie"},
      {"the host's to say", g.last_sealed(), "nie w pore"},
      {"taken", taken, nullptr},
      {"replayed", taken, "powtorzone"},
  };
  for (const auto& [what, datagram, reason] : forgeries) {
    const std::uint64_t before = reason != nullptr ? games.dropped(reason) : 0;
    g.send(datagram);
    EXPECT_TRUE(g.until(
        [&] { return reason ? games.dropped(reason) > before : count(new_game) > games_before; }, 10s))
        << what;
  }
  g.session().say_goodbye();
  EXPECT_TRUE(g.until([&] { return count("Gracz zielony opuscil gre"); }, 10s));
  EXPECT_EQ(count(new_game), games_before + 1) << "a bad entry was acted on";

  // The game's own guest, a second one refused, and a flood of junk: 10 000 datagrams a second for 10 s.
  games.start_guest(code);
  ASSERT_TRUE(eventually([&] { return count("Gracz zielony dolaczyl przez siec z adresu 127.0.0.1"); }, 60s));
  EXPECT_EQ(test_peer(games.port, 40, digits).ended(), ending::busy);
  udp_socket flood(50);
  std::mt19937 junk(7);
  std::uniform_int_distribution<int> byte(0, 255), length(1, 600);
  const auto start = std::chrono::steady_clock::now();
  for (int ms = 1; ms <= 10'000; ++ms) {
    for (int n = 0; n < 10; ++n) {
      std::vector<std::uint8_t> d(static_cast<std::size_t>(length(junk)));
      std::generate(d.begin(), d.end(), [&] { return static_cast<std::uint8_t>(byte(junk)); });
      flood.send(games.port, d);
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
  }
  EXPECT_TRUE(eventually([&] { return games.dropped("zalew") > 50'000; }, 10s)) << games.dropped("zalew");
  EXPECT_TRUE(games.host->running() && games.guest->running());
  EXPECT_EQ(count("Utracono polaczenie z graczem zielonym"), 0u);
  pointer_to(network_games::guest_left + 300, 350);  // the guest still steers
  xdotool("keydown a");
  EXPECT_TRUE(eventually(
      [] {
        const window_image host;
        return host.shows(3.0, 20.5, 0.9, green) && !host.shows(12.0, 20.5, 0.9, green);
      },
      30s));
  xdotool("keyup a");
}

}  // namespace
