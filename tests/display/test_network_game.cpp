// A game over the network end to end: the built game as host and as guest on loopback under one private X
// server, the guest's window beside the host's; played with real X events and judged by the windows, the logs
// and the exit statuses.
#include <gtest/gtest.h>

#include <signal.h>

#include <cctype>

#include "support/net_peer.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

const std::string code = "1234-5678";
const std::string joined = "Gra przez siec: gracz zielony dolaczyl do gospodarza";
const std::string computer_steers = "Gracz zielony przelaczony na sterowanie automatyczne";

// The X server of both games, a base before theirs: it outlives them, so that a game the test ends is not
// first ended by losing its display.
struct shared_display {
  xvfb_server x_{"1400x700x24"};
};

class NetworkGame : public ::testing::Test, private shared_display, public network_games {
 protected:
  void join() {
    ASSERT_TRUE(start_host(code));
    start_guest(code);
    ASSERT_TRUE(eventually([&] { return count(guest_dir, joined) == 1; }, 60s));
  }
  static window_image guest_image() { return window_image{take_screenshot(), guest_left, 50}; }
  static bool green_at(float x, float not_x) {
    const window_image host;
    return host.shows(x, 20.5, 0.9, green) && !host.shows(not_x, 20.5, 0.9, green);
  }
};

// Pixels that differ between the two windows, but for the program's own time and the game's, which may
// tick at other moments.
int differing_pixels(const window_image& a, const window_image& b) {
  const auto times = [](int x, int y) { return y >= 11 + 13 * 3 && y < 25 + 13 * 4 && x < 300; };
  return static_cast<int>(compare_pixels(a, b, 600, 600, times).pixels);
}

TEST_F(NetworkGame, TheGuestSteersGreenSharesPauseAndBoardsAndSeesTheHostsGameUntilTheHostEndsIt) {
  ASSERT_TRUE(start_host(code));
  // The code is for the players, on the window and the standard output, and never in the log.
  EXPECT_NE(host->standard_output().find("Kod dolaczenia: 1234-5678"), std::string::npos);
  EXPECT_TRUE(eventually([] { return window_image().line_end(8) > 200; }, 10s)) << "no code on the window";
  start_guest(code);
  ASSERT_TRUE(eventually([&] { return count(guest_dir, joined) == 1; }, 60s));
  EXPECT_TRUE(
      eventually([&] { return count(host_dir, "Gracz zielony przelaczony na sterowanie reczne"); }, 10s));

  pointer_to(guest_left + 300, 350);  // keys go to the window under the pointer
  xdotool("keydown a");
  EXPECT_TRUE(eventually([] { return green_at(3.0f, 12.0f); }, 30s))
      << "the host's green pad did not go left";
  xdotool("keyup a");
  xdotool("keydown d");
  EXPECT_TRUE(eventually([] { return green_at(17.0f, 8.0f); }, 30s))
      << "the host's green pad did not go right";
  xdotool("keyup d");

  // Bricks fall on the host; paused from the guest's menu, both windows show the same game and points.
  EXPECT_TRUE(eventually(
      [&] {
        const auto all = log_messages(host_dir.path());
        return std::any_of(all.begin(), all.end(), [](const auto& m) { return m.starts_with("Zniszczono"); });
      },
      60s));
  ASSERT_TRUE(menu_driver().choose(guest_left + 100, 150, menu_path::pause));
  EXPECT_TRUE(eventually([] { return differing_pixels(window_image(), guest_image()) == 0; }, 20s))
      << differing_pixels(window_image(), guest_image()) << " pixels differ";
  const std::size_t boards = count(host_dir, "Wygenerowano Plansze losowych klockow");
  ASSERT_TRUE(menu_driver().choose(guest_left + 100, 150, menu_path::board(5)));
  EXPECT_TRUE(
      eventually([&] { return count(host_dir, "Wygenerowano Plansze losowych klockow") > boards; }, 20s));

  // "Zakoncz" on the host: the guest says why and ends by itself with status 0.
  ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game));
  EXPECT_EQ(host->wait_for_exit(30s), 0);
  EXPECT_EQ(guest->wait_for_exit(10s), 0);
  EXPECT_EQ(count(guest_dir, "Gospodarz zakonczyl gre"), 1u);
  for (const auto& m : log_messages(host_dir.path())) EXPECT_EQ(m.find("5678"), std::string::npos) << m;
}

// Every run of hexadecimal digits or of a key's base64 at least this long: no key is ever written.
bool shows_a_key(const std::string& text) {
  int run = 0;
  for (const char c : text) {
    run = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' ? run + 1 : 0;
    if (run >= 32) return true;
  }
  return false;
}

