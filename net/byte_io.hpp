// The bytes of the network game's datagrams, written and read field by field: little-endian integers, floats
// as their IEEE bits, and the game's records. Every message states its fields once (net/codec.hpp,
// `definition<M>::fields`), and the same statement runs with a `byte_writer` to send and a `byte_reader` to
// receive.
//
// A `byte_reader` trusts nothing: it takes fields off the received bytes in order, and the first field that
// does not fit marks the reading failed (too short: truncated; a value out of its range: malformed); every
// later field then reads as zero, so a decoder reads on and looks at the verdict once at its end, where
// bytes left over are malformed too. Nothing is allocated with a size that a received field gives.
//
// Thread use: plain values; a reader or writer belongs to the one call that made it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"

namespace net {

using bytes = std::vector<std::uint8_t>;

enum class fault : std::uint8_t { truncated, oversized, malformed };

template <class T>
struct decoded {
  std::variant<T, fault> result;
  bool ok() const { return result.index() == 0; }
  const T& value() const { return std::get<0>(result); }
  fault why() const { return std::get<1>(result); }
};

inline constexpr std::array<std::uint8_t, 4> magic{'T', 'L', 'V', 'R'};

// The farthest a position or a speed may be from zero: the ball and the pads stay near the board, and a
// speed far beyond the physics' limit would not even fit the heads-up text's integer.
inline constexpr float reach = 1.0e6f;

class byte_writer {
 public:
  static constexpr bool reading = false;

  explicit byte_writer(std::uint8_t type) { out_.push_back(type); }

  void u8(const std::uint8_t& v) { out_.push_back(v); }
  void u16(const std::uint16_t& v) {
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(const std::uint32_t& v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  }
  void i32(const std::int32_t& v) { u32(static_cast<std::uint32_t>(v)); }
  void f32(const float& v, float = -reach, float = reach) { u32(std::bit_cast<std::uint32_t>(v)); }
  void flag(const bool& v) { u8(v ? 1 : 0); }
  // Two flags in one byte: bit 0 and bit 1.
  void flags(const bool& first, const bool& second) {
    u8(static_cast<std::uint8_t>((first ? 1 : 0) | (second ? 2 : 0)));
  }
  template <std::size_t N>
  void raw(const std::array<std::uint8_t, N>& b) {
    out_.insert(out_.end(), b.begin(), b.end());
  }
  // An enumeration stored as its number, one byte; the reader takes only numbers up to `last`.
  template <class Enum>
  void enumerated(const Enum& e, Enum, Enum = Enum{}) {
    u8(static_cast<std::uint8_t>(e));
  }
  void vec(const common::vector& v) {
    f32(v.x);
    f32(v.y);
  }
  void color(const common::color_type& c) {
    for (const float part : c.items) f32(part);
  }
  void brick(const common::brick& b) {
    if (!b.exists) {  // an empty cell's other fields mean nothing (a destroyed brick keeps its old ones)
      u8(0);
      return;
    }
    u8(b.destructible ? 3 : 1);  // bit 0: a brick; bit 1: a destructible one
    i32(b.points);
    color(b.color);
  }
  void pad(const common::pad_type& p) {
    color(p.color);
    f32(p.width);
    vec(p.pos);
  }
  void cell(const std::uint16_t& c) { u16(c); }
  // Up to `most` bytes, their count first.
  template <std::size_t N>
  void counted(const std::uint8_t& length, const std::array<char, N>& text, std::size_t most = N) {
    const std::size_t n = std::min<std::size_t>({length, most, N});
    u8(static_cast<std::uint8_t>(n));
    for (std::size_t i = 0; i < n; ++i) u8(static_cast<std::uint8_t>(text[i]));
  }
  // The rest of the datagram.
  void rest(const std::span<const std::uint8_t>& b, std::size_t = 0) {
    out_.insert(out_.end(), b.begin(), b.end());
  }
  void check(bool) {}
  // The magic word and a version, at the start of the datagrams that every version lays out alike.
  void versioned(const std::uint16_t& version) {
    raw(magic);
    u16(version);
  }

  bytes take() { return std::move(out_); }

 private:
  bytes out_;
};

class byte_reader {
 public:
  static constexpr bool reading = true;

  explicit byte_reader(std::span<const std::uint8_t> in) : in_(in) {}

