// The host's router asked for its port: a port mapper against stand-in routers on loopback (a UPnP IGD and a
// NAT-PMP gateway, each on a thread of the test), its renewals on fake time, and what it makes of a router's
// words: the search's answers, the routing table, the addresses, and the line the waiting host shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/router.hpp"
#include "support/router_responder.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;
using testing_support::loopback;
using testing_support::natpmp_responder;
using testing_support::upnp_responder;
using kind = router_outcome::kind;
using bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t game_port = 47630;

// Each test's stand-ins on addresses of their own, so that tests run side by side do not meet.
enum base : int {
  maps = 10,
  renews = 20,
  permanent = 30,
  refusals = 40,
  silence = 180,
  natpmp_maps = 60,
  natpmp_refusals = 70,
  strangers = 160,
  natpmp_late = 90,
  replies = 100,
  states = 130,
  hang_ups = 140,
  routes = 150,
  natpmp_resends = 170,
  services = 190
};

struct told {
  std::vector<std::string> lines;
  bool has(std::string_view line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

// Settings that send only to the stand-ins: the search to the UPnP one (or to a silent port), NAT-PMP to
// the given gateway.
router_settings on_loopback(endpoint search, std::uint32_t gateway, told& log) {
  // 0 would send NAT-PMP to this machine's real gateway, and the defaults to the network's multicast group.
  if (search.address >> 24 != 127 || gateway >> 24 != 127)
    throw std::logic_error("a test's router off loopback");
  router_settings s;
  s.search = search;
  s.gateway = gateway;
  s.search_wait = 400ms;
  s.natpmp_wait = 800ms;
  s.close_wait = 300ms;
  s.log = [&log](std::string_view line) { log.lines.emplace_back(line); };
  return s;
}

endpoint nobody() {
  return {loopback(1), testing_support::silent_udp_port()};
}

bytes mapping_request(std::uint16_t port, std::uint16_t external, std::uint32_t lifetime) {
  return {0,
          1,
          0,
          0,
          static_cast<std::uint8_t>(port >> 8),
          static_cast<std::uint8_t>(port),
          static_cast<std::uint8_t>(external >> 8),
          static_cast<std::uint8_t>(external),
          static_cast<std::uint8_t>(lifetime >> 24),
          static_cast<std::uint8_t>(lifetime >> 16),
          static_cast<std::uint8_t>(lifetime >> 8),
          static_cast<std::uint8_t>(lifetime)};
}

std::vector<bytes> natpmp_bytes(const natpmp_responder& r) {
  std::vector<bytes> out;
  for (const auto& q : r.requests()) out.push_back(q.bytes);
  return out;
}

std::vector<std::string> actions(const upnp_responder& r) {
  std::vector<std::string> out;
  for (const auto& q : r.requests()) out.push_back(q.action);
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// UPnP

TEST(PortMapper, UpnpMapsTheUdpPortToThisComputerForTheLeaseAndNatPmpIsNotAsked) {
  upnp_responder router(maps);
  natpmp_responder gateway(maps + 1, maps + 9);
  told log;
  router_settings settings = on_loopback(router.search_address(), gateway.address(), log);
  settings.search_wait = 3s;  // an answer ends the search at once, long before this
  common::manual_time time;
  port_mapper mapper(settings, time);

  const auto asked = std::chrono::steady_clock::now();
  const router_outcome o = mapper.open(game_port);

  EXPECT_EQ(o.what, kind::mapped);
  EXPECT_EQ(o.protocol, router_protocol::upnp);
  EXPECT_EQ(o.external_address, "203.0.113.7");
  EXPECT_EQ(o.external_port, game_port);
  EXPECT_EQ(o.lease, 3600s);
  EXPECT_TRUE(mapper.is_open());
  EXPECT_EQ(router_line(o), "z internetu: 203.0.113.7, port UDP 47630");

  const auto adds = router.requests("AddPortMapping");
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(adds[0].external_port, game_port);
  EXPECT_EQ(adds[0].internal_port, game_port);
  EXPECT_EQ(adds[0].protocol, "UDP");
  EXPECT_EQ(adds[0].internal_client, "127.0.0.1");  // this computer as the router sees it
  EXPECT_EQ(adds[0].lease, 3600u);
  EXPECT_EQ(adds[0].description, mapping_description);
  EXPECT_LT(adds[0].at - asked, settings.search_wait);
  EXPECT_EQ(actions(router), (std::vector<std::string>{"search", "description", "GetStatusInfo",
                                                       "GetExternalIPAddress", "AddPortMapping"}));
  EXPECT_TRUE(natpmp_bytes(gateway).empty());
  EXPECT_TRUE(log.has("Router UPnP: przekierowanie portu UDP 47630 na 127.0.0.1 na 3600 s"));
  EXPECT_TRUE(log.has("Router UPnP: adres zewnetrzny 203.0.113.7"));
}

TEST(PortMapper, UpnpRenewsAtHalfTheLeaseAndCloseRemovesTheMappingOnce) {
  upnp_responder router(renews);
  told log;
  common::manual_time time;
  {
    port_mapper mapper(on_loopback(router.search_address(), loopback(renews + 1), log), time);
    const common::steady_time start = time.now();
    ASSERT_TRUE(mapper.open(game_port).mapped());
    EXPECT_EQ(mapper.renewal(), start + 1800s);
    time.advance(1799s);
    EXPECT_FALSE(mapper.due());
    time.advance(1s);
    EXPECT_TRUE(mapper.due());
    EXPECT_TRUE(mapper.renew());
    EXPECT_FALSE(mapper.due());
    EXPECT_EQ(mapper.renewal(), start + 3600s);

    const auto adds = router.requests("AddPortMapping");
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[1].external_port, game_port);
    EXPECT_EQ(adds[1].protocol, "UDP");
    EXPECT_EQ(adds[1].lease, 3600u);
    EXPECT_EQ(router.mappings().size(), 1u);

    mapper.close();
    EXPECT_FALSE(mapper.is_open());
    EXPECT_FALSE(mapper.due());
    EXPECT_EQ(mapper.renewal(), common::steady_time::max());
    mapper.close();
    EXPECT_FALSE(mapper.renew());
  }
  const auto deletes = router.requests("DeletePortMapping");
  ASSERT_EQ(deletes.size(), 1u);  // neither the second close nor the destructor asked again
  EXPECT_EQ(deletes[0].external_port, game_port);
  EXPECT_EQ(deletes[0].protocol, "UDP");
  EXPECT_TRUE(router.mappings().empty());
  EXPECT_EQ(router.requests("AddPortMapping").size(), 2u);  // the closed mapping was never renewed
  const auto failed = [&] {
    return std::any_of(log.lines.begin(), log.lines.end(),
                       [](const std::string& l) { return l.starts_with("Router UPnP: usuniecie nieudane"); });
  };
  EXPECT_FALSE(failed()) << "a removal that went well told as failed";
  // A removal the router refuses is told, with the router's error.
  router.refuse("DeletePortMapping", 714);
  port_mapper again(on_loopback(router.search_address(), loopback(renews + 1), log), time);
  ASSERT_TRUE(again.open(game_port).mapped());
  again.close();
  EXPECT_TRUE(failed());
}

TEST(PortMapper, AMapperLeftOpenRemovesItsMappingAndAFailedRenewalIsTriedAgainAnEighthLater) {
  upnp_responder router(renews + 5);
  told log;
  common::manual_time time;
  {
    port_mapper mapper(on_loopback(router.search_address(), loopback(renews + 6), log), time);
    ASSERT_TRUE(mapper.open(game_port).mapped());
    time.advance(1800s);
    router.refuse("AddPortMapping", 501);
    EXPECT_FALSE(mapper.renew());
    EXPECT_TRUE(mapper.is_open());
    EXPECT_EQ(mapper.renewal(), time.now() + 450s);
    EXPECT_TRUE(log.has("Router UPnP: odnowienie nieudane, blad 501 (czynnosc nieudana)"));
    router.refuse("AddPortMapping", 0);
    time.advance(450s);
    EXPECT_TRUE(mapper.due());
    EXPECT_TRUE(mapper.renew());
    EXPECT_EQ(mapper.renewal(), time.now() + 1800s);
  }
  EXPECT_EQ(router.requests("DeletePortMapping").size(), 1u);
  EXPECT_TRUE(router.mappings().empty());
}

TEST(PortMapper, ARouterOfPermanentLeasesOnlyIsAskedAgainWithoutATermAndTheMappingRemovedAtTheEnd) {
  upnp_responder router(permanent);
  router.only_permanent_leases();
  told log;
  common::manual_time time;
  {
    port_mapper mapper(on_loopback(router.search_address(), loopback(permanent + 1), log), time);
    const router_outcome o = mapper.open(game_port);
    ASSERT_TRUE(o.mapped());
    EXPECT_EQ(o.lease, 0s);
    const auto adds = router.requests("AddPortMapping");
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].lease, 3600u);
    EXPECT_EQ(adds[1].lease, 0u);
    time.advance(100h);
    EXPECT_FALSE(mapper.due());
    EXPECT_EQ(mapper.renewal(), common::steady_time::max());
  }
  EXPECT_EQ(router.requests("DeletePortMapping").size(), 1u);
  EXPECT_TRUE(router.mappings().empty());
}

