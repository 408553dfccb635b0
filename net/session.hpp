// A network game's connection, apart from the wire: the join, the sealed messages with their sequence
// numbers and replay windows, the states of a host and of a guest, and what keeps strangers from wearing the
// host down or guessing its code.
//
// The join is a password-authenticated key exchange (CPace, net/pake.hpp) over the join code, in four
// datagrams (net/codec.hpp): the guest's hello with its nonce; the host's challenge with its nonce, a cookie
// and its point; the guest's proof with the cookie, its point and its confirmation; and the host's
// confirmation, once the guest's has checked out, or a refusal. Neither side learns anything about the code
// but, from each live exchange, whether the one code the other side used was the same: someone who only
// listens can test no guess, and someone who poses as host or guest gets one guess per exchange. Every game
// message after the join is sealed with ChaCha20-Poly1305 under its direction's key, its nonce made of the
// channel and its sequence number; each side keeps a window of the last 64 sequence numbers per channel and
// drops what is replayed or older. Once a side plays, it reads sealed messages only; before, it acts on a
// refusal or another version only at the step of the join where one can come.
//
// The host's doors: a few connections at once still to prove the code, one per address; a connection that
// has said no hello within 2 s is closed, and when every place is taken the oldest silent one gives way to a
// newcomer. A wrong code counts only when the proof carries the challenge's cookie back (its sender
// receives at its address): 5 from one address within a minute and the address is ignored for a minute;
// 30 in all and the host takes no more joins with this code. Strangers' datagrams cannot make the host
// forget a wrong code: those records are kept apart from the flood budgets. A playing guest may choose at
// most a few shared menu commands a second, and is let go when the data it has not acknowledged grows
// beyond a bound.
//
// Every secret (the code's digits, the exchange's scalars, the keys) is wiped when no longer needed.
//
// Thread use: all of it is plain code over an injected clock reading (`now`), source of randomness and wire;
// a session belongs to the one thread that drives it (the network thread of its role).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/seams.hpp"
#include "log/runtime_log.hpp"
#include "net/codec.hpp"
#include "net/pake.hpp"

namespace net {

// ---------------------------------------------------------------------------------------------------------
// Words of the wire

// Where a datagram comes from: an IPv4 address and a UDP port, both in host byte order.
struct endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  friend bool operator==(const endpoint&, const endpoint&) = default;
};
std::string address_text(std::uint32_t address);  // "192.0.2.5"

// Reliable and in order: the join, the board, bricks, points, the message line, events, menu commands,
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
  // Bytes sent on the connection that the other side has not acknowledged yet, queued ones included.
  virtual std::size_t unacknowledged(peer_id) const { return 0; }
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
// Randomness and the code

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

// A join code's 8 decimal digits, wiped when they go.
class join_code {
 public:
  static constexpr std::size_t digits = 8;
  join_code() = default;
  // The digits of `text` (which must be 8 digits); `text` itself is the caller's to wipe.
  explicit join_code(std::string_view text);
  join_code(const join_code& other) : digits_(other.digits_) {}
  join_code& operator=(const join_code& other) {
    digits_ = other.digits_;
    return *this;
  }
  ~join_code() { wipe(); }
  std::string_view view() const { return {digits_.data(), digits_.size()}; }
  void wipe();

 private:
  std::array<char, digits> digits_{};
};

// Each of the 10^8 codes equally likely.
join_code draw_join_code(entropy& source);
// How a player reads and says it: "1234-5678".
std::string shown_code(std::string_view digits);
// Wipes bytes that held the code (a string's characters: the string stays as long).
void wipe(std::span<char> text);
inline void wipe(std::string& text) {
  wipe(std::span<char>(text.data(), text.size()));
}

// ---------------------------------------------------------------------------------------------------------
// Sealed messages

