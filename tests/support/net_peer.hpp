// The network side of the game as a test drives it: a peer that joins a host (or tries to) the way a guest
// does and can send anything at all, plain UDP from an address of its own, and a lossy relay between a guest
// and its host. Every datagram goes to a loopback address; every loop ends by itself.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <queue>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/transport.hpp"
#include "support/game_process.hpp"

namespace testing_support {

// A UDP socket on 127.0.0.`local` (a port of its own unless given), and what it sends to 127.0.0.1.
class udp_socket {
 public:
  explicit udp_socket(int local, std::uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in a = at(local, port);
    socklen_t size = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
      throw std::runtime_error("no UDP socket");
    port_ = ntohs(a.sin_port);
  }
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;
  ~udp_socket() { ::close(fd_); }

  static sockaddr_in at(int last, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000000u + static_cast<std::uint32_t>(last));
    a.sin_port = htons(port);
    return a;
  }
  void send_to(const sockaddr_in& to, const std::uint8_t* data, std::size_t size) {
    ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  void send(std::uint16_t port, const std::vector<std::uint8_t>& d) {
    send_to(at(1, port), d.data(), d.size());
  }
  int fd() const { return fd_; }
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// A UDP port that nothing on this machine uses at the moment.
inline std::uint16_t free_udp_port() {
  return udp_socket(1).port();
}

// A guest-to-be on 127.0.0.`local`: it joins with `code`, or with `greet` false only connects and leaves
// every datagram to the test.
class test_peer {
 public:
  test_peer(std::uint16_t port, int local, std::string_view digits, bool greet = true)
      : wire_(net::transport::connect("127.0.0.1", port, 0x7F000000u + static_cast<std::uint32_t>(local))),
        tap_(*wire_),
        session_(net::join_code(digits), random_, tap_, now()),
        greet_(greet) {}

  // Takes the host's datagrams until `done` holds (false when `limit` passed first: a host under a sanitizer
  // on a busy machine may take many seconds over a join). Once joined it says something now and then, as a
  // guest does, so that its host does not lose it meanwhile.
  bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto give_up = now() + limit;
    while (!done()) {
      if (now() >= give_up) return false;
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
        session_.disconnected(now());
      } else {
        received.emplace_back(e->data.begin(), e->data.end());
        session_.received(e->ch, e->data, now());
      }
    }
    return true;
  }
  // Until the join is over one way or the other.
  net::guest_session::ending ended() {
    until([&] { return session_.end() != net::guest_session::ending::none; });
    return session_.end();
  }
  bool joined() {
    until([&] { return playing() || session_.end() != net::guest_session::ending::none; });
    return playing();
  }
  bool playing() const { return session_.current() == net::guest_session::state::playing; }
  void send(const net::bytes& datagram) {
    wire_->send(net::host_peer, net::channel::reliable, datagram);
    wire_->flush();
  }
  net::guest_session& session() { return session_; }
  // While held, what the session sends is only kept in `sealed`: the test sends it, or not.
  void hold(bool held) { tap_.held = held; }
  const net::bytes& last_sealed() const { return tap_.kept.back(); }

  bool connected = false;
  std::vector<net::bytes> received;

 private:
  static common::steady_time now() { return std::chrono::steady_clock::now(); }

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

// Between a guest and its host on 127.0.0.1: loses a share of the datagrams either way and delays the rest.
// The guest talks to `port()`; the host sees the relay as its guest.
class lossy_relay {
 public:
  lossy_relay(std::uint16_t host_port, double loss, std::chrono::milliseconds delay)
      : thread_([=, this](std::stop_token stop) { run(stop, host_port, loss, delay); }) {}
  std::uint16_t port() const { return guest_side_.port(); }
  std::uint64_t lost() const { return lost_; }
  // Bytes passed on each way so far.
  std::uint64_t bytes_to_host() const { return to_host_bytes_; }
  std::uint64_t bytes_to_guest() const { return to_guest_bytes_; }

 private:
  struct held {
    std::chrono::steady_clock::time_point due;
    bool to_host;
    std::vector<std::uint8_t> data;
    bool operator>(const held& other) const { return due > other.due; }
  };

