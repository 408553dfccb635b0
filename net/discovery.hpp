// Finding a game host on the local network. A guest that has a join code but no address sends a probe to
// the game's UDP port on every network it is on (each one's broadcast address, and this computer); each host
// waiting there answers with its name, its port and whether a guest already plays with it.
//
// A host hears the probe on its game's own port: its transport takes the probe off the wire before ENet
// reads it and answers from the same socket (`transport::answer_probes`). Neither side says anything secret:
// the join code, and anything made from it, stays out of both datagrams.
//
// A source address is easily forged, and then the answer goes to someone who did not ask. So an answer is
// never longer than the probe that asked (a probe is padded to be longer than any answer): nobody gets more
// bytes sent their way than the forger sent. And a host answers at most 20 probes a second, whatever their
// sources.
//
// Both datagrams are little-endian, and alike in every version as far as the nonce, so that a guest still
// learns the version of a host of another version:
//   probe   type 6, "TLVR", version (2 bytes), nonce (16), zeros up to `probe_size`
//   answer  type 7, "TLVR", version (2 bytes), the probe's nonce (16), port (2), busy (1: 0 or 1),
//           name length (1), name (at most 32 bytes of printable ASCII)
// A host answers a probe of another version too, as its own version; a guest reads only the version of an
// answer of another version.
//
// Thread use: the codec and `directed_broadcast` are plain functions, any thread. A `token_bucket` and a
// `lan_responder` belong to one thread (a host's network thread, through its transport), as does a
// `lan_search`. `find_hosts` blocks its caller for up to its limit; `host_name` and `broadcast_addresses`
// ask the system, any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/seams.hpp"
#include "net/codec.hpp"
#include "net/session.hpp"

namespace net {

inline constexpr std::size_t max_host_name = 32;
inline constexpr std::size_t longest_answer = 1 + magic.size() + 2 + 16 + 2 + 1 + 1 + max_host_name;
// Every version pads its probe to at least this much, so that no answer of this version outgrows it.
inline constexpr std::size_t probe_size = 64;
static_assert(longest_answer <= probe_size, "an answer may not outgrow the probe that asked");
// Longer than this is no probe nor answer of any version.
inline constexpr std::size_t max_lan_datagram = 512;

struct probe {
  std::uint16_t version = protocol_version;
  nonce_bytes nonce{};
  friend bool operator==(const probe&, const probe&) = default;
};

struct answer {
  std::uint16_t version = protocol_version;
  nonce_bytes nonce{};
  // Only in an answer of this version: zeros in one of another version.
  std::uint16_t port = 0;  // where the host's game listens
  bool busy = false;       // a guest plays with it already
  std::uint8_t name_length = 0;
  std::array<char, max_host_name> name{};
  std::string_view name_view() const { return {name.data(), name_length}; }
  friend bool operator==(const answer&, const answer&) = default;
};

using lan_datagram = std::variant<probe, answer>;

bytes encode_lan(const lan_datagram& d);
decoded<lan_datagram> decode_lan(std::span<const std::uint8_t> bytes);

// Whether the bytes are meant as a probe or an answer (their type and the magic word), well formed or not:
// the host's transport keeps them all from ENet.
bool looks_like_lan(std::span<const std::uint8_t> bytes);

// The answer to the probe that carried `asked`; none when the bytes are no answer or answer another probe.
std::optional<answer> answer_to(const nonce_bytes& asked, std::span<const std::uint8_t> bytes);

// A name as an answer carries it: bytes other than printable ASCII become '?', and it is cut to 32 bytes.
std::string lan_name(std::string_view name);
// This computer's host name, as an answer carries it; empty when the system does not tell.
std::string host_name();

// ---------------------------------------------------------------------------------------------------------
// The host's side

// Tells probes from other datagrams and makes the answers, within the rate.
class lan_responder {
 public:
  static constexpr std::chrono::milliseconds answer_interval{50};  // 20 answers a second
  static constexpr int answer_burst = 40;

  // `name` is cut and cleaned as `lan_name` does; `port` is the game's UDP port.
  lan_responder(std::string_view name, std::uint16_t port);

  // Whether a guest plays with this host now.
  void busy(bool playing) { answer_.busy = playing; }

  struct verdict {
    bool ours = false;  // a probe or an answer, well formed or not: not ENet's
    bytes reply;        // to send back to its source; empty when there is none
  };
  verdict take(std::span<const std::uint8_t> datagram, common::steady_time now);

  std::uint64_t answered() const { return answered_; }
  std::uint64_t over_rate() const { return over_rate_; }  // probes left unanswered for the rate

 private:
  answer answer_;
  token_bucket bucket_{answer_interval, answer_burst};
  std::uint64_t answered_ = 0, over_rate_ = 0;
};

// ---------------------------------------------------------------------------------------------------------
// The guest's side

struct lan_host {
  std::uint32_t address = 0;  // where the answer came from, host byte order
  std::uint16_t port = 0;     // where its game listens, as it says (0 for a host of another version)
  std::string name;
  std::uint16_t version = 0;
  bool busy = false;
  friend bool operator==(const lan_host&, const lan_host&) = default;
};

// One round of probes and the answers to it, over a UDP socket of its own that may send to broadcast
// addresses. Only answers from the port probed, carrying this round's nonce, count; one host per address.
class lan_search {
 public:
  // Throws std::runtime_error when there is no socket to be had.
  lan_search(std::uint16_t port, entropy& random);
  ~lan_search();
  lan_search(const lan_search&) = delete;
  lan_search& operator=(const lan_search&) = delete;

  // One probe to `port` of each address (host byte order).
  void probe(std::span<const std::uint32_t> targets);
  // Takes the answers that arrive until `deadline` or until `most` hosts are known.
  void collect(common::steady_time deadline, std::size_t most);

  const std::vector<lan_host>& hosts() const { return hosts_; }
  const nonce_bytes& nonce() const { return nonce_; }
  std::uint16_t local_port() const { return local_port_; }
  // Datagrams read that were no answer to this round, or a second answer from a known address.
  std::uint64_t ignored() const { return ignored_; }

 private:
  void take(std::span<const std::uint8_t> datagram, const endpoint& from);

  int socket_ = -1;
  std::uint16_t port_;
  std::uint16_t local_port_ = 0;
  nonce_bytes nonce_{};
  std::vector<lan_host> hosts_;
  std::uint64_t ignored_ = 0;
};

inline constexpr std::size_t most_lan_hosts = 32;

// Probes `port` at each of `targets` and gathers the hosts that answer within `limit` (or until `most`
// answered), in the order of their answers.
std::vector<lan_host> find_hosts(std::uint16_t port, std::span<const std::uint32_t> targets,
                                 std::chrono::milliseconds limit, std::size_t most = most_lan_hosts);

// The directed broadcast address of a network (host byte order); none for a network of one or two
// addresses (a mask of /31 or /32), which has none.
std::optional<std::uint32_t> directed_broadcast(std::uint32_t address, std::uint32_t mask);
// The directed broadcast address of each network of an interface that is up and can broadcast, loopback
// aside, each once. The game adds 127.0.0.1 for a host on this computer.
std::vector<std::uint32_t> broadcast_addresses();

}  // namespace net
