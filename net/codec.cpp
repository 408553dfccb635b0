#include "net/codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace net {

namespace {

// Message types, the first byte of every datagram and of every game message.
enum class type : std::uint8_t {
  hello = 1,
  challenge = 2,
  proof = 3,
  refusal = 4,
  sealed = 5,
  // 6 and 7: a probe and an answer of net/discovery, which a host's transport takes before ENet reads them.
  welcome = 16,
  whole_board = 17,
  snapshot = 18,
  brick = 19,
  points = 20,
  info = 21,
  event = 22,
  goodbye = 23,
  steering = 32,
  menu = 33,
};

// The farthest a position or a speed may be from zero: the ball and the pads stay near the board, and a
// speed far beyond the physics' limit would not even fit the heads-up text's integer.
constexpr float reach = 1.0e6f;

class writer {
 public:
  explicit writer(type t) { out_.push_back(static_cast<std::uint8_t>(t)); }

  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) {
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  }
  void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
  void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
  void raw(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void vec(common::vector v) {
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
    u8(b.destructible ? 3 : 1);  // 1: a brick; 2: a destructible one
    i32(b.points);
    color(b.color);
  }
  void pad(const common::pad_type& p) {
    color(p.color);
    f32(p.width);
    vec(p.pos);
  }
  void versioned(std::uint16_t version) {
    raw(magic);
    u16(version);
  }
  bytes take() { return std::move(out_); }

 private:
  bytes out_;
};

// Takes fields off received bytes in order. The first field that does not fit marks the reading failed
// (truncated, or malformed for a value out of range); every later field then reads as zero, so a decoder
// reads on and looks at the verdict once at its end.
class reader {
 public:
  explicit reader(std::span<const std::uint8_t> in) : in_(in) {}

