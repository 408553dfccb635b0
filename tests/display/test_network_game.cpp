// A game over the network end to end: the built game as host and as guest, two processes on loopback under
// one private X server, the guest's window beside the host's; played with real X events and judged by the
// windows, the logs and the exit statuses.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/net_peer.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

const std::string code = "1234-5678";
constexpr int guest_left = 700;  // where the guest's window stands on the screen

class NetworkGame : public ::testing::Test {
 protected:
  NetworkGame() : x_("1400x700x24") {
    std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", host_dir_ / "boards");
  }

  void start_host() {
    host_.emplace(TOLVARAN_GAME, host_dir_.path(),
                  std::vector<std::string>{"--host", "--port", std::to_string(port_), "--code", code});
    ASSERT_TRUE(eventually(
        [&] {
          return logged(host_dir_, "Gra przez siec czeka na goscia, port UDP " + std::to_string(port_));
        },
        60s));
  }
  void start_guest(const std::string& guest_code = code) {
    guest_.emplace(TOLVARAN_GAME, guest_dir_.path(),
                   std::vector<std::string>{"--join", "127.0.0.1", "--port", std::to_string(port_), "--code",
                                            guest_code, "-geometry", "600x600+700+50"});
  }
  void join() {
    start_host();
    start_guest();
    ASSERT_TRUE(eventually(
        [&] { return logged(guest_dir_, "Gra przez siec: gracz zielony dolaczyl do gospodarza"); }, 60s));
    ASSERT_TRUE(logged(host_dir_, "Gracz zielony dolaczyl przez siec z adresu 127.0.0.1"));
  }
  static bool logged(const temp_dir& dir, const std::string& message) {
    return log_contains(dir.path(), message);
  }
  static std::size_t count(const temp_dir& dir, const std::string& message) {
    const auto all = log_messages(dir.path());
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }
  static window_image guest_image() { return window_image{take_screenshot(), guest_left, 50}; }

  xvfb_server x_;
  temp_dir host_dir_, guest_dir_;
  std::uint16_t port_ = free_udp_port();
  std::optional<child_process> host_, guest_;
};

// The pictures of the two windows, but for the program's own time (line 3) and the game time (line 4),
// which may tick at another moment.
int differing_pixels(const window_image& a, const window_image& b) {
  int differ = 0;
  for (int y = 0; y < 600; ++y)
    for (int x = 0; x < 600; ++x) {
      if (y >= 11 + 13 * 3 && y < 25 + 13 * 4 && x < 300) continue;
      const rgb p = a.at(x, y), q = b.at(x, y);
      differ += p.r != q.r || p.g != q.g || p.b != q.b;
    }
  return differ;
}

TEST_F(NetworkGame, TheGuestSteersGreenSharesPauseAndBoardsAndSeesTheHostsGameUntilTheHostEndsIt) {
  start_host();
  // The code is for the players, on the window and the standard output, and never in the log.
  EXPECT_NE(host_->standard_output().find("Kod dolaczenia: 1234-5678"), std::string::npos);
  EXPECT_TRUE(eventually([] { return window_image().line_end(8) > 200; }, 10s))
      << "no join code on the window";
  start_guest();
  ASSERT_TRUE(eventually(
      [&] { return logged(guest_dir_, "Gra przez siec: gracz zielony dolaczyl do gospodarza"); }, 60s));
  EXPECT_TRUE(
      eventually([&] { return logged(host_dir_, "Gracz zielony przelaczony na sterowanie reczne"); }, 10s));

  pointer_to(guest_left + 300, 350);
  xdotool("keydown a");
  EXPECT_TRUE(eventually(
      [] {
        const window_image host;
        return host.shows(3.0, 20.5, 0.9, green) && !host.shows(12.0, 20.5, 0.9, green);
      },
      30s))
      << "the host's green pad did not go left";
  xdotool("keyup a");
  xdotool("keydown d");
  EXPECT_TRUE(eventually(
      [] {
        const window_image host;
        return host.shows(17.0, 20.5, 0.9, green) && !host.shows(8.0, 20.5, 0.9, green);
      },
      30s))
      << "the host's green pad did not go right";
  xdotool("keyup d");

  // Bricks fall on the host; paused from the guest's menu, both windows show the same game.
  EXPECT_TRUE(eventually(
      [&] {
        for (const auto& m : log_messages(host_dir_.path()))
          if (m.starts_with("Zniszczono kostke")) return true;
        return false;
      },
      60s));
  ASSERT_TRUE(menu_driver().choose(guest_left + 100, 150, menu_path::pause));
  EXPECT_TRUE(eventually([] { return differing_pixels(window_image(), guest_image()) == 0; }, 20s))
      << differing_pixels(window_image(), guest_image()) << " pixels differ";

  // A new board from the guest's menu is the shared game's.
  const std::size_t boards = count(host_dir_, "Wygenerowano Plansze losowych klockow");
  ASSERT_TRUE(menu_driver().choose(guest_left + 100, 150, menu_path::board(5)));
  EXPECT_TRUE(eventually(
      [&] { return count(host_dir_, "Wygenerowano Plansze losowych klockow") == boards + 1; }, 20s));

  // "Zakoncz" on the host: the guest says why and ends by itself with status 0.
  ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game));
  EXPECT_EQ(host_->wait_for_exit(30s), 0);
  EXPECT_TRUE(eventually([&] { return logged(guest_dir_, "Gospodarz zakonczyl gre"); }, 10s));
  EXPECT_EQ(guest_->wait_for_exit(10s), 0);
  for (const auto& m : log_messages(host_dir_.path())) {
    EXPECT_EQ(m.find("1234"), std::string::npos) << m;
    EXPECT_EQ(m.find("5678"), std::string::npos) << m;
  }
}

