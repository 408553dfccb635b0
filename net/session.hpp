// A network game's connection, apart from the wire: the join exchange, the keys, the sealed messages with
// their sequence numbers and replay windows, the states of a host and of a guest, and what keeps strangers
// from wearing the host down (wrong codes, floods).
//
// The join exchange, in four datagrams:
//   guest -> host  hello      version, guest's ephemeral X25519 public key
//   host -> guest  challenge  version, the salt of the code's key, host's ephemeral X25519 public key
//   guest -> host  proof      a MAC of the exchange under a key made from the code and the key exchange
//   host -> guest  welcome    the first sealed message; or a refusal in the clear
// The code's key is Argon2id of the 8 digits with the host's salt (a memory-hard derivation): the host makes
// it once at start, with a salt of its own, and never again per guest; the guest makes it once per join.
// Both mix it with the X25519 exchange of fresh keys into one key per direction and a proof key
// (BLAKE2b keyed with the code's key over the exchange). Someone who only listens cannot even test a guess
// without one side's secret; someone who plays host to a guest gets one proof, and then pays one Argon2id
// per code guessed. Every message after the join is sealed with ChaCha20-Poly1305 under its direction's key,
// its nonce made of the channel and its sequence number; each side keeps a window of the last 64 sequence
// numbers per channel and drops what is replayed or older.
//
// Thread use: all of it is plain code over an injected clock reading (`now`), source of randomness and wire;
// a session belongs to the one thread that drives it (the network thread of its role).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "net/codec.hpp"

namespace net {

// ---------------------------------------------------------------------------------------------------------
// Words of the wire

// Where a datagram comes from: an IPv4 address and a UDP port, both in host byte order.
struct endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  friend bool operator==(const endpoint&, const endpoint&) = default;
};
std::string address_text(std::uint32_t address);  // "192.168.1.5"

// Reliable and in order: the join, the board, bricks, points, the message line, events, menu entries,
// goodbye. Unreliable and sequenced (a late one is dropped): snapshots and the guest's steering.
enum class channel : std::uint8_t { reliable = 0, moving = 1 };
inline constexpr std::size_t channel_count = 2;

using peer_id = std::uint32_t;
// A guest's one connection, to its host.
inline constexpr peer_id host_peer = 1;

// What a session asks of the transport.
class wire {
 public:
  virtual ~wire() = default;
  virtual void send(peer_id peer, channel ch, std::span<const std::uint8_t> datagram) = 0;
  // Ends a connection: `at_once` drops it without a word; otherwise what was sent is delivered first.
  virtual void disconnect(peer_id peer, bool at_once) = 0;
  // The connection's round trip as the transport measures it; 0 where it cannot tell.
  virtual std::chrono::milliseconds round_trip(peer_id) const { return std::chrono::milliseconds(0); }
};

// What the transport tells of its connections, in order.
struct wire_event {
  enum class kind : std::uint8_t { connected, received, disconnected };
  kind what = kind::received;
  peer_id peer = 0;
  endpoint from;
  channel ch = channel::reliable;
  std::span<const std::uint8_t> data;  // valid until the transport is asked for its next event
};

// ---------------------------------------------------------------------------------------------------------
// Randomness and keys

class entropy {
 public:
  virtual ~entropy() = default;
  virtual void fill(std::span<std::uint8_t> out) = 0;
};
// The operating system's secure source (libsodium's randombytes).
class system_entropy final : public entropy {
 public:
  void fill(std::span<std::uint8_t> out) override;
};

// A join code: 8 decimal digits, each of the 10^8 codes equally likely.
std::string draw_join_code(entropy& source);
// How a player reads and says it: "1234-5678".
std::string shown_code(std::string_view digits);

// The cost of the memory-hard derivation of the code's key (Argon2id): passes and bytes of memory.
struct pwhash_cost {
  std::uint64_t passes;
  std::size_t memory;
};
// libsodium's interactive setting: 2 passes over 64 MiB, some tenths of a second.
inline constexpr pwhash_cost interactive_cost{2, std::size_t{64} << 20};

key_bytes derive_code_key(std::string_view code, const salt_bytes& salt, pwhash_cost cost);

struct session_keys {
  key_bytes send{};
  key_bytes receive{};
};

// ---------------------------------------------------------------------------------------------------------
// Sealed messages

