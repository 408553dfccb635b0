// Fuzzes a guest facing a hostile host: one that knows the code and joins properly, then says what it likes
// through the sealed link, every message well formed but its values at the edges of what they may be:
// positions and speeds at the board's reach and beyond the physics' own, points at the 32-bit limits, any
// byte of the message line, bricks and cells anywhere, new games and snapshots out of order. The guest takes
// each message into its monitors as the game does and moves its ball between them; on every input:
//   - nothing throws, and the guest's session goes on unless it was told goodbye;
//   - what the guest's window would draw stays finite.
// Built only with -DTOLVARAN_FUZZ=ON and clang++ (tools/fuzz.sh).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "net/mirror.hpp"
#include "net/session.hpp"
#include "support/net_fakes.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "guest_fuzz: invariant broken: %s\n", what);
  std::abort();
}

// Takes values off the fuzzer's bytes; zeros once they run out.
class source {
 public:
  explicit source(std::span<const std::uint8_t> in) : in_(in) {}
  bool empty() const { return at_ >= in_.size(); }
  std::uint8_t byte() { return at_ < in_.size() ? in_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::int32_t i32() {
    switch (byte() % 4) {
      case 0:
        return std::numeric_limits<std::int32_t>::min();
      case 1:
        return std::numeric_limits<std::int32_t>::max();
      default:
        return static_cast<std::int32_t>(u32());
    }
  }
  // A float as a decoder takes it: finite and within `low`..`high`, often at an edge.
  float within(float low, float high) {
    switch (byte() % 6) {
      case 0:
        return low;
      case 1:
        return high;
      case 2:
        return 0.0f;
      case 3:
        return std::nextafter(high, low);
      default: {
        const float f = static_cast<float>(u32()) / 4294967295.0f;
        return low + (high - low) * f;
      }
    }
  }
  float place() { return within(-reach, reach); }
  common::vector vec() { return {place(), place()}; }
  common::color_type color() { return common::make_color(within(0, 1), within(0, 1), within(0, 1)); }
  common::brick brick() {
    common::brick b;
    b.exists = byte() & 1;
    if (!b.exists) return b;
    b.destructible = byte() & 1;
    b.points = i32();
    b.color = color();
    return b;
  }
  std::uint16_t cell() { return static_cast<std::uint16_t>((byte() | byte() << 8) % 400); }
  common::ball_owner owner() { return static_cast<common::ball_owner>(byte() % 3); }
  common::pad_type pad() {
    return {color(), within(0.0f, static_cast<float>(common::rozmiar_planszy)), vec()};
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
};

host_message next_message(source& s) {
  switch (s.byte() % 8) {
    case 0: {
      whole_board b;
      b.change = s.u32();
      b.game_time = s.u32();
      b.running = s.byte() & 1;
      b.pad1 = s.pad();
      b.pad2 = s.pad();
      b.ball = {s.color(), s.vec(), s.vec(), s.owner()};
      b.points1 = s.i32();
      b.points2 = s.i32();
      for (int n = s.byte() % 8; n > 0; --n) b.bricks.cells[s.cell()] = s.brick();
      return b;
    }
    case 1:
    case 2: {
      snapshot m;
      m.game_time = s.u32();
      m.jumps = s.byte();
      m.running = s.byte() & 1;
      m.ball_still = s.byte() & 1;
      m.ball_pos = s.vec();
      m.ball_vel = s.vec();
      m.owner = s.owner();
      m.pad1_x = s.place();
      m.pad2_x = s.place();
      m.points1 = s.i32();
      m.points2 = s.i32();
      m.ticks = s.u32();
      m.change = s.u32();
      m.recent_count =
          static_cast<std::uint8_t>(std::min<std::uint32_t>(s.byte() % (recent_bricks + 1), m.change));
      for (std::size_t i = 0; i < m.recent_count; ++i) {
        m.recent[i].change = m.change - m.recent_count + 1 + static_cast<std::uint32_t>(i);
        m.recent[i].cell = s.cell();
        m.recent[i].brick = s.brick();
      }
      return m;
    }
    case 3:
      return brick_change{s.u32(), s.cell(), s.brick()};
    case 4:
      return points{s.i32(), s.i32()};
    case 5: {
      info line;
      line.length = static_cast<std::uint8_t>(s.byte() % (max_info + 1));
      for (std::size_t i = 0; i < line.length; ++i) line.text[i] = static_cast<char>(0x20 + s.byte() % 0xE0);
      return line;
    }
    case 6:
      return sound::game_event{static_cast<sound::event_kind>(s.byte() % sound::event_kinds), s.owner(),
                               s.i32(), s.vec()};
    default:
      return s.byte() == 0xFF ? host_message(goodbye{}) : host_message(welcome{});
  }
}

bool finite(common::vector v) {
  return std::isfinite(v.x) && std::isfinite(v.y);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const join_code code("27182818");
  static testing_support::recording_log log;
  log.clear();
  testing_support::counting_entropy host_random(1), guest_random(128);
  testing_support::recording_wire host_wire, guest_wire;
  const common::steady_time start{};
  host_session host(code, host_random, host_wire, log);
  guest_session guest(code, guest_random, guest_wire, start);
  // The join, honestly made.
  host.connected(2, {0x7F000002, 1}, start);
  guest.connected(start);
  for (bool moved = true; moved;) {
    moved = false;
    for (auto& d : std::exchange(guest_wire.sent, {})) moved = true, host.received(2, d.ch, d.data, start);
    for (auto& d : std::exchange(host_wire.sent, {})) moved = true, guest.received(d.ch, d.data, start);
  }
  check(guest.current() == guest_session::state::playing, "the honest join failed");

  state::board_monitor board(log);
  state::players_monitor players;
  sound::event_channel events;
  sound::event_channel::reader heard(events);
  common::manual_time clock(start);
  guest_mirror mirror(board, players, &events, clock);
  source s(std::span(data, size));
  bool told_goodbye = false;
  for (int n = 0; n < 64 && !s.empty(); ++n) {
    const host_message m = next_message(s);
    told_goodbye |= std::holds_alternative<goodbye>(m);
    host.send(s.byte() & 1 ? channel::moving : channel::reliable, m);
    clock.advance(std::chrono::milliseconds(s.byte() % 50));
    for (auto& d : std::exchange(host_wire.sent, {})) {
      const auto got = guest.received(d.ch, d.data, clock.now());
      if (got.message) mirror.take(*got.message, std::chrono::duration<float>(0.02f), {});
    }
    for (int step = s.byte() % 30; step > 0; --step) mirror.step();
    while (heard.next()) {
    }
    check(finite(board.get_ball().pos) && finite(board.get_ball().vel), "a ball that is no place");
    check(std::isfinite(board.get_pad1().pos.x) && std::isfinite(board.get_pad2().pos.x),
          "a pad that is no place");
    if (told_goodbye) break;
  }
  check(told_goodbye || guest.current() == guest_session::state::playing, "a hostile host ended the game");
  return 0;
}
