// What the network's roles tell the players and whom a guest without an address tries: the waiting host's two
// lines, and the hosts found on the local network as a guest chooses among them and lists them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/play.hpp"

namespace {

using namespace net;

constexpr std::uint32_t here = 0x7F000001;   // 127.0.0.1
constexpr std::uint32_t lan_a = 0xC0A80105;  // 192.168.1.5
constexpr std::uint32_t lan_b = 0xC0A80107;  // 192.168.1.7
constexpr std::uint32_t own = 0xC0A80109;    // 192.168.1.9, this computer's own

lan_host host(std::uint32_t address, std::string name, bool busy = false,
              std::uint16_t version = protocol_version) {
  return {address, version == protocol_version ? std::uint16_t{47630} : std::uint16_t{0}, std::move(name),
          version, busy};
}

TEST(WaitingLines, TheCodeAndTwoAddressesAboveWhatTheRouterSaidAndThatTheCodeAloneWillDoHere) {
  struct row {
    std::vector<std::string> addresses;
    std::uint16_t port;
    std::string router;
    std::string lines;
  };
  const std::vector<row> rows{
      {{"192.168.1.5", "10.0.0.7", "172.16.0.1"},
       47630,
       router_asking_line(47630),
       "Kod dolaczenia: 1234-5678   adresy: 192.168.1.5, 10.0.0.7   port UDP 47630\n"
       "router: prosba o przekierowanie portu UDP 47630 ...   w tej sieci: sam kod"},
      {{"192.168.1.5"},
       1,
       no_router_line(1),
       "Kod dolaczenia: 1234-5678   adresy: 192.168.1.5   port UDP 1\n"
       "bez routera (--no-router): przekieruj recznie port UDP 1   w tej sieci: sam kod"},
      {{},
       65535,
       "z internetu: 203.0.113.7, port UDP 65535",
       "Kod dolaczenia: 1234-5678   adresy: brak sieci   port UDP 65535\n"
       "z internetu: 203.0.113.7, port UDP 65535   w tej sieci: sam kod"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.router);
    const std::string lines = waiting_lines("12345678", r.addresses, r.port, r.router);
    EXPECT_EQ(lines, r.lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
  }
}

TEST(HostsToTry, FreeHostsOfThisVersionInTheirOrderAndThisComputerOnceWhateverItsAddress) {
  struct row {
    std::string what;
    std::vector<lan_host> found;
    std::vector<std::uint32_t> tried;
  };
  const std::vector<row> rows{
      {"none", {}, {}},
      {"two in the order they answered", {host(lan_b, "b"), host(lan_a, "a")}, {lan_b, lan_a}},
      {"a busy one left out", {host(lan_a, "a", true), host(lan_b, "b")}, {lan_b}},
      {"another version left out",
       {host(lan_a, "a", false, protocol_version + 1), host(lan_b, "b")},
       {lan_b}},
      {"all busy", {host(lan_a, "a", true), host(lan_b, "b", true)}, {}},
      {"this computer from loopback and its own address",
       {host(own, "tu"), host(lan_a, "a"), host(here, "tu")},
       {own, lan_a}},
      {"this computer from two loopback addresses", {host(here, "tu"), host(here + 1, "tu")}, {here}},
      {"this computer busy, then free from another address",
       {host(here, "tu", true), host(own, "tu")},
       {own}},
      {"a neighbour's address beside our own is another computer",
       {host(own, "tu"), host(own + 1, "obok")},
       {own, own + 1}},
  };
  const std::vector<std::uint32_t> ours{own};
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<std::uint32_t> tried;
    for (const lan_host& h : hosts_to_try(r.found, ours)) tried.push_back(h.address);
    EXPECT_EQ(tried, r.tried);
  }
}

TEST(NoHostLine, TellsWhatWasFoundAndWhyOrThatNothingWas) {
  struct row {
    std::vector<lan_host> found;
    std::string line;
  };
  const std::vector<row> rows{
      {{}, "Nie znaleziono gospodarza w tej sieci (port UDP 47630)"},
      {{host(lan_a, "stol")}, "Zaden gospodarz w tej sieci nie przyjal goscia: stol (192.168.1.5)"},
      {{host(lan_a, "stol", true), host(lan_b, "", false, 9)},
       "Zaden gospodarz w tej sieci nie przyjal goscia: stol (192.168.1.5, gra z gosciem), bez nazwy "
       "(192.168.1.7, inna wersja gry)"},
      // Another version's busy flag is not its own: it says only that it plays another version.
      {{host(lan_a, "a", true, 9)},
       "Zaden gospodarz w tej sieci nie przyjal goscia: a (192.168.1.5, inna wersja gry)"},
      {{host(lan_a, "a"), host(lan_b, "b"), host(here, "c")},
       "Zaden gospodarz w tej sieci nie przyjal goscia: a (192.168.1.5), b (192.168.1.7), c (127.0.0.1)"},
      {{host(lan_a, "a"), host(lan_b, "b"), host(here, "c"), host(own, "d"), host(own + 1, "e")},
       "Zaden gospodarz w tej sieci nie przyjal goscia: a (192.168.1.5), b (192.168.1.7), c (127.0.0.1) i 2 "
       "innych"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(no_host_line(r.found, 47630), r.line);
  }
}

}  // namespace