// Why a datagram was dropped unread or unacted on.
enum class drop_reason : std::uint8_t {
  unauthenticated,  // its tag does not check out under the session's key
  replayed,         // its sequence number was taken already
  outside_window,   // its sequence number is older than the window
  oversized,
  truncated,
  malformed,
  out_of_turn,  // well formed, but not what this side takes at this point
  flooding,     // its address sends more than an address may
  blocked,      // its address gave too many wrong codes lately
};
inline constexpr std::size_t drop_reasons = 9;

// The sequence numbers taken on one channel: the highest, and which of the 63 before it.
class replay_window {
 public:
  enum class verdict : std::uint8_t { fresh, replayed, too_old };
  static constexpr std::uint32_t width = 64;

  verdict check(std::uint32_t sequence) const;
  // Only for a sequence number that was fresh and whose message has been authenticated.
  void take(std::uint32_t sequence);

 private:
  std::uint32_t highest_ = 0;  // 0: nothing taken; sequence numbers start at 1
  std::uint64_t seen_ = 0;     // bit i: highest - i was taken
};

class sealed_link {
 public:
  explicit sealed_link(const session_keys& keys) : keys_(keys) {}

  // The next envelope on the channel. Empty once its sequence numbers have run out (some four thousand
  // million messages), which ends the session rather than ever using a nonce twice.
  bytes seal(channel ch, std::span<const std::uint8_t> plaintext);
  bytes seal(channel ch, const game_message& message) { return seal(ch, encode(message)); }

  struct opened {
    std::optional<game_message> message;
    drop_reason dropped = drop_reason::malformed;  // when there is no message
  };
  opened open(channel ch, const sealed& envelope);

 private:
  session_keys keys_;
  std::array<std::uint32_t, channel_count> next_{1, 1};
  std::array<replay_window, channel_count> windows_{};
};

// ---------------------------------------------------------------------------------------------------------
// Keeping strangers at bay

// Dropped traffic, counted by reason, told to the log at most once a second.
class drop_tally {
 public:
  void note(drop_reason why, std::uint64_t count = 1);
  // The log line for what was dropped since the last line, once a second has passed since it; nothing
  // when nothing was dropped.
  std::optional<std::string> report(common::steady_time now);
  std::uint64_t total(drop_reason why) const { return total_[static_cast<std::size_t>(why)]; }

 private:
  std::array<std::uint64_t, drop_reasons> total_{};
  std::array<std::uint64_t, drop_reasons> reported_{};
  std::optional<common::steady_time> last_report_;
};

// Per address: how many datagrams it may send (a budget refilled over time), and its wrong codes. An
// address that gives 5 wrong codes within a minute is ignored for a minute. The table is bounded: a new
// address takes the place of the one heard from longest ago, a blocked one last.
class gatekeeper {
 public:
  static constexpr std::size_t addresses = 64;
  static constexpr int wrong_codes = 5;
  static constexpr std::chrono::seconds wrong_code_span{60};
  static constexpr std::chrono::seconds block_span{60};
  // Datagrams a second an address may send in the long run, and in one burst: far beyond what a joining
  // guest sends (a guest already playing is not counted).
  static constexpr double datagrams_a_second = 400.0;
  static constexpr double burst = 800.0;

  // Whether a datagram from `from` may be read: nothing else is checked for the playing guest; other
  // addresses are dropped while blocked or beyond their budget.
  std::optional<drop_reason> refuses(const endpoint& from, common::steady_time now);
  // The playing guest, or none.
  void trust(std::optional<endpoint> guest) { trusted_ = guest; }
  // A wrong code from the address; true when this one blocks it.
  bool wrong_code(std::uint32_t address, common::steady_time now);
  bool blocked(std::uint32_t address, common::steady_time now) const;

 private:
  struct record {
    std::uint32_t address = 0;
    bool used = false;
    double budget = burst;
    common::steady_time refilled{};
    common::steady_time heard{};
    std::array<common::steady_time, wrong_codes> wrong{};  // the latest wrong codes, oldest first
    int wrong_count = 0;
    common::steady_time blocked_until{};
  };
  record& find(std::uint32_t address, common::steady_time now);
  const record* lookup(std::uint32_t address) const;

  std::array<record, addresses> table_{};
  std::optional<endpoint> trusted_;
};

// ---------------------------------------------------------------------------------------------------------
// The host