  void run(std::stop_token stop, std::uint16_t host_port, double loss, std::chrono::milliseconds delay) {
    std::mt19937 chance(12345);
    std::bernoulli_distribution drop(loss);
    std::priority_queue<held, std::vector<held>, std::greater<>> queue;
    sockaddr_in guest{};
    std::vector<std::uint8_t> buffer(65536);
    while (!stop.stop_requested()) {
      pollfd sides[2] = {{guest_side_.fd(), POLLIN, 0}, {host_side_.fd(), POLLIN, 0}};
      ::poll(sides, 2, 1);
      for (int i = 0; i < 2; ++i) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        if ((sides[i].revents & POLLIN) == 0) continue;
        const ssize_t n = ::recvfrom(sides[i].fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (i == 0) guest = from;
        if (n < 0 || (drop(chance) && ++lost_)) continue;
        queue.push({std::chrono::steady_clock::now() + delay, i == 0, {buffer.begin(), buffer.begin() + n}});
      }
      for (; !queue.empty() && queue.top().due <= std::chrono::steady_clock::now(); queue.pop()) {
        const held& h = queue.top();
        if (h.to_host)
          host_side_.send_to(udp_socket::at(1, host_port), h.data.data(), h.data.size());
        else
          guest_side_.send_to(guest, h.data.data(), h.data.size());
        (h.to_host ? to_host_bytes_ : to_guest_bytes_) += h.data.size();
      }
    }
  }

  udp_socket guest_side_{1}, host_side_{1};
  std::atomic<std::uint64_t> lost_{0}, to_host_bytes_{0}, to_guest_bytes_{0};
  std::jthread thread_;
};

#ifdef TOLVARAN_GAME  // where the built game is: the display tests know
// The built game as host on a free port and as guest beside it (its window at x = 700), each in a scratch
// directory of its own, and what their logs say.
struct network_games {
  static constexpr int guest_left = 700;

  network_games() {
    std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", host_dir / "boards");
  }
  // Starts the host and waits until it waits for a guest; false when it did not within a minute. Its router
  // is left alone (--no-router) unless `options` and `environment` point it at stand-ins. The port was free
  // when it was drawn, but any program may bind it before the host does: the host then says so at once, and
  // starts afresh on another port, with nothing of the first attempt left in its log.
  bool start_host(const std::string& code, const std::vector<std::string>& options = {"--no-router"},
                  const std::vector<std::string>& environment = {}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::vector<std::string> arguments{"--host", "--port", std::to_string(port), "--code", code};
      arguments.insert(arguments.end(), options.begin(), options.end());
      host.emplace(TOLVARAN_GAME, host_dir.path(), arguments, environment);
      const std::string waiting = "Gra przez siec czeka na goscia, port UDP " + std::to_string(port);
      const std::string taken =
          "Gra przez siec niemozliwa: port UDP " + std::to_string(port) + " jest zajety";
      if (!eventually([&] { return count(host_dir, waiting) + count(host_dir, taken) > 0; },
                      std::chrono::seconds(60)))
        return false;
      if (count(host_dir, waiting) > 0) return true;
      host.reset();
      std::filesystem::remove_all(host_dir / "logs");
      port = free_udp_port();
    }
    return false;
  }
  // A guest without an address looks for its host on 127.0.0.1 alone. `code_on_input`: the code given as
  // "--code -" and read from the standard input.
  void start_guest(const std::string& code, const std::string& address = "127.0.0.1",
                   bool code_on_input = false) {
    std::vector<std::string> arguments{"--join"};
    if (!address.empty()) arguments.push_back(address);
    arguments.insert(arguments.end(), {"--port", std::to_string(port), "--code", code_on_input ? "-" : code,
                                       "-geometry", "600x600+700+50"});
    guest.emplace(TOLVARAN_GAME, guest_dir.path(), arguments,
                  std::vector<std::string>{"TOLVARAN_LAN_TARGETS=127.0.0.1"},
                  code_on_input ? code + "\n" : "");
  }
  static std::size_t count(const temp_dir& dir, const std::string& message) {
    const auto all = log_messages(dir.path());
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }
  // What the host's log says it dropped for a reason, all its lines together.
  std::uint64_t dropped(const std::string& reason) const {
    std::uint64_t sum = 0;
    for (const auto& m : log_messages(host_dir.path())) {
      const std::size_t at =
          m.starts_with("Odrzucono wiadomosci z sieci:") ? m.find(reason + ": ") : std::string::npos;
      if (at != std::string::npos) sum += std::stoull(m.substr(at + reason.size() + 2));
    }
    return sum;
  }
  // Guests the host refused for `reason`, from its log: one refusal to a line, or several summed up.
  std::uint64_t refused(const std::string& reason) const {
    std::uint64_t sum = 0;
    for (const auto& m : log_messages(host_dir.path())) {
      if (m.starts_with("Odrzucono goscia z adresu ") && m.find(": " + reason) != std::string::npos) ++sum;
      const std::size_t at = m.starts_with("Odrzucono gosci:") ? m.find(reason + ": ") : std::string::npos;
      if (at != std::string::npos) sum += std::stoull(m.substr(at + reason.size() + 2));
    }
    return sum;
  }

  temp_dir host_dir, guest_dir;
  std::uint16_t port = free_udp_port();
  std::optional<child_process> host, guest;
};
#endif

}  // namespace testing_support
