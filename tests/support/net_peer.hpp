// The network side of the game as a test drives it: a peer that joins a host (or tries to) the way a guest
// does and can send anything at all, a lossy relay between a guest and its host, and plain UDP junk. Every
// datagram goes to a loopback address; every loop ends by itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/transport.hpp"

namespace testing_support {

inline std::uint32_t loopback(int last) {
  return 0x7F000000u + static_cast<std::uint32_t>(last);
}

// A UDP port that nothing on this machine uses at the moment.
inline std::uint16_t free_udp_port() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(loopback(1));
  socklen_t size = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0)
    throw std::runtime_error("no free UDP port");
  ::close(s);
  return ntohs(a.sin_port);
}

// A guest-to-be on a loopback address of its own: it joins with `code`, or with `greet` false it only
// connects and leaves every datagram to the test.
class test_peer {
 public:
  test_peer(std::uint16_t port, int local, std::string code, bool greet = true)
      : wire_(net::transport::connect("127.0.0.1", port, loopback(local))),
        tap_(*wire_),
        session_({std::move(code), net::interactive_cost}, random_, tap_, now()),
        greet_(greet) {}

  // Takes the host's datagrams until `done` holds; false when `limit` passed first. Once joined, it says
  // something now and then, as a guest does, so that its host does not lose it meanwhile.
  bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= give_up) return false;
      if (session_.current() == net::guest_session::state::playing && now() >= next_word_) {
        session_.send(net::channel::moving, net::steering{});
        next_word_ = now() + std::chrono::milliseconds(200);
      }
      const auto e = wire_->service(std::chrono::milliseconds(5));
      if (!e) continue;
      if (e->what == net::transport::event::kind::connected) {
        connected = true;
        if (greet_) session_.connected(now());
      } else if (e->what == net::transport::event::kind::disconnected) {
        disconnected = true;
        session_.disconnected(now());
      } else {
        received.emplace_back(e->data.begin(), e->data.end());
        const auto got = session_.received(e->ch, e->data, now());
        if (got.message) heard.push_back(*got.message);
      }
    }
    return true;
  }
  bool joined(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    return until(
               [&] {
                 return session_.current() == net::guest_session::state::playing ||
                        session_.end() != net::guest_session::ending::none;
               },
               limit) &&
           session_.current() == net::guest_session::state::playing;
  }
  // A datagram as it is, on the reliable channel unless told.
  void send(const net::bytes& datagram, net::channel ch = net::channel::reliable) {
    wire_->send(net::host_peer, ch, datagram);
    wire_->flush();
  }

  net::guest_session& session() { return session_; }
  // While held, what the session sends is kept in `sealed` and not sent: the test sends it, or not.
  void hold(bool held) { tap_.held = held; }
  const std::vector<net::bytes>& sealed() const { return tap_.kept; }
  bool connected = false, disconnected = false;
  std::vector<net::bytes> received;
  std::vector<net::game_message> heard;

 private:
  static common::steady_time now() { return std::chrono::steady_clock::now(); }

  // Between the session and the transport: keeps every datagram the session sends.
  struct tap final : net::wire {
    explicit tap(net::transport& t) : to(t) {}
    void send(net::peer_id peer, net::channel ch, std::span<const std::uint8_t> d) override {
      kept.emplace_back(d.begin(), d.end());
      if (held) return;
      to.send(peer, ch, d);
      to.flush();
    }
    void disconnect(net::peer_id peer, bool at_once) override { to.disconnect(peer, at_once); }
    net::transport& to;
    bool held = false;
    std::vector<net::bytes> kept;
  };

  net::system_entropy random_;
  std::unique_ptr<net::transport> wire_;
  tap tap_;
  net::guest_session session_;
  bool greet_;
  common::steady_time next_word_{};
};

// Plain UDP from a loopback address of its own, for datagrams no ENet peer would send.
class udp_sender {
 public:
  explicit udp_sender(int local) : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(loopback(local));
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("no UDP socket");
  }
  udp_sender(const udp_sender&) = delete;
  udp_sender& operator=(const udp_sender&) = delete;
  ~udp_sender() { ::close(socket_); }

  void send(std::uint16_t port, const std::vector<std::uint8_t>& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(loopback(1));
    to.sin_port = htons(port);
    ::sendto(socket_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

 private:
  int socket_;
};

// A UDP relay on loopback between one guest and its host that loses a share of the datagrams either way
// and delays the rest. The guest talks to `port()`; the host sees the relay as its guest.
class lossy_relay {
 public:
  lossy_relay(std::uint16_t host_port, double loss, std::chrono::milliseconds delay)
      : host_port_(host_port), loss_(loss), delay_(delay) {
    guest_side_ = bound_socket(0);
    host_side_ = bound_socket(0);
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(guest_side_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  }
  lossy_relay(const lossy_relay&) = delete;
  lossy_relay& operator=(const lossy_relay&) = delete;
  ~lossy_relay() {
    thread_.request_stop();
    thread_.join();
    ::close(guest_side_);
    ::close(host_side_);
  }
  std::uint16_t port() const { return port_; }
  std::uint64_t lost() const { return lost_.load(); }
  std::uint64_t passed() const { return passed_.load(); }

 private:
  struct held {
    std::chrono::steady_clock::time_point due;
    bool to_host;
    std::vector<std::uint8_t> data;
    bool operator>(const held& other) const { return due > other.due; }
  };

  static int bound_socket(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(loopback(1));
    a.sin_port = htons(port);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("the relay has no socket");
    return s;
  }

  void run(std::stop_token stop) {
    std::mt19937 chance(12345);
    std::bernoulli_distribution drop(loss_);
    std::priority_queue<held, std::vector<held>, std::greater<>> queue;
    sockaddr_in guest{};
    bool guest_known = false;
    std::vector<std::uint8_t> buffer(65536);
    while (!stop.stop_requested()) {
      pollfd fds[2] = {{guest_side_, POLLIN, 0}, {host_side_, POLLIN, 0}};
      ::poll(fds, 2, 1);
      for (int i = 0; i < 2; ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n =
            ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n < 0) continue;
        if (i == 0) {
          guest = from;
          guest_known = true;
        }
        if (drop(chance)) {
          ++lost_;
          continue;
        }
        queue.push({std::chrono::steady_clock::now() + delay_, i == 0,
                    std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n)});
      }
      while (!queue.empty() && queue.top().due <= std::chrono::steady_clock::now()) {
        const held& h = queue.top();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(loopback(1));
        to.sin_port = htons(host_port_);
        if (h.to_host)
          ::sendto(host_side_, h.data.data(), h.data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        else if (guest_known)
          ::sendto(guest_side_, h.data.data(), h.data.size(), 0, reinterpret_cast<sockaddr*>(&guest),
                   sizeof guest);
        ++passed_;
        queue.pop();
      }
    }
  }

  std::uint16_t host_port_;
  double loss_;
  std::chrono::milliseconds delay_;
  int guest_side_ = -1, host_side_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<std::uint64_t> lost_{0}, passed_{0};
  std::jthread thread_;
};

}  // namespace testing_support