TEST_F(NetworkGame, AGuestKilledIsLostTheComputerSteersGreenAgainAndTheHostWaitsForTheNext) {
  join();
  ::kill(guest_->pid(), SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually(
      [&] { return count(host_dir_, "Gracz zielony przelaczony na sterowanie automatyczne") == 2; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 5s);
  EXPECT_TRUE(logged(host_dir_, "Utracono polaczenie z graczem zielonym"));
  EXPECT_TRUE(eventually([] { return window_image().line_end(8) > 200; }, 10s))
      << "the code is not shown again";

  guest_.reset();
  start_guest();
  EXPECT_TRUE(eventually(
      [&] { return count(host_dir_, "Gracz zielony dolaczyl przez siec z adresu 127.0.0.1") == 2; }, 60s));
}

TEST_F(NetworkGame, AHostKilledIsLostToItsGuestWhichSaysSoAndEndsWithStatusOne) {
  join();
  ::kill(host_->pid(), SIGKILL);
  EXPECT_TRUE(eventually([&] { return logged(guest_dir_, "Utracono polaczenie z gospodarzem"); }, 10s));
  EXPECT_GT(guest_image().line_end(8), 100) << "the guest does not say why";
  EXPECT_EQ(guest_->wait_for_exit(10s), 1);
  const auto messages = log_messages(guest_dir_.path());
  EXPECT_EQ(messages.back(),
            "Zako\xF1"
            "czono dzialanie programu");
}

TEST_F(NetworkGame, AWrongCodeIsRefusedAndTheHostPlaysOn) {
  start_host();
  start_guest("8765-4321");
  EXPECT_EQ(guest_->wait_for_exit(30s), 1);
  EXPECT_TRUE(logged(guest_dir_, "Gospodarz odrzucil kod dolaczenia"));
  EXPECT_TRUE(logged(host_dir_, "Odrzucono goscia z adresu 127.0.0.1: zly kod dolaczenia"));
  EXPECT_TRUE(host_->running());
}

TEST_F(NetworkGame, AGuestOfAnotherVersionIsRefusedAndTheHostSaysSo) {
  start_host();
  net::hello newer{net::protocol_version, {}};
  newer.version = net::protocol_version + 1;
  test_peer other(port_, 9, "12345678", false);
  ASSERT_TRUE(other.until([&] { return other.connected; }));
  other.send(net::encode(newer));
  ASSERT_TRUE(other.until([&] { return !other.received.empty(); }));
  const auto answer = net::decode_datagram(other.received.front());
  ASSERT_TRUE(answer.ok());
  EXPECT_EQ(std::get<net::refusal>(answer.value()).reason, net::refusal_reason::version);
  EXPECT_TRUE(eventually(
      [&] {
        return logged(host_dir_,
                      "Odrzucono goscia z adresu 127.0.0.9: inna wersja gry (protokol 2, tutaj 1)");
      },
      10s));
  EXPECT_TRUE(host_->running());
}

TEST(NetworkGuest, AHostOfAnotherVersionIsRefusedAndTheGuestSaysSo) {
  xvfb_server x;
  temp_dir dir;
  const std::uint16_t port = free_udp_port();
  std::unique_ptr<net::transport> newer = net::transport::listen(port);
  child_process guest(TOLVARAN_GAME, dir.path(),
                      {"--join", "localhost", "--port", std::to_string(port), "--code", "11111111"});
  bool answered = false;
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  while (!answered && std::chrono::steady_clock::now() < give_up) {
    const auto e = newer->service(5ms);
    if (e && e->what == net::transport::event::kind::received) {
      newer->send(e->peer, net::channel::reliable, net::encode(net::foreign{2, net::protocol_version + 1}));
      newer->flush();
      answered = true;
    }
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(guest.wait_for_exit(30s), 1);
  EXPECT_TRUE(log_contains(dir.path(), "Gospodarz ma inna wersje gry (protokol 2, tutaj 1)"));
}

}  // namespace
