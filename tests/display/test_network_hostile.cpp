// Strangers at a host's door: a test's own peers try every bad input on the built game as host, from
// loopback addresses of their own, and then flood it with junk while a guest plays. Nothing they send is
// acted on, every drop is counted in the log, and the host and its guest play on.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "support/net_peer.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

const std::string code = "2468-1357", digits = "24681357";
const std::string new_game = "Wygenerowano Plansze losowych klockow";

class HostileNetwork : public ::testing::Test {
 protected:
  HostileNetwork() : x_("1400x700x24") {
    std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", host_dir_ / "boards");
  }

  std::size_t count(const std::string& message) const {
    const auto all = log_messages(host_dir_.path());
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }
  bool logged(const std::string& message) const { return count(message) > 0; }
  // What the host's log says it dropped for a reason, all its lines together.
  std::uint64_t dropped(const std::string& reason) const {
    const std::regex counted(reason + ": (\\d+)");
    std::uint64_t sum = 0;
    for (const auto& m : log_messages(host_dir_.path())) {
      if (!m.starts_with("Odrzucono wiadomosci z sieci:")) continue;
      std::smatch found;
      if (std::regex_search(m, found, counted)) sum += std::stoull(found[1]);
    }
    return sum;
  }

  xvfb_server x_;
  temp_dir host_dir_, guest_dir_;
  std::uint16_t port_ = free_udp_port();
  std::optional<child_process> host_, guest_;
};

TEST_F(HostileNetwork, NothingAStrangerSendsIsActedOnNorBreaksTheHostOrItsGuest) {
  host_.emplace(TOLVARAN_GAME, host_dir_.path(),
                std::vector<std::string>{"--host", "--port", std::to_string(port_), "--code", code});
  ASSERT_TRUE(eventually(
      [&] { return logged("Gra przez siec czeka na goscia, port UDP " + std::to_string(port_)); }, 60s));

  // Before the join, in place of a hello.
  net::bytes short_hello = net::encode(net::hello{});
  short_hello.pop_back();
  const std::vector<std::tuple<const char*, net::bytes, const char*>> strangers{
      {"junk", {0xFF, 1, 2, 3}, "bledne"},
      {"a hello cut short", short_hello, "uciete"},
      {"a datagram too long", net::bytes(net::max_datagram + 100, 5), "za dlugie"},
      {"a proof before its hello", net::encode(net::proof{}), "nie w pore"},
  };
  int address = 10;
  for (const auto& [what, datagram, reason] : strangers) {
    const std::uint64_t before = dropped(reason);
    test_peer stranger(port_, address++, digits, false);
    ASSERT_TRUE(stranger.until([&] { return stranger.connected; })) << what;
    stranger.send(datagram);
    EXPECT_TRUE(eventually([&] { return dropped(reason) > before; }, 10s)) << what;
  }

  // Five wrong codes from one address, and it is not heard for a minute, not even with the right code.
  for (int attempt = 0; attempt < 5; ++attempt) {
    test_peer guesser(port_, 20, "00000000");
    ASSERT_TRUE(guesser.until([&] { return guesser.session().end() != net::guest_session::ending::none; }));
    EXPECT_EQ(guesser.session().end(), net::guest_session::ending::wrong_code);
  }
  EXPECT_EQ(count("Odrzucono goscia z adresu 127.0.0.20: zly kod dolaczenia"), 5u);
  EXPECT_TRUE(eventually(
      [&] { return logged("Adres 127.0.0.20 bedzie pomijany przez minute: 5 zlych kodow"); }, 10s));
  {
    test_peer blocked(port_, 20, digits);
    EXPECT_FALSE(blocked.until([&] { return blocked.connected; }, 3s));
  }

  // A guest with the code, and what it then sends wrongly: each of these would start a new game if taken.
  test_peer g(port_, 30, digits);
  ASSERT_TRUE(g.joined());
  EXPECT_TRUE(g.until([&] { return logged("Gracz zielony dolaczyl przez siec z adresu 127.0.0.30"); }, 10s));
  const std::size_t games = count(new_game);
  g.hold(true);
  g.session().send(net::channel::reliable, net::menu_choice{105});
  const net::bytes first = g.sealed().back();
  for (int n = 0; n < 69; ++n) g.session().send(net::channel::reliable, net::steering{});
  g.send(g.sealed().back());
  g.session().send(net::channel::reliable, net::menu_choice{105});
  const net::bytes taken = g.sealed().back();
  net::bytes tampered = taken;
  tampered[7] ^= 0x40;
  g.session().send(net::channel::reliable, net::snapshot{});
  const net::bytes out_of_turn = g.sealed().back();
  g.hold(false);
  const std::vector<std::tuple<const char*, net::bytes, const char*>> forgeries{
      {"older than the window", first, "poza oknem"},
      {"tampered with", tampered, "nieuwierzytelnione"},
      {"made up", net::encode(net::datagram{net::sealed{100000, net::bytes(40, 7)}}), "nieuwierzytelnione"},
      {"cut short", {5, 1, 0}, "uciete"},
      {"too long", net::bytes(net::max_datagram + 1, 5), "za dlugie"},
      {"the host's to say", out_of_turn, "nie w pore"},
  };
  for (const auto& [what, datagram, reason] : forgeries) {
    const std::uint64_t before = dropped(reason);
    g.send(datagram);
    EXPECT_TRUE(g.until([&] { return dropped(reason) > before; }, 10s)) << what;
  }
  g.send(taken);
  EXPECT_TRUE(g.until([&] { return count(new_game) == games + 1; }, 10s)) << "the one good entry not taken";
  const std::uint64_t replays = dropped("powtorzone");
  g.send(taken);
  EXPECT_TRUE(g.until([&] { return dropped("powtorzone") > replays; }, 10s));
  g.session().say_goodbye();
  EXPECT_TRUE(g.until([&] { return logged("Gracz zielony opuscil gre"); }, 10s));
  EXPECT_EQ(count(new_game), games + 1) << "a bad entry was acted on";

  // The game's own guest, then a second one, refused, and a flood of junk: 10 000 datagrams a second for
  // 10 s from another address.
  guest_.emplace(TOLVARAN_GAME, guest_dir_.path(),
                 std::vector<std::string>{"--join", "127.0.0.1", "--port", std::to_string(port_), "--code",
                                          code, "-geometry", "600x600+700+50"});
  ASSERT_TRUE(
      eventually([&] { return count("Gracz zielony dolaczyl przez siec z adresu 127.0.0.1") == 1; }, 60s));
  test_peer second(port_, 40, digits);
  ASSERT_TRUE(second.until([&] { return second.session().end() != net::guest_session::ending::none; }));
  EXPECT_EQ(second.session().end(), net::guest_session::ending::busy);

  udp_sender flood(50);
  std::mt19937 junk(7);
  std::uniform_int_distribution<int> byte(0, 255), length(1, 600);
  const auto start = std::chrono::steady_clock::now();
  for (int ms = 0; ms < 10'000; ++ms) {
    for (int n = 0; n < 10; ++n) {
      std::vector<std::uint8_t> d(static_cast<std::size_t>(length(junk)));
      for (auto& b : d) b = static_cast<std::uint8_t>(byte(junk));
      flood.send(port_, d);
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(ms + 1));
  }
  EXPECT_TRUE(eventually([&] { return dropped("zalew") > 50'000; }, 10s)) << dropped("zalew");
  EXPECT_TRUE(host_->running());
  EXPECT_TRUE(guest_->running());
  EXPECT_FALSE(logged("Utracono polaczenie z graczem zielonym"));

  // The guest still steers.
  pointer_to(1000, 350);
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
