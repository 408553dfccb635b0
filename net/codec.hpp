// The network game's messages, each defined once: its type number, who may send it and its fields, in its
// `definition`. The encoder, the decoder's dispatch and the check of who sent what all come from those
// definitions: a side decodes only what the other side may send, so a message it does not take is refused
// (malformed) by default, and its handlers visit a variant of exactly those messages, so that a message
// added without a handler does not build.
//
// Two layers. A datagram (one ENet packet) is either a step of the join, in the clear (hello, challenge,
// proof, confirmation, refusal), or a sealed envelope: a sequence number and an encrypted, authenticated
// game message (net/session.hpp seals and opens them). A game message is what the host tells the guest (the
// whole board, a snapshot of what moves, a brick, the points, the message line, a sound event, goodbye) or
// what the guest tells the host (its steering keys, a menu command, goodbye).
//
// The first datagram of each side (hello, challenge) and a refusal carry the magic word and the protocol
// version right after their type, in every version, so that peers of different versions can tell each other
// so whatever else changes. Every field is checked as it is read (net/byte_io.hpp): a float finite and
// within the board's reach, a colour within 0..1, an enumeration one of its literals; a decoded message is a
// fixed-size value.
//
// Adding a message: its struct and its `definition` here, its place in `game_messages` or `join_datagrams`,
// and its handler on the receiving side.
//
// Thread use: plain functions, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"
#include "common/menu_command.hpp"
#include "net/byte_io.hpp"
#include "sound/game_events.hpp"

namespace net {

// Peers play together only with the same version; each says its version in its first datagram.
inline constexpr std::uint16_t protocol_version = 2;

// The longest game message, and the longest datagram: a sealed envelope around the longest message.
inline constexpr std::size_t max_message = 8192;
inline constexpr std::size_t seal_overhead = 1 + 4 + 16;  // type, sequence number, authentication tag
inline constexpr std::size_t max_datagram = max_message + seal_overhead;

using key_bytes = std::array<std::uint8_t, 32>;
using nonce_bytes = std::array<std::uint8_t, 16>;
using cookie_bytes = std::array<std::uint8_t, 16>;
using point_bytes = std::array<std::uint8_t, 32>;
using tag_bytes = std::array<std::uint8_t, 32>;

// Who may send a message.
enum class senders : std::uint8_t { host = 1, guest = 2, both = 3 };
constexpr bool includes(senders s, senders one) {
  return (static_cast<std::uint8_t>(s) & static_cast<std::uint8_t>(one)) != 0;
}

// A message's type number, senders and fields: specialised once for each message, right after it.
template <class M>
struct definition;

// ---------------------------------------------------------------------------------------------------------
// The join, in the clear:
//   guest -> host  hello         version, the guest's fresh nonce
//   host -> guest  challenge     version, the host's fresh nonce, a cookie, the host's point
//   guest -> host  proof         the cookie again, the guest's point, the guest's confirmation
//   host -> guest  confirmation  the host's confirmation, then sealed messages; or a refusal

struct hello {
  std::uint16_t version = protocol_version;
  nonce_bytes nonce{};
  friend bool operator==(const hello&, const hello&) = default;
};
template <>
struct definition<hello> {
  static constexpr std::uint8_t type = 1;
  static constexpr senders by = senders::guest;
  static constexpr bool versioned = true;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.raw(m.nonce);
  }
};

struct challenge {
  std::uint16_t version = protocol_version;
  nonce_bytes nonce{};
  cookie_bytes cookie{};  // the proof must carry it back: its sender receives at its address
  point_bytes point{};
  friend bool operator==(const challenge&, const challenge&) = default;
};
template <>
struct definition<challenge> {
  static constexpr std::uint8_t type = 2;
  static constexpr senders by = senders::host;
  static constexpr bool versioned = true;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.raw(m.nonce);
    io.raw(m.cookie);
    io.raw(m.point);
  }
};

