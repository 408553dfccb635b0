// The host's router over the built game: stand-in routers on loopback addresses of the test's own
// (tests/support/router_responder.hpp) are asked for the host's port as it starts waiting, renew its lease,
// and see the mapping removed however the game ends; a router that refuses and no router at all are told on
// the waiting lines within seconds while the game plays on and takes a guest. Nothing goes beyond 127.0.0.x:
// the game's seams send the search and NAT-PMP to the stand-ins alone.
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>

#include "support/net_peer.hpp"
#include "support/router_responder.hpp"
#include "support/x_driver.hpp"

namespace {

using namespace testing_support;

const std::string code = "3141-5926";
const std::string joined = "Gra przez siec: gracz zielony dolaczyl do gospodarza";
constexpr int lease_seconds = 10;

// A mapping asked of either kind of router, or its removal, as the router saw it.
struct mapping_request {
  std::uint16_t internal = 0, external = 0;
  std::string protocol;
  std::uint32_t lease = 0;
  bool removal = false;
  responder_clock::time_point at;
};

// A home router's stand-ins: a UPnP one (silent when the host is to find none) and a NAT-PMP gateway (or
// an address where none listens), with the game's seams pointing at them alone.
struct home_router {
  enum class kind { upnp, natpmp, none };
  explicit home_router(kind k) : upnp(210, 219), natpmp(220, 229) {
    if (k != kind::upnp) upnp.stay_silent();
    if (k != kind::natpmp) natpmp.stay_silent();
  }
  std::vector<std::string> seams() const {
    const net::endpoint search = upnp.search_address();
    return {"TOLVARAN_ROUTER_SEARCH=" + net::address_text(search.address) + ":" + std::to_string(search.port),
            "TOLVARAN_NATPMP_GATEWAY=" + net::address_text(natpmp.address()),
            "TOLVARAN_ROUTER_LEASE=" + std::to_string(lease_seconds)};
  }
  std::vector<mapping_request> mappings() const {
    std::vector<mapping_request> out;
    for (const auto& r : upnp.requests()) {
      if (r.action == "AddPortMapping")
        out.push_back({r.internal_port, r.external_port, r.protocol, r.lease.value_or(0), false, r.at});
      if (r.action == "DeletePortMapping")  // names the router's port alone, which is ours
        out.push_back({r.external_port, r.external_port, r.protocol, 0, true, r.at});
    }
    for (const auto& r : natpmp.requests()) {
      const auto& b = r.bytes;
      if (b.size() != 12 || b[0] != 0 || (b[1] != 1 && b[1] != 2)) continue;
      const std::uint32_t lifetime = std::uint32_t(b[8]) << 24 | b[9] << 16 | b[10] << 8 | b[11];
      out.push_back({std::uint16_t(b[4] << 8 | b[5]), std::uint16_t(b[6] << 8 | b[7]),
                     b[1] == 1 ? "UDP" : "TCP", lifetime, lifetime == 0, r.at});
    }
    return out;
  }
  upnp_responder upnp;
  natpmp_responder natpmp;
};

bool printed(child_process& game, const std::string& line, std::chrono::milliseconds limit) {
  return eventually([&] { return game.standard_output().find(line + "\n") != std::string::npos; }, limit);
}

struct ending {
  const char* how;
  std::function<void(child_process&)> end;
  const char* logged;  // what the log notes of it; empty: nothing
};

const std::vector<ending> endings{
    {"Zakoncz", [](child_process&) { ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game)); }, ""},
    {"SIGTERM", [](child_process& g) { ::kill(g.pid(), SIGTERM); }, "Otrzymano sygnal SIGTERM: koniec gry"},
    {"SIGINT", [](child_process& g) { ::kill(g.pid(), SIGINT); }, "Otrzymano sygnal SIGINT: koniec gry"},
};