// Why a datagram was dropped unread or unacted on.
enum class drop_reason : std::uint8_t {
  unauthenticated,  // its tag (or a proof's cookie) does not check out
  replayed,         // its sequence number was taken already
  outside_window,   // its sequence number is older than the window
  oversized,
  truncated,
  malformed,
  out_of_turn,  // well formed, but not what this side takes at this point
  flooding,     // its address sends more than an address may
  blocked,      // its address gave too many wrong codes lately
  too_often,    // a playing guest's menu commands beyond their rate
};
inline constexpr std::size_t drop_reasons = 10;

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
  explicit sealed_link(const confirmed_keys& keys) : keys_(keys) {}

  // The next envelope on the channel. Empty once its sequence numbers have run out (some four thousand
  // million messages), which ends the session rather than ever using a nonce twice.
  bytes seal(channel ch, std::span<const std::uint8_t> plaintext);
  template <class Message>
  requires(!std::is_convertible_v<const Message&, std::span<const std::uint8_t>>) bytes
      seal(channel ch, const Message& message) {
    return seal(ch, std::span<const std::uint8_t>(encode(message)));
  }

  template <class Message>
  struct opened {
    std::optional<Message> message;
    drop_reason dropped = drop_reason::malformed;  // when there is no message
  };
  // What the other side sent, as a message of the kind it may send.
  template <class Message>
  opened<Message> open(channel ch, const sealed& envelope) {
    const std::optional<std::span<const std::uint8_t>> plain = decrypt(ch, envelope);
    if (!plain) return {std::nullopt, last_drop_};
    const decoded<Message> m = decode_as<Message>(*plain);
    if (!m.ok()) return {std::nullopt, reason_of(m.why())};
    return {m.value(), drop_reason::malformed};
  }

  static drop_reason reason_of(fault f);

 private:
  // The plaintext (in a buffer of the link's, valid until the next call), its sequence number spent; none
  // when the envelope is replayed, too old or forged (`last_drop_` says which).
  std::optional<std::span<const std::uint8_t>> decrypt(channel ch, const sealed& envelope);

  confirmed_keys keys_;
  std::array<std::uint32_t, channel_count> next_{1, 1};
  std::array<replay_window, channel_count> windows_{};
  std::array<std::uint8_t, max_message> plain_{};
  drop_reason last_drop_ = drop_reason::malformed;
};

// ---------------------------------------------------------------------------------------------------------
// Keeping strangers at bay

// Allows events at a steady rate with room for a burst: one token every `interval`, at most `burst` kept.
// It starts full.
class token_bucket {
 public:
  token_bucket(std::chrono::nanoseconds interval, int burst);
  // True, and one token fewer, when one is there at `now`. A clock that goes back refills nothing.
  bool take(common::steady_time now);

 private:
  std::chrono::nanoseconds interval_;
  std::chrono::nanoseconds full_;
  std::chrono::nanoseconds credit_;  // tokens as the time they took to come
  std::optional<common::steady_time> last_;
};

// What was dropped or refused, counted by reason, told to the log at most once a second.
template <class Reason, std::size_t Count>
class tally {
 public:
  explicit tally(const std::array<std::string_view, Count>& names) : names_(names) {}
  void note(Reason why, std::uint64_t count = 1) { total_[static_cast<std::size_t>(why)] += count; }
  std::uint64_t total(Reason why) const { return total_[static_cast<std::size_t>(why)]; }
  // What was noted since the last report, once a second has passed since it: the count, and each reason's
  // name and count. None when nothing was noted, or it is too soon.
  std::optional<std::pair<std::uint64_t, std::string>> fresh(common::steady_time now);

 private:
  std::array<std::string_view, Count> names_;
  std::array<std::uint64_t, Count> total_{};
  std::array<std::uint64_t, Count> reported_{};
  std::optional<common::steady_time> last_report_;
};

// Dropped datagrams.
class drop_tally {
 public:
  drop_tally();
  void note(drop_reason why, std::uint64_t count = 1) { counts_.note(why, count); }
  std::uint64_t total(drop_reason why) const { return counts_.total(why); }
  // The log line for what was dropped since the last line, once a second has passed since it.
  std::optional<std::string> report(common::steady_time now);

 private:
  tally<drop_reason, drop_reasons> counts_;
};

// Guests refused.
inline constexpr std::size_t refusal_reasons = 5;
class refusal_tally {
 public:
  refusal_tally();
  // `detail` follows the reason in a line of one refusal.
  void note(refusal_reason why, std::uint32_t address, std::string detail = {});
  std::uint64_t total(refusal_reason why) const { return counts_.total(why); }
  // One refusal since the last line: "Odrzucono goscia z adresu 127.0.0.1: zly kod dolaczenia"; more: their
  // count by reason. At most once a second.
  std::optional<std::string> report(common::steady_time now);

 private:
  tally<refusal_reason, refusal_reasons + 1> counts_;  // by the reason's number, 1..5
  refusal_reason last_reason_ = refusal_reason::wrong_code;
  std::uint32_t last_address_ = 0;
  std::string last_detail_;
};
std::string_view refusal_text(refusal_reason why);