TEST(PortMapper, OpeningAgainRemovesTheMappingMadeBeforeAndAFailedOpeningLeavesNoneToRenew) {
  upnp_responder router(permanent + 5);
  told log;
  common::manual_time time;
  port_mapper mapper(on_loopback(router.search_address(), loopback(permanent + 6), log), time);
  ASSERT_TRUE(mapper.open(game_port).mapped());
  ASSERT_TRUE(mapper.open(game_port + 1).mapped());
  const std::vector<std::string> opening = {"search", "description", "GetStatusInfo", "GetExternalIPAddress",
                                            "AddPortMapping"};
  std::vector<std::string> twice = opening;
  twice.push_back("DeletePortMapping");
  twice.insert(twice.end(), opening.begin(), opening.end());
  EXPECT_EQ(actions(router), twice);
  const auto deletes = router.requests("DeletePortMapping");
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0].external_port, game_port);
  EXPECT_EQ(router.requests("AddPortMapping").back().external_port, game_port + 1);

  router.refuse("AddPortMapping", 728);
  EXPECT_EQ(mapper.open(game_port).what, kind::refused);
  EXPECT_EQ(router.requests("DeletePortMapping").back().external_port, game_port + 1);
  EXPECT_TRUE(router.mappings().empty());
  EXPECT_FALSE(mapper.is_open());
  time.advance(10h);
  EXPECT_FALSE(mapper.due());
  EXPECT_FALSE(mapper.renew());
}