TEST(RouterGame, TheHostsPortIsMappedRenewedAndRemovedHoweverTheGameEnds) {
  xvfb_server x;
  struct row {
    home_router::kind router;
    const ending& end;
    bool renewal;  // waited for before the end
    std::string protocol_words;
  };
  const std::vector<row> rows{
      {home_router::kind::upnp, endings[0], true, "Router UPnP: przekierowano port UDP "},
      {home_router::kind::upnp, endings[1], false, "Router UPnP: przekierowano port UDP "},
      {home_router::kind::upnp, endings[2], false, "Router UPnP: przekierowano port UDP "},
      {home_router::kind::natpmp, endings[0], true, "Router NAT-PMP: przekierowano port UDP "},
      {home_router::kind::natpmp, endings[1], false, "Router NAT-PMP: przekierowano port UDP "},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.router == home_router::kind::upnp ? "UPnP, " : "NAT-PMP, ") + r.end.how);
    home_router router(r.router);
    network_games games;
    const std::string port = std::to_string(games.port);
    ASSERT_TRUE(games.start_host(code, {}, router.seams()));
    child_process& host = *games.host;
    ASSERT_TRUE(eventually([&] { return !router.mappings().empty(); }, 10s));
    const mapping_request asked = router.mappings().front();
    EXPECT_EQ(asked.internal, games.port);
    EXPECT_EQ(asked.external, games.port);
    EXPECT_EQ(asked.protocol, "UDP");
    EXPECT_EQ(asked.lease, std::uint32_t(lease_seconds));
    EXPECT_FALSE(asked.removal);
    if (r.router == home_router::kind::upnp) {
      EXPECT_EQ(router.upnp.requests("AddPortMapping").front().internal_client, "127.0.0.1");
      EXPECT_EQ(router.upnp.mappings().size(), 1u);
    }
    EXPECT_TRUE(printed(host, "Z internetu: 203.0.113.7, port UDP " + port, 10s)) << host.standard_output();
    EXPECT_TRUE(eventually([] { return window_image().line_end(9) > 300; }, 10s)) << "no router line";
    if (r.renewal) {
      // At half the lease, as the router granted it.
      ASSERT_TRUE(eventually([&] { return router.mappings().size() >= 2; }, 20s));
      const mapping_request renewed = router.mappings()[1];
      EXPECT_EQ(std::tuple(renewed.internal, renewed.external, renewed.protocol, renewed.removal),
                std::tuple(asked.internal, asked.external, asked.protocol, false));
      EXPECT_GE(renewed.at - asked.at, std::chrono::milliseconds(lease_seconds * 1000 / 2 - 500));
    }

    r.end.end(host);
    EXPECT_EQ(host.wait_for_exit(30s), 0);
    std::vector<mapping_request> removals;
    for (const mapping_request& m : router.mappings())
      if (m.removal) removals.push_back(m);
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(std::pair(removals[0].internal, removals[0].protocol),
              std::pair(games.port, std::string("UDP")));
    if (r.router == home_router::kind::upnp) {
      EXPECT_TRUE(router.upnp.mappings().empty());
    }

    // The log tells what was asked and answered, and never the code.
    const auto messages = log_messages(games.host_dir.path());
    EXPECT_EQ(network_games::count(games.host_dir, r.protocol_words + port + " na 127.0.0.1") +
                  network_games::count(games.host_dir, r.protocol_words + port + " (zewnetrzny " + port +
                                                           ") na " + std::to_string(lease_seconds) + " s"),
              1u);
    if (*r.end.logged != '\0') {
      EXPECT_EQ(network_games::count(games.host_dir, r.end.logged), 1u);
    }
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(),
              "Zako\xF1"
              "czono dzialanie programu");
    for (const auto& m : messages)  // in either form; its halves alone may be any port's digits
      EXPECT_TRUE(m.find(code) == std::string::npos && m.find("31415926") == std::string::npos) << m;
  }
}

TEST(RouterGame, ARouterThatRefusesOrNoneAtAllIsToldWithinSecondsAndTheHostTakesItsGuest) {
  xvfb_server x("1400x700x24");
  struct row {
    const char* what;
    home_router::kind router;
    std::function<void(home_router&)> refuse;
    std::string line;  // after the port's number
  };
  const std::vector<row> rows{
      {"UPnP refuses", home_router::kind::upnp, [](home_router& h) { h.upnp.refuse("AddPortMapping", 501); },
       "Router odmowil (UPnP, blad 501): przekieruj recznie port UDP "},
      {"NAT-PMP refuses", home_router::kind::natpmp, [](home_router& h) { h.natpmp.refuse(1, 3); },
       "Router odmowil (NAT-PMP, blad 3): przekieruj recznie port UDP "},
      {"no router", home_router::kind::none, [](home_router&) {},
       "Router nie odpowiada: przekieruj recznie port UDP "},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    home_router router(r.router);
    r.refuse(router);
    network_games games;
    ASSERT_TRUE(games.start_host(code, {}, router.seams()));
    // Within 5 s of the host's waiting, on standard output and on the window.
    EXPECT_TRUE(printed(*games.host, r.line + std::to_string(games.port), 5s))
        << games.host->standard_output();
    EXPECT_TRUE(eventually([] { return window_image().line_end(9) > 300; }, 5s)) << "no router line";
    for (const mapping_request& m : router.mappings()) EXPECT_FALSE(m.removal) << "nothing to remove";

    games.start_guest(code);
    EXPECT_TRUE(eventually([&] { return network_games::count(games.guest_dir, joined) == 1; }, 60s));
    EXPECT_TRUE(games.host->running());
  }
}

TEST(RouterGame, WithNoRouterTheHostAsksNobodyAndSaysToForwardThePortByHand) {
  xvfb_server x;
  home_router router(home_router::kind::upnp);
  network_games games;
  ASSERT_TRUE(games.start_host(code, {"--no-router"}, router.seams()));
  EXPECT_TRUE(printed(*games.host,
                      "Bez routera (--no-router): przekieruj recznie port UDP " + std::to_string(games.port),
                      5s));
  EXPECT_TRUE(eventually([] { return window_image().line_end(9) > 300; }, 5s)) << "no router line";
  ASSERT_TRUE(menu_driver().choose(150, 150, menu_path::end_game));
  EXPECT_EQ(games.host->wait_for_exit(30s), 0);
  EXPECT_TRUE(router.upnp.requests().empty());
  EXPECT_TRUE(router.natpmp.requests().empty());
}

}  // namespace