  std::uint8_t u8() {
    if (failed_) return 0;
    if (at_ >= in_.size()) {
      fail(fault::truncated);
      return 0;
    }
    return in_[at_++];
  }
  std::uint16_t u16() {
    const std::uint16_t low = u8();
    return static_cast<std::uint16_t>(low | (u8() << 8));
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  // A finite float between the bounds.
  float f32(float low = -reach, float high = reach) {
    const float v = std::bit_cast<float>(u32());
    if (!(v >= low && v <= high)) fail(fault::malformed);  // a NaN fails too
    return v;
  }
  template <std::size_t N>
  std::array<std::uint8_t, N> raw() {
    std::array<std::uint8_t, N> out{};
    for (auto& b : out) b = u8();
    return out;
  }
  common::vector vec() {
    const float x = f32();
    return {x, f32()};
  }
  common::color_type color() {
    common::color_type c;
    for (float& part : c.items) part = f32(0.0f, 1.0f);
    return c;
  }
  common::brick brick() {
    const std::uint8_t flags = u8();
    if (flags > 3) fail(fault::malformed);
    common::brick b;
    b.exists = (flags & 1) != 0;
    if (!b.exists) {
      if (flags != 0) fail(fault::malformed);  // no brick, yet destructible
      return b;
    }
    b.destructible = (flags & 2) != 0;
    b.points = i32();
    b.color = color();
    return b;
  }
  common::pad_type pad() {
    common::pad_type p;
    p.color = color();
    p.width = f32(0.0f, static_cast<float>(common::rozmiar_planszy));
    p.pos = vec();
    return p;
  }
  common::ball_owner owner() {
    const std::uint8_t v = u8();
    if (v > static_cast<std::uint8_t>(common::ball_owner::NONE)) fail(fault::malformed);
    return failed_ ? common::ball_owner::NONE : static_cast<common::ball_owner>(v);
  }
  bool flag() {
    const std::uint8_t v = u8();
    if (v > 1) fail(fault::malformed);
    return v == 1;
  }
  std::uint16_t cell() {
    const std::uint16_t c = u16();
    if (c >= board::brick_matrix::side * board::brick_matrix::side) fail(fault::malformed);
    return c;
  }
  // True when the magic word is there; the version follows.
  bool magic_word() {
    const auto word = raw<4>();
    if (!failed_ && word != magic) fail(fault::malformed);
    return !failed_;
  }
  std::span<const std::uint8_t> rest() {
    const auto r = failed_ ? std::span<const std::uint8_t>{} : in_.subspan(at_);
    at_ = in_.size();
    return r;
  }

  void fail(fault f) {
    if (!failed_) why_ = f;
    failed_ = true;
  }
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

struct datagram_encoder {
  bytes operator()(const hello& m) const {
    writer w(type::hello);
    w.versioned(m.version);
    w.raw(m.guest_key);
    return w.take();
  }
  bytes operator()(const challenge& m) const {
    writer w(type::challenge);
    w.versioned(m.version);
    w.raw(m.salt);
    w.raw(m.host_key);
    return w.take();
  }
  bytes operator()(const proof& m) const {
    writer w(type::proof);
    w.raw(m.mac);
    return w.take();
  }
  bytes operator()(const refusal& m) const {
    writer w(type::refusal);
    w.versioned(m.version);
    w.u8(static_cast<std::uint8_t>(m.reason));
    return w.take();
  }
  bytes operator()(const foreign& m) const {
    writer w(static_cast<type>(m.type));
    w.versioned(m.version);
    return w.take();
  }
  bytes operator()(const sealed& m) const {
    writer w(type::sealed);
    w.u32(m.sequence);
    w.raw(m.body);
    return w.take();
  }
};

struct message_encoder {
  bytes operator()(const welcome&) const { return writer(type::welcome).take(); }
  bytes operator()(const whole_board& m) const {
    writer w(type::whole_board);
    w.u32(m.change);
    w.u32(m.game_time);
    w.u8(m.running ? 1 : 0);
    w.pad(m.pad1);
    w.pad(m.pad2);
    w.color(m.ball.color);
    w.vec(m.ball.pos);
    w.vec(m.ball.vel);
    w.u8(static_cast<std::uint8_t>(m.ball.owner));
    w.i32(m.points1);
    w.i32(m.points2);
    for (const common::brick& b : m.bricks.cells) w.brick(b);
    return w.take();
  }
  bytes operator()(const snapshot& m) const {
    writer w(type::snapshot);
    w.u32(m.game_time);
    w.u8(m.jumps);
    w.u8(static_cast<std::uint8_t>((m.running ? 1 : 0) | (m.ball_still ? 2 : 0)));
    w.vec(m.ball_pos);
    w.vec(m.ball_vel);
    w.u8(static_cast<std::uint8_t>(m.owner));
    w.f32(m.pad1_x);
    w.f32(m.pad2_x);
    w.i32(m.points1);
    w.i32(m.points2);
    w.u32(m.ticks);
    w.u32(m.change);
    w.u8(m.recent_count);
    for (std::size_t i = 0; i < m.recent_count && i < recent_bricks; ++i) {
      w.u16(m.recent[i].cell);
      w.brick(m.recent[i].brick);
    }
    return w.take();
  }
  bytes operator()(const brick_change& m) const {
    writer w(type::brick);
    w.u32(m.change);
    w.u16(m.cell);
    w.brick(m.brick);
    return w.take();
  }
  bytes operator()(const points& m) const {
    writer w(type::points);
    w.i32(m.points1);
    w.i32(m.points2);
    return w.take();
  }
  bytes operator()(const info& m) const {
    writer w(type::info);
    w.u8(m.length);
    w.raw(std::span(reinterpret_cast<const std::uint8_t*>(m.text.data()), m.length));
    return w.take();
  }
  bytes operator()(const sound::game_event& m) const {
    writer w(type::event);
    w.u8(static_cast<std::uint8_t>(m.kind));
    w.u8(static_cast<std::uint8_t>(m.player));
    w.i32(m.points);
    w.vec(m.where);
    return w.take();
  }
  bytes operator()(const goodbye&) const { return writer(type::goodbye).take(); }
  bytes operator()(const steering& m) const {
    writer w(type::steering);
    w.u8(static_cast<std::uint8_t>((m.left ? 1 : 0) | (m.right ? 2 : 0)));
    return w.take();
  }
  bytes operator()(const menu_choice& m) const {
    writer w(type::menu);
    w.u16(static_cast<std::uint16_t>(common::value_of(m.command)));
    return w.take();
  }
};

decoded<game_message> decode_board(reader& r) {
  whole_board m;
  m.change = r.u32();
  m.game_time = r.u32();
  m.running = r.flag();
  m.pad1 = r.pad();
  m.pad2 = r.pad();
  m.ball.color = r.color();
  m.ball.pos = r.vec();
  m.ball.vel = r.vec();
  m.ball.owner = r.owner();
  m.points1 = r.i32();
  m.points2 = r.i32();
  for (common::brick& b : m.bricks.cells) b = r.brick();
  return r.finish<game_message>(m);
}

decoded<game_message> decode_snapshot(reader& r) {
  snapshot m;
  m.game_time = r.u32();
  m.jumps = r.u8();
  const std::uint8_t flags = r.u8();
  if (flags > 3) r.fail(fault::malformed);
  m.running = (flags & 1) != 0;
  m.ball_still = (flags & 2) != 0;
  m.ball_pos = r.vec();
  m.ball_vel = r.vec();
  m.owner = r.owner();
  m.pad1_x = r.f32();
  m.pad2_x = r.f32();
  m.points1 = r.i32();
  m.points2 = r.i32();
  m.ticks = r.u32();
  m.change = r.u32();
  m.recent_count = r.u8();
  // The changes listed end at `change`: there cannot be more of them than changes so far.
  if (m.recent_count > recent_bricks || m.recent_count > m.change) r.fail(fault::malformed);
  for (std::size_t i = 0; i < m.recent_count && i < recent_bricks; ++i) {
    m.recent[i].change = m.change - m.recent_count + 1 + static_cast<std::uint32_t>(i);
    m.recent[i].cell = r.cell();
    m.recent[i].brick = r.brick();
  }
  return r.finish<game_message>(m);
}

decoded<game_message> decode_event(reader& r) {
  sound::game_event m;
  const std::uint8_t kind = r.u8();
  if (kind >= sound::event_kinds) r.fail(fault::malformed);
  m.kind = static_cast<sound::event_kind>(kind < sound::event_kinds ? kind : 0);
  m.player = r.owner();
  m.points = r.i32();
  m.where = r.vec();
  return r.finish<game_message>(m);
}

}  // namespace

info info_of(std::string_view text) {
  info m;
  m.length = static_cast<std::uint8_t>(std::min(text.size(), max_info));
  std::copy_n(text.begin(), m.length, m.text.begin());
  return m;
}

bytes encode(const datagram& d) {
  return std::visit(datagram_encoder{}, d);
}

bytes encode(const game_message& m) {
  return std::visit(message_encoder{}, m);
}

decoded<datagram> decode_datagram(std::span<const std::uint8_t> in) {
  if (in.size() > max_datagram) return {fault::oversized};
  reader r(in);
  const std::uint8_t t = r.u8();
  // The first datagrams of each side and a refusal: another version is told apart before anything else.
  if (t == static_cast<std::uint8_t>(type::hello) || t == static_cast<std::uint8_t>(type::challenge) ||
      t == static_cast<std::uint8_t>(type::refusal)) {
    if (!r.magic_word()) return r.finish<datagram>(foreign{});
    const std::uint16_t version = r.u16();
    if (version != protocol_version) {
      r.rest();  // laid out as that version lays it out: not this decoder's to judge
      return r.finish<datagram>(foreign{t, version});
    }
  }
  switch (static_cast<type>(t)) {
    case type::hello:
      return r.finish<datagram>(hello{protocol_version, r.raw<32>()});
    case type::challenge: {
      challenge m;
      m.salt = r.raw<16>();
      m.host_key = r.raw<32>();
      return r.finish<datagram>(m);
    }
    case type::proof:
      return r.finish<datagram>(proof{r.raw<32>()});
    case type::refusal: {
      const std::uint8_t reason = r.u8();
      if (reason < static_cast<std::uint8_t>(refusal_reason::wrong_code) ||
          reason > static_cast<std::uint8_t>(refusal_reason::too_slow))
        r.fail(fault::malformed);
      return r.finish<datagram>(refusal{protocol_version, static_cast<refusal_reason>(reason)});
    }
    case type::sealed: {
      sealed m;
      m.sequence = r.u32();
      m.body = r.rest();
      if (m.body.size() < 16) r.fail(fault::truncated);  // not even the authentication tag
      return r.finish<datagram>(m);
    }
    default:
      r.fail(fault::malformed);
      return r.finish<datagram>(foreign{});
  }
}

decoded<game_message> decode_message(std::span<const std::uint8_t> in) {
  if (in.size() > max_message) return {fault::oversized};
  reader r(in);
  switch (static_cast<type>(r.u8())) {
    case type::welcome:
      return r.finish<game_message>(welcome{});
    case type::whole_board:
      return decode_board(r);
    case type::snapshot:
      return decode_snapshot(r);
    case type::brick: {
      brick_change m;
      m.change = r.u32();
      m.cell = r.cell();
      m.brick = r.brick();
      return r.finish<game_message>(m);
    }
    case type::points: {
      points m;
      m.points1 = r.i32();
      m.points2 = r.i32();
      return r.finish<game_message>(m);
    }
    case type::info: {
      info m;
      m.length = r.u8();
      if (m.length > max_info) r.fail(fault::malformed);
      for (std::size_t i = 0; i < m.length && i < max_info; ++i) {
        m.text[i] = static_cast<char>(r.u8());
        // The line is drawn byte by byte: control bytes have no business in it.
        if (static_cast<unsigned char>(m.text[i]) < 0x20) r.fail(fault::malformed);
      }
      return r.finish<game_message>(m);
    }
    case type::event:
      return decode_event(r);
    case type::goodbye:
      return r.finish<game_message>(goodbye{});
    case type::steering: {
      const std::uint8_t keys = r.u8();
      if (keys > 3) r.fail(fault::malformed);
      return r.finish<game_message>(steering{(keys & 1) != 0, (keys & 2) != 0});
    }
    case type::menu: {
      const common::menu_command command{r.u16()};
      if (!common::shared_with_other_computer(command)) r.fail(fault::malformed);
      return r.finish<game_message>(menu_choice{command});
    }
    default:
      r.fail(fault::malformed);
      return r.finish<game_message>(welcome{});
  }
}

}  // namespace net