TEST(PortMapper, ARouterReplyIsReadWithItsLengthOrInChunksUpToAnyDescriptionsSize) {
  struct row {
    std::string name;
    bool chunked;
    std::size_t padding;
    kind expected;
  };
  int at = replies;
  for (const row& r : std::vector<row>{{"told length", false, 0, kind::mapped},
                                       {"chunks", true, 0, kind::mapped},
                                       {"long", false, 120 * 1024, kind::mapped},
                                       {"long in chunks", true, 120 * 1024, kind::mapped},
                                       {"too long", false, 128 * 1024, kind::no_router},
                                       {"too long in chunks", true, 128 * 1024, kind::no_router}}) {
    SCOPED_TRACE(r.name);
    upnp_responder router(at++);
    router.chunked(r.chunked);
    router.pad_description(r.padding);
    told log;
    common::manual_time time;
    port_mapper mapper(on_loopback(router.search_address(), loopback(at++), log), time);
    EXPECT_EQ(mapper.open(game_port).what, r.expected);
    EXPECT_EQ(router.requests("AddPortMapping").size(), r.expected == kind::mapped ? 1u : 0u);
  }
}

TEST(PortMapper, OnlyAConnectionServiceWithAVersionOfAtMostThreeDigitsIsAsked) {
  // The service's type goes into the requests' SOAPAction header.
  int at = services;
  for (const auto& [type, expected] : std::vector<std::pair<std::string, kind>>{
           {"urn:schemas-upnp-org:service:WANPPPConnection:1", kind::mapped},
           {"urn:schemas-upnp-org:service:WANIPConnection:999", kind::mapped},
           {"urn:schemas-upnp-org:service:WANIPConnection:1000", kind::no_router},
           {"urn:schemas-upnp-org:service:WANIPConnection:1\r\nX: 1", kind::no_router},
           {"urn:schemas-upnp-org:service:WANIPConnection:", kind::no_router},
           {"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1", kind::no_router}}) {
    SCOPED_TRACE(type);
    upnp_responder router(at++);
    router.service_type(type);
    told log;
    common::manual_time time;
    port_mapper mapper(on_loopback(router.search_address(), loopback(at++), log), time);
    EXPECT_EQ(mapper.open(game_port).what, expected);
    EXPECT_EQ(router.requests("AddPortMapping").size(), expected == kind::mapped ? 1u : 0u);
    if (expected == kind::no_router) {
      EXPECT_TRUE(log.has("Router UPnP: " + address_text(router.address()) +
                          " nie jest routerem (brak WANIPConnection i WANPPPConnection)"));
    }
  }
}

TEST(PortMapper, ARouterThatAnswersAByteAtATimeIsLeftAfterItsWait) {
  upnp_responder router(replies + 20);
  router.drip();
  told log;
  common::manual_time time;
  router_settings settings = on_loopback(router.search_address(), loopback(replies + 21), log);
  settings.upnp_wait = 300ms;
  port_mapper mapper(settings, time);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mapper.open(game_port).what, kind::no_router);
  // The search's answer comes at once; the description would take a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, settings.upnp_wait + 1s);
  EXPECT_EQ(actions(router), (std::vector<std::string>{"search", "description"}));
  EXPECT_TRUE(log.has("Router UPnP: opis z " + address_text(router.address()) + " nieosiagalny"));
}

TEST(PortMapper, ARouterNotConnectedIsToldInItsOwnWordsCheckedAndAskedAllTheSame) {
  struct row {
    std::string status;
    std::optional<std::string> shown;  // none: taken as connected
  };
  int at = states;
  for (const row& r :
       std::vector<row>{{"Connected", std::nullopt},
                        {"Up", std::nullopt},
                        {"Disconnected", "Disconnected"},
                        {"Down_1.x-Y z&abcdefghijklmnopqrstuvwxyz", "Down_1.x-Y z?abcdefghijklmnopqrs"}}) {
    SCOPED_TRACE(r.status);
    upnp_responder router(at++);
    router.connection_status(r.status);
    told log;
    common::manual_time time;
    port_mapper mapper(on_loopback(router.search_address(), loopback(at++), log), time);
    EXPECT_TRUE(mapper.open(game_port).mapped());
    const std::string line =
        "Router UPnP: " + address_text(router.address()) + " nie jest polaczony z internetem (stan ";
    const bool any = std::any_of(log.lines.begin(), log.lines.end(),
                                 [&](const std::string& l) { return l.starts_with(line); });
    EXPECT_EQ(any, r.shown.has_value());
    if (r.shown) {
      EXPECT_TRUE(log.has(line + *r.shown + ")"));
    }
  }
}

