// The wire of a network game: ENet over UDP, IPv4 only (ENet 1.3 knows no IPv6).
//
// A `transport` is one ENet host: a game host listening on a UDP port for a few connections, or a guest
// (or a test's peer) connected to one. Two channels: `reliable` (resent until acknowledged, in order) and
// `moving` (unreliable and sequenced: a late datagram is dropped). ENet's own connection handshake proves
// nothing, so everything before the join's proof is a stranger's: the host allows few connections, few per
// address, small packets (ENet would otherwise allocate up to 32 MiB for one fragmented packet) and little
// data waiting per connection; and a filter sees every datagram before ENet reads it. A host's transport may
// also answer the probes of guests looking for a game on the local network (net/discovery.hpp), on the same
// port, before ENet reads them.
//
// Thread use: a transport belongs to the one thread that made it; ENet is not thread-safe. Nothing of ENet
// shows in this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/session.hpp"

namespace net {

class lan_responder;

class transport final : public wire {
 public:
  // ENet's limits on the host: connections at once (the guest, the candidates, and room for connections
  // being closed, which ENet keeps until the other side acknowledges or the timeout), and those from one
  // address. ENet gives up on a connection that has not acknowledged a datagram for `timeout` (rather than
  // its default, 30 s): long enough for its doubling resends, while the sessions find a silent side lost
  // after 3 s on their own.
  static constexpr std::size_t host_connections = 16;
  static constexpr std::size_t connections_per_address = 2;  // one, and one being closed
  static constexpr std::chrono::milliseconds timeout{10000};
  static constexpr std::chrono::milliseconds half_open_limit{2000};
  // ENet takes no packet larger than the longest datagram (`max_datagram`), which it would otherwise gather
  // from fragments into up to 32 MiB, and keeps little data waiting per connection.
  static constexpr std::size_t waiting_data = 256 * 1024;

  using event = wire_event;

  // Listens on `port` of every IPv4 address of this computer. Throws std::runtime_error when the port
  // cannot be had.
  static std::unique_ptr<transport> listen(std::uint16_t port);
  // Connects to `address` (a host name or a dotted IPv4 address) on `port`, from `local` (host byte order;
  // 0: any), which lets tests speak from other loopback addresses. The connection is `host_peer`. Throws
  // std::runtime_error when the name does not resolve to an IPv4 address.
  static std::unique_ptr<transport> connect(std::string_view address, std::uint16_t port,
                                            std::uint32_t local = 0);
  ~transport() override;
  transport(const transport&) = delete;
  transport& operator=(const transport&) = delete;

  // Sends what is due and waits up to `wait` for the next event.
  std::optional<event> service(std::chrono::milliseconds wait);
  // Sends what is queued now.
  void flush();

  void send(peer_id peer, channel ch, std::span<const std::uint8_t> datagram) override;
  void disconnect(peer_id peer, bool at_once) override;

  // Sees every datagram that arrives, before ENet reads it: true drops it.
  void filter(std::function<bool(const endpoint&)> drop);
  // Every datagram the filter lets through goes to `responder` first: what it calls a probe's answer is sent
  // back to the datagram's source from this transport's socket, and what it calls its own (a probe, an
  // answer, well formed or not) ENet never sees. The responder stays the caller's, and must outlive the
  // transport or the next call; nullptr: ENet gets everything again.
  void answer_probes(lan_responder* responder);
  // The connection's round trip as ENet measures it.
  std::chrono::milliseconds round_trip(peer_id peer) const override;
  std::size_t unacknowledged(peer_id peer) const override;
  // Connections ENet keeps, half-open and closing ones included.
  std::size_t connections() const;
  // UDP payload bytes sent and received so far, and datagrams received.
  std::uint64_t bytes_sent() const;
  std::uint64_t bytes_received() const;
  std::uint64_t datagrams_received() const;

  struct enet;  // ENet's host, behind the curtain

 private:
  explicit transport(std::unique_ptr<enet> host);

  std::unique_ptr<enet> enet_;
};

// The IPv4 addresses of this computer's network interfaces, loopback aside, as a player reads them.
std::vector<std::string> local_addresses();

}  // namespace net
