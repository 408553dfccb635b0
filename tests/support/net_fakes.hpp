// Stand-ins for what a network session meets outside itself: a wire that keeps what is sent for the test
// to deliver (or lose), and randomness that counts, so that every run draws the same keys.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "net/session.hpp"

namespace testing_support {

class recording_wire final : public net::wire {
 public:
  struct datagram_sent {
    net::peer_id peer;
    net::channel ch;
    net::bytes data;
  };
  void send(net::peer_id peer, net::channel ch, std::span<const std::uint8_t> data) override {
    sent.push_back({peer, ch, net::bytes(data.begin(), data.end())});
    history.push_back(sent.back().data);
  }
  void disconnect(net::peer_id peer, bool at_once) override { let_go.emplace_back(peer, at_once); }
  std::chrono::milliseconds round_trip(net::peer_id) const override { return measured_round_trip; }
  std::size_t unacknowledged(net::peer_id) const override { return waiting; }

  std::vector<datagram_sent> sent;  // not yet delivered
  std::vector<net::bytes> history;  // everything ever sent
  std::vector<std::pair<net::peer_id, bool>> let_go;
  std::chrono::milliseconds measured_round_trip{0};
  std::size_t waiting = 0;  // what each connection has left unacknowledged
};

// Counts up from `first`: two sides that play each other count from different places, or each would send
// the other its own point (which the exchange refuses).
class counting_entropy final : public net::entropy {
 public:
  explicit counting_entropy(std::uint8_t first = 1) : next_(first) {}
  void fill(std::span<std::uint8_t> out) override {
    for (auto& b : out) b = next_++;
  }

 private:
  std::uint8_t next_ = 1;
};

}  // namespace testing_support