struct proof {
  cookie_bytes cookie{};
  point_bytes point{};
  tag_bytes confirmation{};
  friend bool operator==(const proof&, const proof&) = default;
};
template <>
struct definition<proof> {
  static constexpr std::uint8_t type = 3;
  static constexpr senders by = senders::guest;
  static constexpr bool versioned = false;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.raw(m.cookie);
    io.raw(m.point);
    io.raw(m.confirmation);
  }
};

struct confirmation {
  tag_bytes tag{};
  friend bool operator==(const confirmation&, const confirmation&) = default;
};
template <>
struct definition<confirmation> {
  static constexpr std::uint8_t type = 8;  // 6 and 7: net/discovery's probe and answer
  static constexpr senders by = senders::host;
  static constexpr bool versioned = false;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.raw(m.tag);
  }
};

enum class refusal_reason : std::uint8_t {
  wrong_code = 1,
  busy = 2,
  version = 3,
  too_slow = 4,
  closed = 5,  // too many wrong codes: the host takes no more joins with this code
};
struct refusal {
  std::uint16_t version = protocol_version;
  refusal_reason reason = refusal_reason::wrong_code;
  friend bool operator==(const refusal&, const refusal&) = default;
};
template <>
struct definition<refusal> {
  static constexpr std::uint8_t type = 4;
  static constexpr senders by = senders::host;
  static constexpr bool versioned = true;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.enumerated(m.reason, refusal_reason::closed, refusal_reason::wrong_code);
  }
};

struct sealed {  // a game message, encrypted; `body` points into the decoded datagram
  std::uint32_t sequence = 0;
  std::span<const std::uint8_t> body;  // ciphertext and tag
};
template <>
struct definition<sealed> {
  static constexpr std::uint8_t type = 5;
  static constexpr senders by = senders::both;
  static constexpr bool versioned = false;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.u32(m.sequence);
    io.rest(m.body, 16);  // at least the authentication tag
  }
};

// A hello, challenge or refusal of another version: only its type and version are read.
struct foreign {
  std::uint8_t type = 0;
  std::uint16_t version = 0;
  friend bool operator==(const foreign&, const foreign&) = default;
};

// ---------------------------------------------------------------------------------------------------------
// Game messages, inside sealed envelopes

inline constexpr std::uint32_t no_game_time = 0xFFFFFFFF;  // before the host's first game
inline constexpr std::size_t recent_bricks = 8;            // brick changes repeated in each snapshot
inline constexpr std::size_t max_info = 200;               // bytes of the message line

struct welcome {  // the first sealed message of a join
  friend bool operator==(const welcome&, const welcome&) = default;
};
template <>
struct definition<welcome> {
  static constexpr std::uint8_t type = 16;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io&, M&) {}
};

struct whole_board {                       // reliable: at the join and at every new game
  std::uint32_t change = 0;                // the brick changes it includes
  std::uint32_t game_time = no_game_time;  // milliseconds since the game began
  bool running = false;
  common::pad_type pad1, pad2;
  common::ball_type ball;
  std::int32_t points1 = 0, points2 = 0;
  board::brick_matrix bricks{};
  friend bool operator==(const whole_board&, const whole_board&) = default;
};
template <>
struct definition<whole_board> {
  static constexpr std::uint8_t type = 17;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.u32(m.change);
    io.u32(m.game_time);
    io.flag(m.running);
    io.pad(m.pad1);
    io.pad(m.pad2);
    io.color(m.ball.color);
    io.vec(m.ball.pos);
    io.vec(m.ball.vel);
    io.enumerated(m.ball.owner, common::ball_owner::NONE);
    io.i32(m.points1);
    io.i32(m.points2);
    for (auto& b : m.bricks.cells) io.brick(b);
  }
};

