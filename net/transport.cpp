#include "net/transport.hpp"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "net/discovery.hpp"

namespace net {

struct transport::enet {
  ENetHost* host = nullptr;
  ENetPacket* held = nullptr;  // the packet of the last event received, until the next service
  peer_id next_peer = host_peer + 1;
  std::function<bool(const endpoint&)> filter;
  lan_responder* responder = nullptr;
  bool listening = false;
  std::uint64_t sent = 0, received = 0, datagrams = 0;

  // A stranger's half-open connection (its handshake begun, never finished) goes at the first of ENet's
  // doubling resends after `half_open_limit` (some 3 s), rather than after its usual 5 to 30 s.
  void hasten_half_open() {
    const auto limit = static_cast<enet_uint32>(transport::half_open_limit.count());
    for (std::size_t i = 0; i < host->peerCount; ++i) {
      ENetPeer* p = &host->peers[i];
      const bool half_open = p->state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT ||
                             p->state == ENET_PEER_STATE_CONNECTION_PENDING ||
                             p->state == ENET_PEER_STATE_CONNECTION_SUCCEEDED;
      if (half_open && p->timeoutMaximum != limit)
        enet_peer_timeout(p, ENET_PEER_TIMEOUT_LIMIT, limit / 4, limit);
    }
  }

  ~enet() {
    if (held != nullptr) enet_packet_destroy(held);
    if (host != nullptr) enet_host_destroy(host);
  }

  ENetPeer* find(peer_id id) const {
    for (std::size_t i = 0; i < host->peerCount; ++i) {
      ENetPeer* p = &host->peers[i];
      if (p->state != ENET_PEER_STATE_DISCONNECTED && p->data == as_data(id)) return p;
    }
    return nullptr;
  }
  static void* as_data(peer_id id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
  static peer_id id_of(const ENetPeer* p) {
    return static_cast<peer_id>(reinterpret_cast<std::uintptr_t>(p->data));
  }
  // ENet's counters are 32 bits wide and for the user to empty.
  void count() {
    sent += host->totalSentData;
    received += host->totalReceivedData;
    datagrams += host->totalReceivedPackets;
    host->totalSentData = host->totalReceivedData = host->totalReceivedPackets = 0;
  }
};

namespace {

void need_enet() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (enet_initialize() != 0) throw std::runtime_error("ENet cannot be initialised");
  });
}

// The transport whose host is being serviced on this thread: ENet's filter hook has no place for it.
thread_local transport::enet* servicing = nullptr;

// A blocked or flooding address is dropped before anything else, probes included.
int ENET_CALLBACK filter_hook(ENetHost* host, ENetEvent*) {
  if (servicing == nullptr) return 0;
  const endpoint from{ntohl(host->receivedAddress.host), host->receivedAddress.port};
  if (servicing->filter && servicing->filter(from)) return 1;
  if (servicing->responder == nullptr) return 0;
  lan_responder::verdict v =
      servicing->responder->take(std::span<const std::uint8_t>(host->receivedData, host->receivedDataLength),
                                 std::chrono::steady_clock::now());
  if (!v.reply.empty()) {
    const ENetBuffer reply{v.reply.data(), v.reply.size()};
    const int sent = enet_socket_send(host->socket, &host->receivedAddress, &reply, 1);
    if (sent > 0) servicing->sent += static_cast<std::uint64_t>(sent);
  }
  return v.ours ? 1 : 0;
}

void limit(ENetHost* host, std::size_t per_address) {
  host->maximumPacketSize = max_datagram;
  host->maximumWaitingData = transport::waiting_data;
  host->duplicatePeers = per_address;
  host->intercept = filter_hook;
}

}  // namespace

transport::transport(std::unique_ptr<enet> host) : enet_(std::move(host)) {}
transport::~transport() = default;

std::unique_ptr<transport> transport::listen(std::uint16_t port) {
  need_enet();
  auto e = std::make_unique<enet>();
  ENetAddress address{ENET_HOST_ANY, port};
  e->host = enet_host_create(&address, host_connections, channel_count, 0, 0);
  if (e->host == nullptr) throw std::runtime_error("UDP port " + std::to_string(port) + " cannot be opened");
  limit(e->host, connections_per_address);
  e->listening = true;
  return std::unique_ptr<transport>(new transport(std::move(e)));
}

std::unique_ptr<transport> transport::connect(std::string_view name, std::uint16_t port,
                                              std::uint32_t local) {
  need_enet();
  ENetAddress address{};
  if (enet_address_set_host(&address, std::string(name).c_str()) != 0)
    throw std::runtime_error("no IPv4 address for " + std::string(name));
  address.port = port;
  auto e = std::make_unique<enet>();
  ENetAddress here{htonl(local), 0};
  e->host = enet_host_create(local != 0 ? &here : nullptr, 1, channel_count, 0, 0);
  if (e->host == nullptr) throw std::runtime_error("no UDP socket for a connection");
  limit(e->host, 1);
  ENetPeer* peer = enet_host_connect(e->host, &address, channel_count, 0);
  if (peer == nullptr) throw std::runtime_error("ENet has no room for a connection");
  peer->data = enet::as_data(host_peer);
  return std::unique_ptr<transport>(new transport(std::move(e)));
}

