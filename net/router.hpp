// The host's home router asked to let a guest's datagrams in: the host's UDP port mapped on the router by
// UPnP IGD (miniupnpc) where a router answers the search, else by NAT-PMP (libnatpmp), renewed at half its
// lease and removed when the game ends.
//
// A `port_mapper` keeps no thread of its own and every call ends within a bound, so the host's network
// thread can run it between its own waits: the search waits `search_wait` for answers and NAT-PMP
// `natpmp_wait` for all of its own, 3 s in all by default when nothing answers; each request to a UPnP
// router waits at most `upnp_wait`, and UPnP as a whole at most `upnp_limit`. Requests to a UPnP router
// are our own (miniupnpc's wait for as long as a router keeps sending), and miniupnpc reads what the router
// says. When the lease is renewed is decided on the injected clock; the waits for answers are real ones on
// the sockets.
//
// The router is a stranger: an answer to the search counts only when it names a description on the very
// address it came from (and, when the search went to one address, only from that address), the router's
// control address must be that address too, and what it tells (its external address, its state) is shown
// and logged only once checked. Nothing secret ever reaches this module or its log.
//
// Thread use: a `port_mapper` belongs to the thread that made it. The free functions from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/seams.hpp"
#include "net/session.hpp"

namespace net {

inline constexpr endpoint ssdp_multicast{0xEFFFFFFAu, 1900};  // 239.255.255.250:1900
inline constexpr std::uint16_t natpmp_port = 5351;
inline constexpr std::string_view mapping_description = "Multiplayer Tolvaran";

struct router_settings {
  // Where the search for a router goes: SSDP's multicast group, or one address that alone may answer.
  endpoint search = ssdp_multicast;
  // NAT-PMP's gateway (host byte order); 0: the default route's gateway in `route_table`. It always
  // listens on natpmp_port.
  std::uint32_t gateway = 0;
  std::string route_table = "/proc/net/route";
  // The lease asked for; a router may grant NAT-PMP less.
  std::chrono::seconds lease{3600};
  std::chrono::milliseconds search_wait{1000};
  std::chrono::milliseconds natpmp_wait{2000};
  std::chrono::milliseconds upnp_wait{2000};
  std::chrono::milliseconds upnp_limit{4000};
  // How long a removal waits for NAT-PMP's acknowledgement: a lost one only leaves the lease to run out.
  std::chrono::milliseconds close_wait{500};
  // Where what was asked and what was answered is told, a line at a time; none: nowhere.
  std::function<void(std::string_view)> log;
};

enum class router_protocol : std::uint8_t { upnp, natpmp };

struct router_outcome {
  enum class kind : std::uint8_t { mapped, no_router, refused };
  kind what = kind::no_router;
  router_protocol protocol = router_protocol::upnp;  // that mapped, or that refused
  std::uint16_t port = 0;                            // ours, on this computer
  std::uint16_t external_port = 0;                   // mapped: the router's (NAT-PMP may choose another)
  std::string external_address;   // mapped: dotted IPv4 as the router told it; empty when it told none
  std::chrono::seconds lease{0};  // mapped: 0 when the mapping stands until removed
  int error = 0;                  // refused: UPnP's error code or NAT-PMP's result code
  bool mapped() const { return what == kind::mapped; }
};

// Maps one port at a time.
class port_mapper {
 public:
  port_mapper(router_settings settings, common::clock& clock);
  // Removes the mapping, as `close` does.
  ~port_mapper();
  port_mapper(const port_mapper&) = delete;
  port_mapper& operator=(const port_mapper&) = delete;

  // Asks the router to forward UDP `port` (the same port outside) to this computer: by UPnP first, by
  // NAT-PMP when no UPnP router answers or one refuses. A mapping made before is removed first.
  router_outcome open(std::uint16_t port);
  bool is_open() const { return open_; }
  // What the last `open` came to.
  const router_outcome& outcome() const { return outcome_; }

  // When the lease is next renewed: at half of it, and again a while later after a renewal that failed.
  // steady_time::max() with no lease to renew.
  common::steady_time renewal() const { return renewal_; }
  bool due() const { return is_open() && clock_.now() >= renewal_; }
  // Asks for the mapping again; false when the router did not grant it (it is tried again later).
  bool renew();
  // Removes the mapping; nothing when there is none, so it is safe to call again.
  void close();

  struct upnp_link;  // the router's UPnP service, behind the curtain

 private:
  router_outcome try_upnp(std::uint16_t port, common::steady_time start);
  router_outcome try_natpmp(std::uint16_t port);
  void granted(common::steady_time at, std::chrono::seconds lease);
  void say(std::string_view line) const;

  router_settings settings_;
  common::clock& clock_;
  router_outcome outcome_;
  bool open_ = false;
  std::unique_ptr<upnp_link> upnp_;
  std::uint32_t gateway_ = 0;
  common::steady_time renewal_ = common::steady_time::max();
};

// The line a waiting host shows about its router, ASCII only: the address to give a friend when a port was
// mapped, else why not and what to do by hand.
std::string router_line(const router_outcome& outcome);

// The description an answer to the search names, "http://a.b.c.d[:port]/path" with a.b.c.d the address
// (host byte order) the answer came from; none for any other answer.
std::optional<std::string> ssdp_location(std::string_view answer, std::uint32_t from);

// The gateway (host byte order) of the default route with the lowest metric in a routing table as
// /proc/net/route shows it; none without one.
std::optional<std::uint32_t> default_gateway(std::string_view route_table);

// Whether an IPv4 address (host byte order) is one that no friend across the internet could reach: private,
// shared (carrier-grade NAT), loopback, link-local or unspecified.
bool unreachable_from_internet(std::uint32_t address);

}  // namespace net