TEST_F(NetworkGame, NeitherTheCodeNorAKeyShowsAnywhereButOnTheHostsOwnWaitingLine) {
  ASSERT_TRUE(start_host(code));
  start_guest(code, "127.0.0.1", true);  // its code from the standard input
  ASSERT_TRUE(eventually([&] { return count(guest_dir, joined) == 1; }, 60s));
  // The process list shows neither game's code: the host's was blanked out of its arguments.
  for (const pid_t pid : {host->pid(), guest->pid()}) {
    const std::string arguments = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    EXPECT_EQ(arguments.find("1234"), std::string::npos) << arguments;
    EXPECT_EQ(arguments.find("5678"), std::string::npos) << arguments;
  }
  ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game));
  EXPECT_EQ(host->wait_for_exit(30s), 0);
  EXPECT_EQ(guest->wait_for_exit(10s), 0);
  const std::string host_out = host->standard_output();
  // The host's own standard output tells the code on the lines that tell it to the player, and only there.
  ASSERT_NE(host_out.find("Kod dolaczenia: 1234-5678\n"), std::string::npos) << host_out;
  for (const std::string& line : lines_of(host_out)) {
    if (line.find("5678") != std::string::npos) {
      EXPECT_TRUE(line == "Kod dolaczenia: 1234-5678" || line.starts_with("W tej samej sieci wystarczy sam kod"))
          << line;
    }
  }
  for (const auto* dir : {&host_dir, &guest_dir}) {
    std::vector<std::string> texts = log_messages(dir->path());
    texts.push_back(read_file(dir->path() / "stderr.txt"));
    if (dir == &guest_dir) texts.push_back(read_file(dir->path() / "stdout.txt"));
    for (const std::string& t : texts) {
      EXPECT_EQ(t.find("5678"), std::string::npos) << t;
      EXPECT_FALSE(shows_a_key(t)) << t;
    }
  }
  EXPECT_FALSE(shows_a_key(host_out)) << host_out;
}

TEST_F(NetworkGame, AGuestKilledIsLostTheComputerSteersGreenAgainAndTheHostWaitsForTheNext) {
  ASSERT_NO_FATAL_FAILURE(join());
  ::kill(guest->pid(), SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return count(host_dir, computer_steers) == 2; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 5s);
  EXPECT_EQ(count(host_dir, "Utracono polaczenie z graczem zielonym"), 1u);
  guest.reset();
  start_guest(code);
  EXPECT_TRUE(eventually([&] { return count(guest_dir, joined) == 2; }, 60s));
}

TEST_F(NetworkGame, AHostKilledIsLostToItsGuestWhichSaysSoAndEndsWithStatusOne) {
  ASSERT_NO_FATAL_FAILURE(join());
  ::kill(host->pid(), SIGKILL);
  EXPECT_TRUE(eventually([&] { return count(guest_dir, "Utracono polaczenie z gospodarzem"); }, 10s));
  EXPECT_GT(guest_image().line_end(8), 100) << "the guest does not say why";
  EXPECT_EQ(guest->wait_for_exit(10s), 1);
  EXPECT_EQ(log_messages(guest_dir.path()).back(),
            "Zako\xF1"
            "czono dzialanie programu");
}

TEST_F(NetworkGame, AWrongCodeIsRefusedAndTheHostPlaysOn) {
  ASSERT_TRUE(start_host(code));
  start_guest("8765-4321");
  EXPECT_EQ(guest->wait_for_exit(30s), 1);
  EXPECT_EQ(count(guest_dir, "Gospodarz odrzucil kod dolaczenia"), 1u);
  EXPECT_TRUE(eventually(
      [&] { return count(host_dir, "Odrzucono goscia z adresu 127.0.0.1: zly kod dolaczenia") == 1; }, 10s));
  EXPECT_TRUE(host->running());
}

TEST_F(NetworkGame, AHostOfAnotherVersionIsRefusedAndTheGuestSaysSo) {
  std::unique_ptr<net::transport> newer = net::transport::listen(port);
  start_guest(code);
  bool answered = false;  // the guest's hello, with the next version's challenge
  for (int i = 0; i < 600 && !answered; ++i)
    if (const auto e = newer->service(100ms); e && e->what == net::transport::event::kind::received) {
      newer->send(e->peer, net::channel::reliable, net::encode(net::foreign{2, net::protocol_version + 1}));
      newer->flush();
      answered = true;
    }
  EXPECT_TRUE(answered);
  EXPECT_EQ(guest->wait_for_exit(30s), 1);
  EXPECT_EQ(
      count(guest_dir, "Gospodarz ma inna wersje gry (protokol" + common::image(net::protocol_version + 1) +
                           ", tutaj" + common::image(net::protocol_version) + ")"),
      1u);
}

}  // namespace