void transport::filter(std::function<bool(const endpoint&)> drop) {
  enet_->filter = std::move(drop);
}

void transport::answer_probes(lan_responder* responder) {
  enet_->responder = responder;
}

std::optional<transport::event> transport::service(std::chrono::milliseconds wait) {
  if (enet_->held != nullptr) {
    enet_packet_destroy(enet_->held);
    enet_->held = nullptr;
  }
  ENetEvent e{};
  if (enet_->listening) enet_->hasten_half_open();
  servicing = enet_.get();
  const int got = enet_host_service(enet_->host, &e, static_cast<enet_uint32>(wait.count()));
  servicing = nullptr;
  enet_->count();
  if (got <= 0) return std::nullopt;
  event out;
  out.from = {ntohl(e.peer->address.host), e.peer->address.port};
  switch (e.type) {
    case ENET_EVENT_TYPE_CONNECT:
      if (e.peer->data == nullptr) e.peer->data = enet::as_data(enet_->next_peer++);
      enet_peer_timeout(e.peer, ENET_PEER_TIMEOUT_LIMIT, static_cast<enet_uint32>(timeout.count()) / 2,
                        static_cast<enet_uint32>(timeout.count()));
      out.what = event::kind::connected;
      break;
    case ENET_EVENT_TYPE_RECEIVE:
      enet_->held = e.packet;
      out.what = event::kind::received;
      out.ch = e.channelID == static_cast<enet_uint8>(channel::moving) ? channel::moving : channel::reliable;
      out.data = std::span(e.packet->data, e.packet->dataLength);
      break;
    case ENET_EVENT_TYPE_DISCONNECT:
      out.what = event::kind::disconnected;
      break;
    case ENET_EVENT_TYPE_NONE:
      return std::nullopt;
  }
  out.peer = enet::id_of(e.peer);
  if (e.type == ENET_EVENT_TYPE_DISCONNECT) e.peer->data = nullptr;
  return out;
}

void transport::flush() {
  enet_host_flush(enet_->host);
  enet_->count();
}

void transport::send(peer_id peer, channel ch, std::span<const std::uint8_t> datagram) {
  ENetPeer* p = enet_->find(peer);
  if (p == nullptr || p->state != ENET_PEER_STATE_CONNECTED) return;
  ENetPacket* packet = enet_packet_create(datagram.data(), datagram.size(),
                                          ch == channel::reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (packet == nullptr) return;
  if (enet_peer_send(p, static_cast<enet_uint8>(ch), packet) < 0) enet_packet_destroy(packet);
}

void transport::disconnect(peer_id peer, bool at_once) {
  ENetPeer* p = enet_->find(peer);
  if (p == nullptr) return;
  if (at_once) {
    enet_peer_reset(p);  // the slot is free at once; the other side hears nothing more
    p->data = nullptr;
  } else {
    enet_peer_disconnect_later(p, 0);
  }
}

std::size_t transport::connections() const {
  std::size_t n = 0;
  for (std::size_t i = 0; i < enet_->host->peerCount; ++i)
    n += enet_->host->peers[i].state != ENET_PEER_STATE_DISCONNECTED;
  return n;
}

std::size_t transport::unacknowledged(peer_id peer) const {
  const ENetPeer* p = enet_->find(peer);
  if (p == nullptr) return 0;
  std::size_t queued = 0;
  auto* list = const_cast<ENetList*>(&p->outgoingCommands);
  for (ENetListIterator i = enet_list_begin(list); i != enet_list_end(list); i = enet_list_next(i))
    queued += reinterpret_cast<const ENetOutgoingCommand*>(i)->fragmentLength;
  return p->reliableDataInTransit + queued;
}

std::chrono::milliseconds transport::round_trip(peer_id peer) const {
  const ENetPeer* p = enet_->find(peer);
  return std::chrono::milliseconds(p != nullptr ? p->roundTripTime : 0);
}

std::uint64_t transport::bytes_sent() const {
  return enet_->sent;
}
std::uint64_t transport::bytes_received() const {
  return enet_->received;
}
std::uint64_t transport::datagrams_received() const {
  return enet_->datagrams;
}

std::vector<std::string> local_addresses() {
  std::vector<std::string> found;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return found;
  for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    const std::string text = address_text(ntohl(in->sin_addr.s_addr));
    if (std::find(found.begin(), found.end(), text) == found.end()) found.push_back(text);
  }
  freeifaddrs(all);
  return found;
}

}  // namespace net