TEST(PortMapper, ARouterThatHangsUpIsLeftAtOnceNotAfterItsWait) {
  struct row {
    std::string action;
    kind expected;
    std::string line;
  };
  int at = hang_ups;
  for (const row& r : std::vector<row>{
           {"GetStatusInfo", kind::mapped, "z internetu: 203.0.113.7, port UDP 47630"},
           {"GetExternalIPAddress", kind::mapped, "router otworzyl port UDP 47630"},
           {"AddPortMapping", kind::no_router, "router nie odpowiada: przekieruj recznie port UDP 47630"}}) {
    SCOPED_TRACE(r.action);
    upnp_responder router(at++);
    router.hang_up(r.action);
    told log;
    common::manual_time time;
    router_settings settings = on_loopback(router.search_address(), loopback(at++), log);
    settings.upnp_wait = 5s;
    settings.upnp_limit = 10s;
    port_mapper mapper(settings, time);
    const auto start = std::chrono::steady_clock::now();
    const router_outcome o = mapper.open(game_port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, settings.upnp_wait / 2);
    EXPECT_EQ(o.what, r.expected);
    EXPECT_EQ(router_line(o), r.line);
  }
}

TEST(PortMapper, WithoutAGatewayGivenNatPmpAsksTheDefaultRoutesOrNone) {
  natpmp_responder gateway(routes, routes + 5);
  const testing_support::temp_dir dir;
  char via[9];
  std::snprintf(via, sizeof via, "%08X", htonl(gateway.address()));  // as the kernel prints it
  const std::string header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  testing_support::write_file(dir / "default",
                              header + "lo\t00000000\t" + via + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
  testing_support::write_file(dir / "none",
                              header + "lo\t0000007F\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n");
  struct row {
    std::string table;
    kind expected;
  };
  for (const row& r :
       std::vector<row>{{"default", kind::mapped}, {"none", kind::no_router}, {"missing", kind::no_router}}) {
    SCOPED_TRACE(r.table);
    told log;
    common::manual_time time;
    router_settings settings = on_loopback(nobody(), gateway.address(), log);
    settings.gateway = 0;
    settings.route_table = (dir / r.table).string();
    port_mapper mapper(settings, time);
    const router_outcome o = mapper.open(game_port);
    EXPECT_EQ(o.what, r.expected);
    EXPECT_EQ(log.has("Router NAT-PMP: brak bramy domyslnej"), r.expected == kind::no_router);
  }
  EXPECT_EQ(natpmp_bytes(gateway).size(), 3u);  // the address, the mapping, its removal
}

struct refusal_row {
  std::string action;
  int code;
  bool natpmp_maps;
  kind expected;
  std::string line;
  std::string words;
};

TEST(PortMapper, AUpnpRefusalIsToldAndNatPmpAskedAfterIt) {
  const std::vector<refusal_row> rows = {
      {"AddPortMapping", 718, false, kind::refused,
       "port UDP 47630 na routerze zajal inny komputer: wybierz inny (--port)",
       "port zajety przez inny komputer"},
      {"AddPortMapping", 501, false, kind::refused,
       "router odmowil (UPnP, blad 501): przekieruj recznie port UDP 47630", "czynnosc nieudana"},
      {"AddPortMapping", 606, false, kind::refused,
       "router odmowil (UPnP, blad 606): przekieruj recznie port UDP 47630", "brak uprawnien"},
      {"AddPortMapping", 728, false, kind::refused,
       "router odmowil (UPnP, blad 728): przekieruj recznie port UDP 47630", "brak wolnych przekierowan"},
      {"AddPortMapping", 501, true, kind::mapped, "z internetu: 203.0.113.7, port UDP 47630",
       "czynnosc nieudana"},
  };
  int at = refusals;
  for (const refusal_row& row : rows) {
    SCOPED_TRACE(std::to_string(row.code) + (row.natpmp_maps ? " with NAT-PMP" : ""));
    upnp_responder router(at);
    router.refuse(row.action, row.code);
    natpmp_responder gateway(at + 1, at + 2);
    if (!row.natpmp_maps) gateway.stay_silent();
    at += 3;
    told log;
    common::manual_time time;
    const router_settings settings = on_loopback(router.search_address(), gateway.address(), log);
    port_mapper mapper(settings, time);
    const auto start = std::chrono::steady_clock::now();
    const router_outcome o = mapper.open(game_port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, settings.search_wait + settings.natpmp_wait + 1s);
    EXPECT_EQ(o.what, row.expected);
    EXPECT_EQ(o.protocol, row.natpmp_maps ? router_protocol::natpmp : router_protocol::upnp);
    EXPECT_EQ(o.error, row.natpmp_maps ? 0 : row.code);
    EXPECT_EQ(mapper.is_open(), row.natpmp_maps);
    EXPECT_EQ(router_line(o), row.line);
    EXPECT_TRUE(log.has("Router UPnP: odmowa przekierowania, blad " + std::to_string(row.code) + " (" +
                        row.words + ")"));
    EXPECT_FALSE(natpmp_bytes(gateway).empty());
    EXPECT_TRUE(router.mappings().empty());
  }
}

// ---------------------------------------------------------------------------------------------------------
// Nobody answers

TEST(PortMapper, WithNoRouterAtAllNothingIsMappedWithinTheSearchAndNatPmpWaits) {
  struct row {
    std::string name;
    bool upnp_silent_responder;  // a responder that hears the search and says nothing, or no one at all
    bool natpmp_silent_responder;
  };
  for (const row& r : std::vector<row>{{"no one", false, false}, {"silent stand-ins", true, true}}) {
    SCOPED_TRACE(r.name);
    const int at = silence + (r.upnp_silent_responder ? 5 : 0);
    std::optional<upnp_responder> router;
    std::optional<natpmp_responder> gateway;
    if (r.upnp_silent_responder) router.emplace(at).stay_silent();
    if (r.natpmp_silent_responder) gateway.emplace(at + 1, at + 4).stay_silent();
    told log;
    const router_settings settings = on_loopback(router ? router->search_address() : nobody(),
                                                 gateway ? gateway->address() : loopback(at + 4), log);
    common::manual_time time;
    port_mapper mapper(settings, time);

    const auto start = std::chrono::steady_clock::now();
    const router_outcome o = mapper.open(game_port);
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(o.what, kind::no_router);
    EXPECT_FALSE(mapper.is_open());
    EXPECT_EQ(router_line(o), "router nie odpowiada: przekieruj recznie port UDP 47630");
    // The search's wait and NAT-PMP's, with room for a slow machine, and not a second more.
    EXPECT_LT(took, settings.search_wait + settings.natpmp_wait + 1s);
    EXPECT_TRUE(log.has("Router UPnP: zaden router nie odpowiedzial"));
    EXPECT_TRUE(log.has("Router NAT-PMP: brama nie odpowiada"));
    if (router) {
      // Once at the start and once halfway: a lost datagram does not lose the router.
      EXPECT_EQ(actions(*router), (std::vector<std::string>{"search", "search"}));
    }
    if (gateway) {
      // libnatpmp resends after 250 ms and 500 ms more, within the 800 ms; no mapping is asked for.
      const std::vector<bytes> sent = natpmp_bytes(*gateway);
      EXPECT_GE(sent.size(), 1u);
      EXPECT_LE(sent.size(), 3u);
      EXPECT_EQ(sent, std::vector<bytes>(sent.size(), bytes{0, 0}));
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// NAT-PMP

TEST(PortMapper, NatPmpMapsWhenNoUpnpRouterAnswersAndRenewsAtHalfTheLeaseItGranted) {
  upnp_responder router(natpmp_maps);
  router.stay_silent();
  natpmp_responder gateway(natpmp_maps + 1, natpmp_maps + 9);
  gateway.grant(50000, 1200);  // another port outside, and a shorter lease than asked
  told log;
  common::manual_time time;
  {
    port_mapper mapper(on_loopback(router.search_address(), gateway.address(), log), time);
    const common::steady_time start = time.now();
    const router_outcome o = mapper.open(game_port);

    EXPECT_EQ(o.what, kind::mapped);
    EXPECT_EQ(o.protocol, router_protocol::natpmp);
    EXPECT_EQ(o.external_address, "203.0.113.7");
    EXPECT_EQ(o.external_port, 50000);
    EXPECT_EQ(o.lease, 1200s);
    EXPECT_EQ(router_line(o), "z internetu: 203.0.113.7, port UDP 50000");
    EXPECT_EQ(natpmp_bytes(gateway),
              (std::vector<bytes>{{0, 0}, mapping_request(game_port, game_port, 3600)}));
    EXPECT_EQ(actions(router), (std::vector<std::string>{"search", "search"}));  // no description asked for
    EXPECT_TRUE(log.has("Router NAT-PMP: przekierowano port UDP 47630 (zewnetrzny 50000) na 1200 s"));

    time.advance(599s);
    EXPECT_FALSE(mapper.due());
    time.advance(1s);
    EXPECT_TRUE(mapper.due());
    gateway.grant(0, 0);
    EXPECT_TRUE(mapper.renew());
    EXPECT_EQ(mapper.renewal(), start + 600s + 1800s);
    EXPECT_EQ(mapper.outcome().lease, 3600s);
    // The same request again, for the port it was given.
    EXPECT_EQ(natpmp_bytes(gateway).back(), mapping_request(game_port, 50000, 3600));
    EXPECT_FALSE(log.has("Router NAT-PMP: nowy port zewnetrzny 50000")) << "the port outside stayed";

    time.advance(1800s);
    gateway.refuse(1, 3);
    EXPECT_FALSE(mapper.renew());
    EXPECT_TRUE(mapper.is_open());
    EXPECT_EQ(mapper.renewal(), time.now() + 450s);  // an eighth of the lease later
    EXPECT_EQ(mapper.outcome().external_port, 50000);
    gateway.refuse(1, 0);

    time.advance(450s);
    gateway.grant(0, 1);
    EXPECT_TRUE(mapper.renew());
    EXPECT_EQ(mapper.outcome().lease, 1s);
    EXPECT_EQ(mapper.renewal(), time.now() + 5s);  // however short the lease, not renewed more often
    gateway.grant(0, 0);
    gateway.answer_another_port();
    EXPECT_FALSE(mapper.renew());  // an answer for another port renews nothing
    gateway.answer_another_port(false);
    gateway.grant(50001, 0);  // a router that restarted may give another port outside
    EXPECT_TRUE(mapper.renew());
    EXPECT_EQ(mapper.outcome().external_port, 50001);
    EXPECT_TRUE(log.has("Router NAT-PMP: nowy port zewnetrzny 50001"));

    mapper.close();
    mapper.close();
  }
  const std::vector<bytes> sent = natpmp_bytes(gateway);
  ASSERT_EQ(sent.size(), 8u);  // one removal, whatever closed it how often
  EXPECT_EQ(sent.back(), mapping_request(game_port, 0, 0));
}

TEST(PortMapper, NatPmpResendsWhatWasLostAndReadsPastDatagramsThatAreNoAnswers) {
  struct row {
    std::string name;
    int lost;
    bool junk;
    std::size_t requests;
  };
  int at = natpmp_resends;
  for (const row& r : std::vector<row>{{"a lost request", 1, false, 3}, {"junk first", 0, true, 2}}) {
    SCOPED_TRACE(r.name);
    natpmp_responder gateway(at, at + 4);
    at += 5;
    gateway.lose_first(r.lost);
    gateway.send_junk_first(r.junk);
    told log;
    common::manual_time time;
    port_mapper mapper(on_loopback(nobody(), gateway.address(), log), time);
    const router_outcome o = mapper.open(game_port);
    EXPECT_EQ(o.what, kind::mapped);
    EXPECT_EQ(o.external_address, "203.0.113.7");
    EXPECT_EQ(natpmp_bytes(gateway).size(), r.requests);
  }
}

TEST(PortMapper, ANatPmpGatewayThatRefusesIsToldWithItsResultCode) {
  struct row {
    std::uint8_t op;
    std::uint16_t result;
    std::size_t requests;
    std::string words;
  };
  int at = natpmp_refusals;
  for (const row& r : std::vector<row>{{1, 2, 2, "brak zgody"},
                                       {1, 3, 2, "brak polaczenia z internetem"},
                                       {1, 4, 2, "brak zasobow"},
                                       {1, 5, 2, "nieobslugiwana operacja"},
                                       {1, 9, 2, "blad bramy"},
                                       {0, 3, 1, "brak polaczenia z internetem"},
                                       {0, 1, 1, "nieobslugiwana wersja"}}) {
    SCOPED_TRACE("op " + std::to_string(r.op) + " result " + std::to_string(r.result));
    natpmp_responder gateway(at, at + 1);
    at += 2;
    gateway.refuse(r.op, r.result);
    told log;
    common::manual_time time;
    const router_settings settings = on_loopback(nobody(), gateway.address(), log);
    port_mapper mapper(settings, time);
    const auto start = std::chrono::steady_clock::now();
    const router_outcome o = mapper.open(game_port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, settings.search_wait + settings.natpmp_wait + 1s);
    EXPECT_EQ(o.what, kind::refused);
    EXPECT_EQ(o.protocol, router_protocol::natpmp);
    EXPECT_EQ(o.error, r.result);
    EXPECT_FALSE(mapper.is_open());
    EXPECT_EQ(router_line(o), "router odmowil (NAT-PMP, blad " + std::to_string(r.result) +
                                  "): przekieruj recznie port UDP 47630");
    EXPECT_EQ(natpmp_bytes(gateway).size(), r.requests);  // a refused address asks for no mapping
    EXPECT_TRUE(log.has("Router NAT-PMP: odmowa, kod " + std::to_string(r.result) + " (" + r.words + ")"));
  }
}

TEST(PortMapper, ANatPmpGatewaySilentAfterTheAddressGivesNoMappingWithinItsWait) {
  natpmp_responder gateway(natpmp_late, natpmp_late + 5);
  gateway.ignore(1);
  told log;
  common::manual_time time;
  const router_settings settings = on_loopback(nobody(), gateway.address(), log);
  port_mapper mapper(settings, time);
  const auto start = std::chrono::steady_clock::now();
  const router_outcome o = mapper.open(game_port);
  EXPECT_LT(std::chrono::steady_clock::now() - start, settings.search_wait + settings.natpmp_wait + 1s);
  EXPECT_EQ(o.what, kind::no_router);
  EXPECT_FALSE(mapper.is_open());
  const std::vector<bytes> sent = natpmp_bytes(gateway);
  ASSERT_GE(sent.size(), 2u);
  EXPECT_LE(sent.size(), 4u);  // the address once, its mapping on libnatpmp's resends within the wait
  EXPECT_EQ(sent[0], (bytes{0, 0}));
  for (std::size_t i = 1; i < sent.size(); ++i)
    EXPECT_EQ(sent[i], mapping_request(game_port, game_port, 3600));

  // A mapping granted, but of another port on this side, maps nothing of ours.
  natpmp_responder other(natpmp_late + 6, natpmp_late + 9);
  other.answer_another_port();
  told other_log;
  port_mapper confused(on_loopback(nobody(), other.address(), other_log), time);
  EXPECT_EQ(confused.open(game_port).what, kind::no_router);
  EXPECT_FALSE(confused.is_open());
  EXPECT_TRUE(other_log.has("Router NAT-PMP: brak poprawnej odpowiedzi na prosbe o przekierowanie"));
}

// ---------------------------------------------------------------------------------------------------------
// Strangers

TEST(PortMapper, ARouterThatPointsElsewhereIsNotFollowed) {
  // A listener on another loopback address stands for the computer a hostile answer points to.
  std::uint32_t decoy_address = 0;
  const int decoy =
      testing_support::bound_socket(SOCK_STREAM, strangers + 5, strangers + 9, 0, decoy_address);
  ASSERT_EQ(::listen(decoy, 4), 0);
  ::fcntl(decoy, F_SETFL, O_NONBLOCK);
  const std::string elsewhere = "http://" + address_text(decoy_address) + ":" +
                                std::to_string(testing_support::bound_port(decoy)) + "/";

  struct row {
    std::string name;
    bool in_answer;  // the search's answer names it, or the description's base does
    std::vector<std::string> asked;
  };
  int at = strangers;
  for (const row& r : std::vector<row>{{"answer", true, {"search", "search"}},
                                       {"description", false, {"search", "description"}}}) {
    SCOPED_TRACE(r.name);
    upnp_responder router(at++);
    if (r.in_answer) {
      router.answer_location(elsewhere + "rootDesc.xml");
    } else {
      router.url_base(elsewhere);
    }
    told log;
    common::manual_time time;
    port_mapper mapper(on_loopback(router.search_address(), loopback(at++), log), time);
    EXPECT_EQ(mapper.open(game_port).what, kind::no_router);
    EXPECT_EQ(actions(router), r.asked);
    EXPECT_LT(::accept(decoy, nullptr, nullptr), 0);  // no connection ever reached it
  }
  ::close(decoy);
}

// ---------------------------------------------------------------------------------------------------------
// What a router says

TEST(SsdpLocation, OnlyADescriptionOnTheAnswersOwnAddressIsBelieved) {
  const std::uint32_t router = 0xC0A80101u;  // 192.168.1.1
  const auto answer = [](std::string_view location) {
    return "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nLOCATION: " +
           std::string(location) + "\r\n\r\n";
  };
  const std::string long_path = "http://192.168.1.1/" + std::string(255 - 19, 'a');
  struct row {
    std::string text;
    std::uint32_t from;
    std::optional<std::string> location;
  };
  const std::vector<row> rows = {
      {answer("http://192.168.1.1:5000/rootDesc.xml"), router, "http://192.168.1.1:5000/rootDesc.xml"},
      {"HTTP/1.1 200 OK\nlocation:http://192.168.1.1/d.xml\n", router, "http://192.168.1.1/d.xml"},
      {"HTTP/1.0 200\r\nLocation: \t http://192.168.1.1/d.xml \r\n", router, "http://192.168.1.1/d.xml"},
      {answer("http://192.168.1.1:65535/d"), router, "http://192.168.1.1:65535/d"},
      {answer("http://192.168.1.1/d!"), router, "http://192.168.1.1/d!"},
      {answer(long_path), router, long_path},
      {answer(long_path + "a"), router, std::nullopt},
      {answer("http://192.168.1.1:5000/rootDesc.xml"), router + 1, std::nullopt},
      {answer("http://192.168.1.2:5000/rootDesc.xml"), router, std::nullopt},
      {answer("https://192.168.1.1/d.xml"), router, std::nullopt},
      {answer("HTTP://192.168.1.1/d.xml"), router, std::nullopt},
      {answer("http://router.home/d.xml"), router, std::nullopt},
      {answer("http://me@192.168.1.1/d.xml"), router, std::nullopt},
      {answer("http://192.168.1.1"), router, std::nullopt},
      {answer("http://192.168.1.1:0/d"), router, std::nullopt},
      {answer("http://192.168.1.1:65536/d"), router, std::nullopt},
      {answer("http://192.168.1.1:/d"), router, std::nullopt},
      {answer("http://192.168.01.1/d"), router, std::nullopt},
      {answer("http://192.168.1.256/d"), 0xC0A80100u, std::nullopt},
      {answer("http://192.168.1/d"), router, std::nullopt},
      {answer("http://192.168.1.1.1/d"), router, std::nullopt},
      {answer("http://192.168.1.1/a b"), router, std::nullopt},
      {answer("http://192.168.1.1/a\x7f"), router, std::nullopt},
      {answer("!http://192.168.1.1/d.xml"), router, std::nullopt},
      {"HTTP/1.1 200 OK\r\nLOCATION: http://192.168.1.1/a\r\nLOCATION: http://192.168.1.1/b\r\n", router,
       std::nullopt},
      {"HTTP/1.1 404 Not Found\r\nLOCATION: http://192.168.1.1/d\r\n", router, std::nullopt},
      {"HTTP/1.1 2000 OK\r\nLOCATION: http://192.168.1.1/d\r\n", router, std::nullopt},
      {"HTTP/1.1 2000\r\nLOCATION: http://192.168.1.1/d\r\n", router, std::nullopt},
      {"NOTIFY * HTTP/1.1\r\nLOCATION: http://192.168.1.1/d\r\n", router, std::nullopt},
      {"HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n\r\n", router, std::nullopt},
      {"", router, std::nullopt},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(ssdp_location(r.text, r.from), r.location);
  }
}

TEST(DefaultGateway, TheDefaultRouteWithTheLowestMetricGivesTheGateway) {
  const std::string header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const auto route = [](std::string destination, std::string gateway, std::string flags, std::string metric,
                        std::string mask) {
    return "eth0\t" + destination + "\t" + gateway + "\t" + flags + "\t0\t0\t" + metric + "\t" + mask +
           "\t0\t0\t0\n";
  };
  struct row {
    std::string name;
    std::string table;
    std::optional<std::uint32_t> gateway;
  };
  const std::vector<row> rows = {
      {"one", header + route("00000000", "0101A8C0", "0003", "100", "00000000"), 0xC0A80101u},
      {"lower case", header + route("00000000", "fe01a8c0", "0003", "100", "00000000"), 0xC0A801FEu},
      {"lowest metric",
       header + route("00000000", "0101A8C0", "0003", "600", "00000000") +
           route("00000000", "FE00000A", "0003", "100", "00000000") +
           route("00000000", "0201A8C0", "0003", "300", "00000000"),
       0x0A0000FEu},
      {"a network's route", header + route("0001A8C0", "0101A8C0", "0003", "0", "00FFFFFF"), std::nullopt},
      {"no gateway flag", header + route("00000000", "0101A8C0", "0001", "0", "00000000"), std::nullopt},
      {"down", header + route("00000000", "0101A8C0", "0002", "0", "00000000"), std::nullopt},
      {"gateway none", header + route("00000000", "00000000", "0003", "0", "00000000"), std::nullopt},
      {"not hex", header + route("00000000", "0101A8CG", "0003", "0", "00000000"), std::nullopt},
      {"cut short", header + "eth0\t00000000\t0101A8C0\t0003\n", std::nullopt},
      {"the header alone", header, std::nullopt},
      {"a header taken for no route", route("00000000", "0101A8C0", "0003", "0", "00000000"), std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(default_gateway(r.table), r.gateway);
  }
}

TEST(UnreachableFromInternet, PrivateSharedLoopbackAndLinkLocalRangesEndWhereTheyEnd) {
  struct row {
    std::uint32_t address;
    bool unreachable;
  };
  const std::vector<row> rows = {
      {0x00000000u, true}, {0x00FFFFFFu, true},  {0x01000000u, false}, {0x09FFFFFFu, false},
      {0x0A000000u, true}, {0x0AFFFFFFu, true},  {0x0B000000u, false}, {0x643FFFFFu, false},
      {0x64400000u, true}, {0x647FFFFFu, true},  {0x64800000u, false}, {0x7EFFFFFFu, false},
      {0x7F000001u, true}, {0x80000000u, false}, {0xA9FDFFFFu, false}, {0xA9FE0000u, true},
      {0xA9FEFFFFu, true}, {0xA9FF0000u, false}, {0xAC0FFFFFu, false}, {0xAC100000u, true},
      {0xAC1FFFFFu, true}, {0xAC200000u, false}, {0xC0A7FFFFu, false}, {0xC0A80000u, true},
      {0xC0A8FFFFu, true}, {0xC0A90000u, false}, {0xCB007107u, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(address_text(r.address));
    EXPECT_EQ(unreachable_from_internet(r.address), r.unreachable);
  }
}

TEST(RouterLine, TellsTheAddressToGiveOrWhatToDoByHandInPlainAscii) {
  const auto mapped = [](router_protocol p, std::string address, std::uint16_t external) {
    router_outcome o;
    o.what = kind::mapped;
    o.protocol = p;
    o.port = game_port;
    o.external_port = external;
    o.external_address = std::move(address);
    return o;
  };
  const auto failed = [](kind what, router_protocol p, int error) {
    router_outcome o;
    o.what = what;
    o.protocol = p;
    o.port = game_port;
    o.error = error;
    return o;
  };
  struct row {
    router_outcome outcome;
    std::string line;
  };
  const std::vector<row> rows = {
      {mapped(router_protocol::upnp, "203.0.113.7", game_port), "z internetu: 203.0.113.7, port UDP 47630"},
      {mapped(router_protocol::natpmp, "203.0.113.7", 50001), "z internetu: 203.0.113.7, port UDP 50001"},
      {mapped(router_protocol::upnp, "", game_port), "router otworzyl port UDP 47630"},
      {mapped(router_protocol::upnp, "10.0.0.2", game_port),
       "router otworzyl port UDP 47630, ale sam jest za innym routerem (10.0.0.2)"},
      {mapped(router_protocol::upnp, "100.64.0.1", game_port),
       "router otworzyl port UDP 47630, ale sam jest za innym routerem (100.64.0.1)"},
      {failed(kind::no_router, router_protocol::upnp, 0),
       "router nie odpowiada: przekieruj recznie port UDP 47630"},
      {failed(kind::no_router, router_protocol::natpmp, 0),
       "router nie odpowiada: przekieruj recznie port UDP 47630"},
      {failed(kind::refused, router_protocol::upnp, 718),
       "port UDP 47630 na routerze zajal inny komputer: wybierz inny (--port)"},
      {failed(kind::refused, router_protocol::natpmp, 718),
       "router odmowil (NAT-PMP, blad 718): przekieruj recznie port UDP 47630"},
      {failed(kind::refused, router_protocol::upnp, 728),
       "router odmowil (UPnP, blad 728): przekieruj recznie port UDP 47630"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    const std::string line = router_line(r.outcome);
    EXPECT_EQ(line, r.line);
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '~'; }));
  }
}

}  // namespace