inline constexpr std::chrono::seconds silence_limit{3};  // nothing heard this long: the other side is lost
inline constexpr std::chrono::seconds join_limit{10};    // from a connection to a proven code

struct host_config {
  key_bytes code_key{};
  salt_bytes salt{};
};

class host_session {
 public:
  static constexpr std::size_t candidates = 4;  // connections still to prove the code

  enum class happening : std::uint8_t { none, joined, left, lost };
  struct outcome {
    happening what = happening::none;
    std::optional<game_message> message;  // from the playing guest, to be acted on
  };

  host_session(const host_config& config, entropy& random, wire& out, runtime_log::sink& log);

  // The transport's news, in order.
  void connected(peer_id peer, const endpoint& from, common::steady_time now);
  outcome received(peer_id peer, channel ch, std::span<const std::uint8_t> datagram, common::steady_time now);
  happening disconnected(peer_id peer, common::steady_time now);
  // Join deadlines and the guest's silence.
  happening tick(common::steady_time now);

  // To the playing guest, if there is one.
  void send(channel ch, const game_message& message);
  // The game ends here: the guest is told and let go.
  void say_goodbye();

  bool has_guest() const { return guest_.has_value(); }
  std::optional<endpoint> guest_endpoint() const;
  drop_tally& drops() { return drops_; }
  gatekeeper& gate() { return gate_; }

 private:
  struct candidate {
    peer_id peer = 0;
    endpoint from;
    bool challenged = false;
    std::array<std::uint8_t, 32> secret{};  // the host's ephemeral X25519 secret key for this guest
    key_bytes host_key{};
    key_bytes guest_key{};
    common::steady_time deadline{};
  };
  struct playing {
    peer_id peer = 0;
    endpoint from;
    sealed_link link;
    common::steady_time heard{};
  };

  candidate* candidate_of(peer_id peer);
  void forget(peer_id peer, bool at_once);
  void refuse(candidate& c, refusal_reason reason, std::string_view why);
  void take_hello(candidate& c, const datagram& d);
  happening take_proof(candidate& c, const proof& p, common::steady_time now);
  happening end_guest(happening how);

  host_config config_;
  entropy& random_;
  wire& out_;
  runtime_log::sink& log_;
  std::array<std::optional<candidate>, candidates> candidates_{};
  std::optional<playing> guest_;
  drop_tally drops_;
  gatekeeper gate_;
};

// ---------------------------------------------------------------------------------------------------------
// The guest

struct guest_config {
  std::string code;  // the 8 digits
  pwhash_cost cost = interactive_cost;
};

class guest_session {
 public:
  enum class state : std::uint8_t { connecting, greeted, proved, playing, ended };
  enum class ending : std::uint8_t {
    none,
    goodbye,      // the host ended the game
    lost,         // nothing heard from the host for 3 s, or its connection went without a goodbye
    wrong_code,   // the host refused the code
    busy,         // the host plays with another guest already
    version,      // the host plays another version
    unreachable,  // no host answered in time, or it broke the exchange off
    left,         // this side ended the game
  };
  struct outcome {
    ending end = ending::none;
    std::optional<game_message> message;  // from the host, to be shown
  };

  guest_session(guest_config config, entropy& random, wire& out, common::steady_time now);

  // The connection to the host is up: the hello goes out.
  void connected(common::steady_time now);
  outcome received(channel ch, std::span<const std::uint8_t> datagram, common::steady_time now);
  ending disconnected(common::steady_time now);
  ending tick(common::steady_time now);

  // To the host, once playing.
  void send(channel ch, const game_message& message);
  void say_goodbye();

  state current() const { return state_; }
  ending end() const { return end_; }
  // The version of a host that plays another one.
  std::uint16_t host_version() const { return host_version_; }
  drop_tally& drops() { return drops_; }

 private:
  ending finish(ending why);

  guest_config config_;
  entropy& random_;
  wire& out_;
  state state_ = state::connecting;
  ending end_ = ending::none;
  std::array<std::uint8_t, 32> secret_{};
  key_bytes guest_key_{};
  std::optional<sealed_link> link_;
  common::steady_time deadline_;
  common::steady_time heard_{};
  std::uint16_t host_version_ = 0;
  drop_tally drops_;
};

// The guest's line for its ending, for the log and the window (Windows-1250).
std::string ending_text(guest_session::ending why, std::uint16_t host_version = 0);

}  // namespace net