// What the gatekeeper keeps of an address: its datagram budget, and (apart) the wrong codes proven to come
// from it, never pushed out.
// Datagrams an address may send in the long run (one each interval: 400 a second), and in one burst: far
// beyond what a joining guest sends (a guest already playing is not counted).
inline constexpr std::chrono::microseconds datagram_interval{2500};
inline constexpr int datagram_burst = 800;
struct gate_budget {
  std::uint32_t address = 0;
  common::steady_time heard{};
  token_bucket tokens{datagram_interval, datagram_burst};
};
struct gate_wrong_record {
  static constexpr int kept = 5;
  std::uint32_t address = 0;
  std::array<common::steady_time, kept> times{};  // the latest wrong codes, oldest first
  int count = 0;
  common::steady_time blocked_until{};
};

// Per address: how many datagrams it may send (a budget refilled over time), and, apart from that, the wrong
// codes proven to come from it. An address that gives 5 wrong codes within a minute is ignored for a minute;
// after 30 wrong codes in all, from any addresses, the code is closed: no more joins with it.
class gatekeeper {
 public:
  static constexpr std::size_t budgets = 64;  // addresses whose budget is kept; the least recent gives way
  static constexpr int wrong_codes = 5;
  static constexpr std::chrono::seconds wrong_code_span{60};
  static constexpr std::chrono::seconds block_span{60};
  static constexpr int wrong_codes_in_all = 30;
  static constexpr int burst = datagram_burst;
  static_assert(gate_wrong_record::kept == wrong_codes);

  enum class verdict : std::uint8_t { counted, blocked, closed };

  // Whether a datagram from `from` may be read: nothing is checked for the playing guest; other addresses
  // are dropped while blocked or beyond their budget.
  std::optional<drop_reason> refuses(const endpoint& from, common::steady_time now);
  // The playing guest, or none.
  void trust(std::optional<endpoint> guest) { trusted_ = guest; }
  // A wrong code from the address, whose proof carried the cookie back: what it came to.
  verdict wrong_code(std::uint32_t address, common::steady_time now);
  bool blocked(std::uint32_t address, common::steady_time now) const;
  // Too many wrong codes: no more joins with this code.
  bool closed() const { return total_wrong_ >= wrong_codes_in_all; }
  int total_wrong() const { return total_wrong_; }

 private:
  using budget = gate_budget;
  using wrong_record = gate_wrong_record;
  budget& budget_of(std::uint32_t address, common::steady_time now);
  const wrong_record* record_of(std::uint32_t address) const;

  std::array<std::optional<budget>, budgets> budgets_{};
  // Every wrong code makes at most one record, and the code closes at `wrong_codes_in_all`: never full.
  std::array<std::optional<wrong_record>, wrong_codes_in_all> records_{};
  int total_wrong_ = 0;
  std::optional<endpoint> trusted_;
};

// ---------------------------------------------------------------------------------------------------------
// The host

inline constexpr std::chrono::seconds silence_limit{3};  // nothing heard this long: the other side is lost
inline constexpr std::chrono::seconds hello_limit{2};    // from a connection to its hello
inline constexpr std::chrono::seconds join_limit{10};    // from a connection to a proven code
// From a guest's attempt to the host's challenge. Beyond it the host has let the connection go (its hello or
// the handshake lost on a bad line, the host forgets a silent connection after `hello_limit`): the guest
// tries a fresh connection, at most `join_attempts` in all, which spends no guess of the code.
inline constexpr std::chrono::seconds challenge_wait{4};
inline constexpr int join_attempts = 3;
// A challenged connection that has not answered this long may give way to a newcomer.
inline constexpr std::chrono::seconds answer_wait{1};
// A guest may choose this many shared menu commands at once, then one every `menu_interval`.
inline constexpr std::chrono::milliseconds menu_interval{250};
inline constexpr int menu_burst = 4;
// Data the host has sent its guest that may wait unacknowledged, before the guest is let go.
inline constexpr std::size_t most_unacknowledged = 256 * 1024;

class host_session {
 public:
  static constexpr std::size_t candidates = 4;  // connections still to prove the code, one per address

  enum class happening : std::uint8_t { none, joined, left, lost, closed };
  struct outcome {
    happening what = happening::none;
    std::optional<guest_message> message;  // from the playing guest, to be acted on
  };

