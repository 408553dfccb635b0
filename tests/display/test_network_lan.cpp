// A guest with only the code: the built game as guest looks for its host on the local network (on 127.0.0.1
// alone, the tests' seam) and joins the host it finds, or says what it found and ends with status 1.
#include <gtest/gtest.h>

#include "net/discovery.hpp"
#include "support/net_peer.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

const std::string code = "1122-3344", digits = "11223344";
const std::string joined = "Gra przez siec: gracz zielony dolaczyl do gospodarza";

class LanGame : public ::testing::Test, public network_games {
 protected:
  LanGame() : x_("1400x700x24") {}
  bool printed(child_process& game, const std::string& line) {
    return eventually([&] { return game.standard_output().find(line + "\n") != std::string::npos; }, 30s);
  }
  std::string this_host() const { return net::host_name().empty() ? "bez nazwy" : net::host_name(); }

  xvfb_server x_;
};

TEST_F(LanGame, AGuestWithOnlyTheCodeFindsItsHostAndPlaysUntilTheHostEndsIt) {
  ASSERT_TRUE(start_host(code));
  EXPECT_TRUE(printed(*host, "W tej samej sieci wystarczy sam kod: --join --code " + code));
  start_guest(code, "");
  ASSERT_TRUE(eventually([&] { return count(guest_dir, joined) == 1; }, 60s));
  EXPECT_EQ(count(guest_dir,
                  "Gra przez siec: dolaczanie do gospodarza 127.0.0.1, port UDP " + std::to_string(port)),
            1u);
  EXPECT_TRUE(eventually(
      [&] { return count(host_dir, "Gracz zielony przelaczony na sterowanie reczne") == 1; }, 10s));
  ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game));
  EXPECT_EQ(host->wait_for_exit(30s), 0);
  EXPECT_EQ(guest->wait_for_exit(10s), 0);
}

TEST_F(LanGame, AGuestWhoseCodeNoHostTakesListsWhatItFoundAndEndsWithStatusOne) {
  ASSERT_TRUE(start_host(code));
  start_guest("4433-2211", "");
  EXPECT_EQ(guest->wait_for_exit(60s), 1);
  const std::string found = this_host() + " (127.0.0.1)";
  EXPECT_TRUE(
      printed(*guest, "Multiplayer Tolvaran: Zaden gospodarz w tej sieci nie przyjal goscia: " + found));
  EXPECT_TRUE(printed(*guest, "  " + found));
  // One wrong guess at the one host, which plays on.
  EXPECT_EQ(count(guest_dir, "Gospodarz odrzucil kod dolaczenia"), 1u);
  EXPECT_EQ(count(host_dir, "Odrzucono goscia z adresu 127.0.0.1: zly kod dolaczenia"), 1u);
  EXPECT_TRUE(host->running());
}

TEST_F(LanGame, AHostPlayingWithAGuestIsListedBusyAndNotTried) {
  ASSERT_TRUE(start_host(code));
  test_peer first(port, 2, digits);
  ASSERT_TRUE(first.joined());
  start_guest(code, "");
  EXPECT_TRUE(first.until([&] { return !guest->running(); }, 60s));
  EXPECT_EQ(guest->wait_for_exit(1s), 1);
  EXPECT_TRUE(printed(*guest, "  " + this_host() + " (127.0.0.1, gra z gosciem)"));
  EXPECT_EQ(count(guest_dir, "Gra przez siec: znalezieni gospodarze: 1, wolni: 0"), 1u);
  EXPECT_TRUE(first.playing());
}

TEST_F(LanGame, WithNoHostOnTheNetworkTheGuestSaysSoAndEndsWithStatusOne) {
  start_guest(code, "");
  EXPECT_EQ(guest->wait_for_exit(60s), 1);
  const std::string line = "Nie znaleziono gospodarza w tej sieci (port UDP " + std::to_string(port) + ")";
  EXPECT_TRUE(printed(*guest, "Multiplayer Tolvaran: " + line));
  EXPECT_EQ(count(guest_dir, line), 1u);
}

}  // namespace