  std::uint8_t u8() {
    if (failed_) return 0;
    if (at_ >= in_.size()) {
      fail(fault::truncated);
      return 0;
    }
    return in_[at_++];
  }
  void u8(std::uint8_t& v) { v = u8(); }
  void u16(std::uint16_t& v) {
    const std::uint16_t low = u8();
    v = static_cast<std::uint16_t>(low | (u8() << 8));
  }
  std::uint16_t u16() {
    std::uint16_t v = 0;
    u16(v);
    return v;
  }
  void u32(std::uint32_t& v) {
    std::uint16_t low = 0, high = 0;
    u16(low);
    u16(high);
    v = low | (static_cast<std::uint32_t>(high) << 16);
  }
  void i32(std::int32_t& v) {
    std::uint32_t u = 0;
    u32(u);
    v = static_cast<std::int32_t>(u);
  }
  // A finite float between the bounds.
  void f32(float& v, float low = -reach, float high = reach) {
    std::uint32_t u = 0;
    u32(u);
    v = std::bit_cast<float>(u);
    if (!(v >= low && v <= high)) fail(fault::malformed);  // a NaN fails too
  }
  void flag(bool& v) {
    const std::uint8_t b = u8();
    if (b > 1) fail(fault::malformed);
    v = b == 1;
  }
  void flags(bool& first, bool& second) {
    const std::uint8_t b = u8();
    if (b > 3) fail(fault::malformed);
    first = (b & 1) != 0;
    second = (b & 2) != 0;
  }
  template <std::size_t N>
  void raw(std::array<std::uint8_t, N>& out) {
    for (auto& b : out) b = u8();
  }
  template <class Enum>
  void enumerated(Enum& e, Enum last, Enum first = Enum{}) {
    const std::uint8_t v = u8();
    if (v < static_cast<std::uint8_t>(first) || v > static_cast<std::uint8_t>(last)) fail(fault::malformed);
    e = failed_ ? first : static_cast<Enum>(v);
  }
  void vec(common::vector& v) {
    f32(v.x);
    f32(v.y);
  }
  void color(common::color_type& c) {
    for (float& part : c.items) f32(part, 0.0f, 1.0f);
  }
  void brick(common::brick& b) {
    const std::uint8_t bits = u8();
    if (bits > 3) fail(fault::malformed);
    b = common::brick{};
    b.exists = (bits & 1) != 0;
    if (!b.exists) {
      if (bits != 0) fail(fault::malformed);  // no brick, yet destructible
      return;
    }
    b.destructible = (bits & 2) != 0;
    i32(b.points);
    color(b.color);
  }
  void pad(common::pad_type& p) {
    color(p.color);
    f32(p.width, 0.0f, static_cast<float>(common::rozmiar_planszy));
    vec(p.pos);
  }
  void cell(std::uint16_t& c) {
    u16(c);
    if (c >= board::brick_matrix::side * board::brick_matrix::side) fail(fault::malformed);
  }
  // Up to `most` bytes, their count first; a control byte has no business in a line that is drawn.
  template <std::size_t N>
  void counted(std::uint8_t& length, std::array<char, N>& text, std::size_t most = N) {
    length = u8();
    if (length > std::min(most, N)) fail(fault::malformed);
    for (std::size_t i = 0; i < length && i < N; ++i) {
      text[i] = static_cast<char>(u8());
      if (static_cast<unsigned char>(text[i]) < 0x20) fail(fault::malformed);
    }
  }
  // The rest of the datagram, at least `least` bytes of it; it points into the bytes read.
  void rest(std::span<const std::uint8_t>& b, std::size_t least = 0) {
    b = failed_ ? std::span<const std::uint8_t>{} : in_.subspan(at_);
    at_ = in_.size();
    if (b.size() < least) fail(fault::truncated);
  }
  // A rule between fields: a message that breaks it is malformed.
  void check(bool holds) {
    if (!holds) fail(fault::malformed);
  }
  // The magic word; false (and the reading failed) when it is not there.
  bool magic_word() {
    std::array<std::uint8_t, magic.size()> word{};
    raw(word);
    if (!failed_ && word != magic) fail(fault::malformed);
    return !failed_;
  }
  // What another version lays out from here: not this reader's to judge.
  void skip_rest() { at_ = in_.size(); }

  void fail(fault f) {
    if (!failed_) why_ = f;
    failed_ = true;
  }
  bool failed() const { return failed_; }
  // The verdict once the decoder has read every field: bytes left over are a malformed message.
  template <class T, class Value>
  decoded<T> finish(Value&& value) {
    if (!failed_ && at_ != in_.size()) fail(fault::malformed);
    if (failed_) return {why_};
    return {T(std::forward<Value>(value))};
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
  bool failed_ = false;
  fault why_ = fault::truncated;
};

}  // namespace net