struct brick_change {
  std::uint32_t change = 0;  // the host counts every change of a brick, from 1
  std::uint16_t cell = 0;    // (row - 1) * 20 + (column - 1)
  common::brick brick;
  friend bool operator==(const brick_change&, const brick_change&) = default;
};
template <>
struct definition<brick_change> {
  static constexpr std::uint8_t type = 19;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.u32(m.change);
    io.cell(m.cell);
    io.brick(m.brick);
  }
};

struct snapshot {  // unreliable, many times a second: what moves
  std::uint32_t game_time = no_game_time;
  std::uint8_t jumps = 0;  // counts the times the ball was put somewhere rather than moved (serves)
  bool running = false;
  bool ball_still = false;  // the ball stands although the game runs (the pause after a lost ball)
  common::vector ball_pos, ball_vel;
  common::ball_owner owner = common::ball_owner::NONE;
  float pad1_x = 0.0f, pad2_x = 0.0f;
  std::int32_t points1 = 0, points2 = 0;
  std::uint32_t ticks = 0;   // the host's physics ticks so far (modulo 2^32): the pace of its ball
  std::uint32_t change = 0;  // the host's last brick change
  // The last changes up to `change`, oldest first, so that a lost reliable one is not waited for.
  std::uint8_t recent_count = 0;
  std::array<brick_change, recent_bricks> recent{};
  friend bool operator==(const snapshot&, const snapshot&) = default;
};
template <>
struct definition<snapshot> {
  static constexpr std::uint8_t type = 18;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.u32(m.game_time);
    io.u8(m.jumps);
    io.flags(m.running, m.ball_still);
    io.vec(m.ball_pos);
    io.vec(m.ball_vel);
    io.enumerated(m.owner, common::ball_owner::NONE);
    io.f32(m.pad1_x);
    io.f32(m.pad2_x);
    io.i32(m.points1);
    io.i32(m.points2);
    io.u32(m.ticks);
    io.u32(m.change);
    io.u8(m.recent_count);
    // The changes listed end at `change`: there cannot be more of them than changes so far.
    io.check(m.recent_count <= recent_bricks && m.recent_count <= m.change);
    for (std::size_t i = 0; i < m.recent_count && i < recent_bricks; ++i) {
      if constexpr (Io::reading)
        m.recent[i].change = m.change - m.recent_count + 1 + static_cast<std::uint32_t>(i);
      io.cell(m.recent[i].cell);
      io.brick(m.recent[i].brick);
    }
  }
};

struct points {
  std::int32_t points1 = 0, points2 = 0;
  friend bool operator==(const points&, const points&) = default;
};
template <>
struct definition<points> {
  static constexpr std::uint8_t type = 20;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.i32(m.points1);
    io.i32(m.points2);
  }
};

struct info {  // the host's message line, Windows-1250 bytes
  std::uint8_t length = 0;
  std::array<char, max_info> text{};
  std::string_view view() const { return {text.data(), length}; }
  friend bool operator==(const info&, const info&) = default;
};
template <>
struct definition<info> {
  static constexpr std::uint8_t type = 21;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.counted(m.length, m.text);
  }
};

template <>
struct definition<sound::game_event> {
  static constexpr std::uint8_t type = 22;
  static constexpr senders by = senders::host;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.enumerated(m.kind, static_cast<sound::event_kind>(sound::event_kinds - 1));
    io.enumerated(m.player, common::ball_owner::NONE);
    io.i32(m.points);
    io.vec(m.where);
  }
};

struct goodbye {  // the game ends on the sender's side
  friend bool operator==(const goodbye&, const goodbye&) = default;
};
template <>
struct definition<goodbye> {
  static constexpr std::uint8_t type = 23;
  static constexpr senders by = senders::both;
  template <class Io, class M>
  static void fields(Io&, M&) {}
};

inline constexpr std::uint32_t no_board = 0xFFFFFFFF;  // before the guest's first whole board

