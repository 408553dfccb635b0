// The network game's messages as bytes: one encoder and one decoder per message.
//
// Two layers. A datagram (one ENet packet) is either a step of the join exchange, sent in the clear (hello,
// challenge, proof, refusal), or a sealed envelope: a sequence number and an encrypted, authenticated game
// message (the session package seals and opens them). A game message is what the host tells the guest (the
// whole board, a snapshot of what moves, a brick, the points, the message line, a sound event, goodbye) or
// what the guest tells the host (its steering keys, a menu entry, goodbye).
//
// Everything is little-endian; floats travel as their IEEE bits. The first datagram of each side (hello,
// challenge) and a refusal carry a magic word and the protocol version right after their type, in every
// version, so that peers of different versions can tell each other so whatever else changes.
//
// Decoding trusts nothing: one bounded reader takes fields off the received bytes and refuses what does not
// fit (too short: truncated; longer than a message may be: oversized; a field out of its range, bytes left
// over, an unknown type: malformed). A decoded message is a fixed-size value: nothing is allocated with a
// size that a received field gives. A float must be finite and within the board's reach, a colour within
// 0..1, an enumeration one of its literals.
//
// Thread use: plain functions, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"
#include "common/menu_command.hpp"
#include "sound/game_events.hpp"

namespace net {

// Peers play together only with the same version; each says its version in its first datagram.
inline constexpr std::uint16_t protocol_version = 1;
inline constexpr std::array<std::uint8_t, 4> magic{'T', 'L', 'V', 'R'};

// The longest game message, and the longest datagram: a sealed envelope around the longest message.
inline constexpr std::size_t max_message = 8192;
inline constexpr std::size_t seal_overhead = 1 + 4 + 16;  // type, sequence number, authentication tag
inline constexpr std::size_t max_datagram = max_message + seal_overhead;

using bytes = std::vector<std::uint8_t>;
using key_bytes = std::array<std::uint8_t, 32>;
using salt_bytes = std::array<std::uint8_t, 16>;

enum class fault : std::uint8_t { truncated, oversized, malformed };

// ---------------------------------------------------------------------------------------------------------
// The join exchange, in the clear

struct hello {  // guest to host: its version and its ephemeral public key
  std::uint16_t version = protocol_version;
  key_bytes guest_key{};
  friend bool operator==(const hello&, const hello&) = default;
};
struct challenge {  // host to guest: its version, the salt of the code's key and its ephemeral public key
  std::uint16_t version = protocol_version;
  salt_bytes salt{};
  key_bytes host_key{};
  friend bool operator==(const challenge&, const challenge&) = default;
};
struct proof {  // guest to host: that it knows the code
  key_bytes mac{};
  friend bool operator==(const proof&, const proof&) = default;
};
enum class refusal_reason : std::uint8_t { wrong_code = 1, busy = 2, version = 3, too_slow = 4 };
struct refusal {  // host to guest, and the guest's way out
  std::uint16_t version = protocol_version;
  refusal_reason reason = refusal_reason::wrong_code;
  friend bool operator==(const refusal&, const refusal&) = default;
};
// A hello, challenge or refusal of another version: only its type and version are read.
struct foreign {
  std::uint8_t type = 0;
  std::uint16_t version = 0;
  friend bool operator==(const foreign&, const foreign&) = default;
};
struct sealed {  // a game message, encrypted; `body` points into the decoded datagram
  std::uint32_t sequence = 0;
  std::span<const std::uint8_t> body;  // ciphertext and tag
};

using datagram = std::variant<hello, challenge, proof, refusal, foreign, sealed>;

// ---------------------------------------------------------------------------------------------------------
// Game messages, inside sealed envelopes

inline constexpr std::uint32_t no_game_time = 0xFFFFFFFF;  // before the host's first game
inline constexpr std::size_t recent_bricks = 8;            // brick changes repeated in each snapshot
inline constexpr std::size_t max_info = 200;               // bytes of the message line

struct brick_change {
  std::uint32_t change = 0;  // the host counts every change of a brick, from 1
  std::uint16_t cell = 0;    // (row - 1) * 20 + (column - 1)
  common::brick brick;
  friend bool operator==(const brick_change&, const brick_change&) = default;
};

struct welcome {  // host to guest: the code was right
  friend bool operator==(const welcome&, const welcome&) = default;
};
struct whole_board {                       // host to guest, reliable: at the join and at every new game
  std::uint32_t change = 0;                // the brick changes it includes
  std::uint32_t game_time = no_game_time;  // milliseconds since the game began
  bool running = false;
  common::pad_type pad1, pad2;
  common::ball_type ball;
  std::int32_t points1 = 0, points2 = 0;
  board::brick_matrix bricks{};
  friend bool operator==(const whole_board&, const whole_board&) = default;
};
struct snapshot {  // host to guest, unreliable, many times a second: what moves
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
struct points {
  std::int32_t points1 = 0, points2 = 0;
  friend bool operator==(const points&, const points&) = default;
};
struct info {  // the host's message line, Windows-1250 bytes
  std::uint8_t length = 0;
  std::array<char, max_info> text{};
  std::string_view view() const { return {text.data(), length}; }
  friend bool operator==(const info&, const info&) = default;
};
struct goodbye {
  friend bool operator==(const goodbye&, const goodbye&) = default;
};
struct steering {  // guest to host: which of its green keys are held
  bool left = false, right = false;
  friend bool operator==(const steering&, const steering&) = default;
};
struct menu_choice {  // guest to host: a menu command that acts on the shared game
  common::menu_command command = common::menu_command::pause;
  friend bool operator==(const menu_choice&, const menu_choice&) = default;
};

using game_message = std::variant<welcome, whole_board, snapshot, brick_change, points, info,
                                  sound::game_event, goodbye, steering, menu_choice>;

// The text as an info message, cut to `max_info` bytes.
info info_of(std::string_view text);

// ---------------------------------------------------------------------------------------------------------
// Encoders and decoders

bytes encode(const datagram& d);
bytes encode(const game_message& m);

template <class T>
struct decoded {
  std::variant<T, fault> result;
  bool ok() const { return result.index() == 0; }
  const T& value() const { return std::get<0>(result); }
  fault why() const { return std::get<1>(result); }
};

decoded<datagram> decode_datagram(std::span<const std::uint8_t> bytes);
decoded<game_message> decode_message(std::span<const std::uint8_t> bytes);

}  // namespace net