  // `code` is copied; the caller wipes its own.
  host_session(const join_code& code, entropy& random, wire& out, runtime_log::sink& log);
  ~host_session();
  host_session(const host_session&) = delete;
  host_session& operator=(const host_session&) = delete;

  // The transport's news, in order.
  void connected(peer_id peer, const endpoint& from, common::steady_time now);
  outcome received(peer_id peer, channel ch, std::span<const std::uint8_t> datagram, common::steady_time now);
  happening disconnected(peer_id peer, common::steady_time now);
  // Join deadlines, the guest's silence and its unacknowledged data.
  happening tick(common::steady_time now);

  // To the playing guest, if there is one.
  void send(channel ch, const host_message& message);
  // The game ends here: the guest is told and let go.
  void say_goodbye();

  bool has_guest() const { return guest_ != nullptr; }
  std::optional<endpoint> guest_endpoint() const;
  // The playing guest's round trip as the wire measures it; 0 without a guest.
  std::chrono::milliseconds round_trip() const;
  // Too many wrong codes: no more joins with this code.
  bool closed() const { return gate_.closed(); }
  drop_tally& drops() { return drops_; }
  refusal_tally& refusals() { return refusals_; }
  gatekeeper& gate() { return gate_; }

 private:
  struct candidate;
  struct playing;

  candidate* candidate_of(peer_id peer);
  void forget(peer_id peer, bool at_once);
  void refuse(candidate& c, refusal_reason reason, std::string detail = {});
  void take_hello(candidate& c, const hello& h, common::steady_time now);
  happening take_proof(candidate& c, const proof& p, common::steady_time now);
  happening end_guest(happening how);

  join_code code_;
  entropy& random_;
  wire& out_;
  runtime_log::sink& log_;
  std::array<std::unique_ptr<candidate>, candidates> candidates_;
  std::unique_ptr<playing> guest_;
  drop_tally drops_;
  refusal_tally refusals_;
  gatekeeper gate_;
};

// ---------------------------------------------------------------------------------------------------------
// The guest

class guest_session {
 public:
  enum class state : std::uint8_t { connecting, greeted, proved, confirmed, playing, ended };
  enum class ending : std::uint8_t {
    none,
    goodbye,      // the host ended the game
    lost,         // nothing heard from the host for 3 s, or its connection went without a goodbye
    wrong_code,   // the host refused the code
    busy,         // the host plays with another guest already
    version,      // the host plays another version
    unreachable,  // no host answered in time, or it broke the exchange off
    left,         // this side ended the game
    closed,       // the host takes no more joins with its code
    impostor,     // the other side does not know the code, yet answered as a host
  };
  struct outcome {
    ending end = ending::none;
    std::optional<host_message> message;  // from the host, to be shown
  };

  // `code` is copied and wiped once the join no longer needs it; the caller wipes its own.
  guest_session(const join_code& code, entropy& random, wire& out, common::steady_time now);
  ~guest_session();
  guest_session(const guest_session&) = delete;
  guest_session& operator=(const guest_session&) = delete;

  // The connection to the host is up: the hello goes out.
  void connected(common::steady_time now);
  outcome received(channel ch, std::span<const std::uint8_t> datagram, common::steady_time now);
  ending disconnected(common::steady_time now);
  ending tick(common::steady_time now);

  // To the host, once playing.
  void send(channel ch, const guest_message& message);
  void say_goodbye();

  state current() const { return state_; }
  ending end() const { return end_; }
  // The host never challenged this attempt, so a fresh one costs no guess and may find it.
  bool may_try_again() const { return end_ == ending::unreachable && !challenged_; }
  // The version of a host that plays another one.
  std::uint16_t host_version() const { return host_version_; }
  drop_tally& drops() { return drops_; }

 private:
  ending finish(ending why);
  outcome refused(const refusal& no);
  void take_challenge(const challenge& c);

  join_code code_;
  entropy& random_;
  wire& out_;
  state state_ = state::connecting;
  ending end_ = ending::none;
  nonce_bytes nonce_{};
  std::unique_ptr<cpace_party> party_;
  std::optional<sealed_link> link_;
  common::steady_time deadline_;
  common::steady_time challenge_due_;
  bool challenged_ = false;
  common::steady_time heard_{};
  std::uint16_t host_version_ = 0;
  drop_tally drops_;
};

// The guest's line for its ending, for the log and the window (Windows-1250).
std::string ending_text(guest_session::ending why, std::uint16_t host_version = 0);

}  // namespace net