struct steering {  // which of the guest's green keys are held, and where its green pad stands on its screen
  bool left = false, right = false;
  float pad_x = 0.0f;              // the pad's centre across the board
  std::uint32_t board = no_board;  // the change of the whole board whose game the position is in
  friend bool operator==(const steering&, const steering&) = default;
};
template <>
struct definition<steering> {
  static constexpr std::uint8_t type = 32;
  static constexpr senders by = senders::guest;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    io.flags(m.left, m.right);
    io.f32(m.pad_x, 0.0f, static_cast<float>(common::rozmiar_planszy));
    io.u32(m.board);
  }
};

struct menu_choice {  // a menu command that acts on the shared game
  common::menu_command command = common::menu_command::pause;
  friend bool operator==(const menu_choice&, const menu_choice&) = default;
};
template <>
struct definition<menu_choice> {
  static constexpr std::uint8_t type = 33;
  static constexpr senders by = senders::guest;
  template <class Io, class M>
  static void fields(Io& io, M& m) {
    std::uint16_t value = static_cast<std::uint16_t>(common::value_of(m.command));
    io.u16(value);
    if constexpr (Io::reading) {
      m.command = common::menu_command{value};
      io.check(common::shared_with_other_computer(m.command));
    }
  }
};

// ---------------------------------------------------------------------------------------------------------
// The lists, and what each side receives

template <class... M>
struct type_list {};

using join_datagrams = type_list<hello, challenge, proof, confirmation, refusal, sealed>;
using game_messages = type_list<welcome, whole_board, snapshot, brick_change, points, info, sound::game_event,
                                goodbye, steering, menu_choice>;

namespace detail {
template <senders S, class List, class... Kept>
struct sent_by;
template <senders S, class... Kept>
struct sent_by<S, type_list<>, Kept...> {
  using variant = std::variant<Kept...>;
};
template <senders S, class First, class... Rest, class... Kept>
struct sent_by<S, type_list<First, Rest...>, Kept...>
    : std::conditional_t<includes(definition<First>::by, S), sent_by<S, type_list<Rest...>, Kept..., First>,
                         sent_by<S, type_list<Rest...>, Kept...>> {};
}  // namespace detail

// A variant of the messages of `List` that `S` may send, followed by `Extra`.
template <senders S, class List, class... Extra>
using sent_by = typename detail::sent_by<S, List, Extra...>::variant;

// What a host tells its guest, and what a guest tells its host, sealed.
using host_message = sent_by<senders::host, game_messages>;
using guest_message = sent_by<senders::guest, game_messages>;
// The datagrams each side receives: the other side's, and what the other side's other version sends.
using to_guest_datagram = sent_by<senders::host, join_datagrams, foreign>;
using to_host_datagram = sent_by<senders::guest, join_datagrams, foreign>;

// The text as an info message, cut to `max_info` bytes.
info info_of(std::string_view text);

// ---------------------------------------------------------------------------------------------------------
// Encoders and decoders

template <class M>
bytes encode(const M& m) {
  byte_writer w(definition<M>::type);
  if constexpr (requires { definition<M>::versioned; }) {
    if constexpr (definition<M>::versioned) w.versioned(m.version);
  }
  definition<M>::fields(w, m);
  return w.take();
}
bytes encode(const foreign& m);
template <class... M>
bytes encode(const std::variant<M...>& v) {
  return std::visit([](const auto& m) { return encode(m); }, v);
}

decoded<to_guest_datagram> decode_to_guest(std::span<const std::uint8_t> bytes);
decoded<to_host_datagram> decode_to_host(std::span<const std::uint8_t> bytes);
decoded<host_message> decode_host_message(std::span<const std::uint8_t> bytes);
decoded<guest_message> decode_guest_message(std::span<const std::uint8_t> bytes);

// Decoding by the variant wanted: the function above that decodes it.
template <class V>
decoded<V> decode_as(std::span<const std::uint8_t> bytes);

}  // namespace net
