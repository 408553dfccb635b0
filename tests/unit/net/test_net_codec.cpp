// The network game's messages: every one comes back as it was sent, and received bytes that do not fit are
// refused for their reason (too short, too long, a field out of its range), never half read.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "net/codec.hpp"

namespace {

using namespace net;

// A message's number of the cell at `row` and `column`: the matrix's cells row by row.
std::uint16_t cell_number(int row, int column) {
  return static_cast<std::uint16_t>((row - 1) * board::brick_matrix::side + (column - 1));
}

common::brick stone(std::int32_t points, bool destructible, float shade) {
  return {true, points, destructible, common::make_color(shade, 1.0f - shade, 0.0f)};
}

whole_board sample_board() {
  whole_board b{
      .change = 7,
      .game_time = 123456,
      .running = true,
      .pad1 = {common::make_color(0.6f, 0.2f, 0.2f), 6.0f, {4.0f, -0.5f}},
      .pad2 = {common::make_color(0.2f, 0.6f, 0.2f), 0.0f, {16.0f, 20.5f}},
      .ball = {common::make_color(1, 1, 0), {-3.5f, 25.0f}, {-44.9f, 12.5f}, common::ball_owner::NONE},
      .points1 = std::numeric_limits<std::int32_t>::min(),
      .points2 = std::numeric_limits<std::int32_t>::max()};
  b.bricks.at(1, 1) = stone(30, true, 0.0f);
  b.bricks.at(20, 20) = stone(0, false, 1.0f);
  b.bricks.at(10, 11) = stone(-1, true, 0.5f);
  return b;
}

const snapshot sample_snapshot{.game_time = no_game_time,
                               .jumps = 255,
                               .running = true,
                               .ball_still = true,
                               .ball_pos = {1.0e6f, -1.0e6f},
                               .ball_vel = {0.0f, -12.0f},
                               .owner = common::ball_owner::PLAYER2,
                               .pad1_x = 4.0f,
                               .pad2_x = 16.0f,
                               .points1 = -400,
                               .points2 = 1000,
                               .ticks = 0xFFFFFFFE,
                               .change = 9,
                               .recent_count = 2,
                               .recent = {brick_change{8, cell_number(20, 20), common::brick{}},
                                          brick_change{9, cell_number(1, 1), stone(3, true, 0.25f)}}};

// Every datagram and message back as it was sent, as encoding it again shows; each decoded only by the side
// it is sent to.
template <class Variant, class Decode>
void comes_back(const std::vector<std::pair<Variant, std::size_t>>& sent_and_size, Decode decode) {
  for (const auto& [sent, size] : sent_and_size) {
    const bytes wire = encode(sent);  // a sealed envelope's body points into it
    const auto got = decode(wire);
    ASSERT_TRUE(got.ok()) << "datagram " << sent.index();
    EXPECT_EQ(got.value().index(), sent.index());
    EXPECT_EQ(encode(got.value()), wire);
    EXPECT_EQ(wire.size(), size) << "datagram " << sent.index();
  }
}

TEST(NetCodec, EveryMessageComesBackAsItWasSent) {
  nonce_bytes nonce{};
  cookie_bytes cookie{};
  point_bytes point{};
  tag_bytes tag{};
  for (std::size_t i = 0; i < point.size(); ++i) point[i] = static_cast<std::uint8_t>(i * 7);
  nonce.fill(0xA5);
  cookie.fill(0x5A);
  tag.fill(0xC3);
  const bytes body(16, 0x42), longest(max_datagram - 5, 0x42);  // the tag alone; the longest
  comes_back<to_host_datagram>({{hello{protocol_version, nonce}, 23},
                                {proof{cookie, point, tag}, 81},
                                {foreign{1, 7}, 7},
                                {sealed{0xDEADBEEF, body}, 5 + body.size()},
                                {sealed{1, longest}, max_datagram}},
                               decode_to_host);
  comes_back<to_guest_datagram>({{challenge{protocol_version, nonce, cookie, point}, 71},
                                 {confirmation{tag}, 33},
                                 {refusal{protocol_version, refusal_reason::wrong_code}, 8},
                                 {refusal{protocol_version, refusal_reason::closed}, 8},
                                 {foreign{2, 0}, 7},
                                 {foreign{4, 3}, 7},
                                 {sealed{7, body}, 5 + body.size()}},
                                decode_to_guest);
  // Every version's first datagram begins alike: type, magic, version.
  const bytes first = encode(hello{protocol_version, nonce});
  EXPECT_EQ(bytes(first.begin(), first.begin() + 7), (bytes{1, 'T', 'L', 'V', 'R', protocol_version, 0}));

  whole_board paused = sample_board();
  paused.running = false;
  snapshot rolling = sample_snapshot;
  rolling.running = false;
  rolling.ball_still = false;
  snapshot served = rolling;  // paused with the ball held at a pad
  served.ball_still = true;
  snapshot flying = sample_snapshot;
  flying.ball_still = false;
  snapshot crowded = sample_snapshot;  // as many recent bricks as it carries, all the changes there were
  crowded.change = crowded.recent_count = recent_bricks;
  for (std::uint32_t i = 0; i < recent_bricks; ++i)
    crowded.recent[i] = brick_change{i + 1, cell_number(static_cast<int>(i) + 1, 3), common::brick{}};
  const std::vector<host_message> from_host{
      welcome{},
      sample_board(),
      paused,
      sample_snapshot,
      rolling,
      served,
      flying,
      crowded,
      brick_change{0xFFFFFFFF, cell_number(20, 1), stone(12, true, 0.75f)},
      brick_change{1, 0, common::brick{}},
      points{-1, 2},
      info_of("Wygra\xB3 Gracz zielony !"),
      info_of(std::string(max_info + 5, 'x')),
      info{},
      sound::game_event{sound::event_kind::new_game, common::ball_owner::NONE, 0, {10.0f, 10.0f}},
      sound::game_event{sound::event_kind::ball_lost, common::ball_owner::PLAYER1, -500, {3.0f, -1.6f}},
      goodbye{}};
  for (const host_message& sent : from_host) {
    const auto got = decode_host_message(encode(sent));
    ASSERT_TRUE(got.ok()) << "message " << sent.index();
    EXPECT_EQ(got.value(), sent) << "message " << sent.index();
  }
  const std::vector<guest_message> from_guest{steering{true, false, 9.8f, 0},
                                              steering{true, true, 0.0f, 7},
                                              steering{false, true, 20.0f, 0xFFFFFFFE},
                                              steering{},
                                              menu_choice{common::menu_command{100}},
                                              menu_choice{common::menu_command{109}},
                                              menu_choice{common::menu_command{200}},
                                              menu_choice{common::menu_command{300}},
                                              goodbye{}};
  for (const guest_message& sent : from_guest) {
    const auto got = decode_guest_message(encode(sent));
    ASSERT_TRUE(got.ok()) << "message " << sent.index();
    EXPECT_EQ(got.value(), sent) << "message " << sent.index();
  }
  EXPECT_EQ(info_of(std::string(max_info + 5, 'x')).view(), std::string(max_info, 'x'));
  // A destroyed brick keeps its points and colour on the host; it travels as an empty cell.
  common::brick destroyed = stone(9, true, 0.5f);
  destroyed.exists = false;
  EXPECT_EQ(decode_host_message(encode(brick_change{4, 3, destroyed})).value(),
            host_message(brick_change{4, 3, {}}));
  EXPECT_EQ(encode(sample_board()).size(), 95u + 400 - 3 + 3 * 17);
}

bytes patched(bytes b, std::size_t at, std::initializer_list<std::uint8_t> values) {
  std::copy(values.begin(), values.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}
bytes patched_float(bytes b, std::size_t at, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  return patched(
      b, at,
      {std::uint8_t(bits), std::uint8_t(bits >> 8), std::uint8_t(bits >> 16), std::uint8_t(bits >> 24)});
}
bytes longer(bytes b, std::size_t extra = 1) {
  b.insert(b.end(), extra, 0);
  return b;
}
bytes shorter(bytes b) {
  b.pop_back();
  return b;
}

struct bad_bytes {
  const char* what;
  bytes input;
  fault expected;
};

TEST(NetCodec, BytesThatDoNotFitAreRefusedForTheirReason) {
  const bytes hi = encode(hello{});
  const bytes no = encode(refusal{protocol_version, refusal_reason::busy});
  const bytes asked = encode(challenge{});
  // What a host receives, and what a guest receives; each side refuses the other side's own datagrams.
  const std::vector<bad_bytes> to_host{
      {"nothing", {}, fault::truncated},
      {"a hello cut short", shorter(hi), fault::truncated},
      {"a hello with a byte more", longer(hi), fault::malformed},
      {"a hello without its magic", patched(hi, 2, {'l'}), fault::malformed},
      {"a version cut short", bytes(hi.begin(), hi.begin() + 6), fault::truncated},
      {"a proof cut short", shorter(encode(proof{})), fault::truncated},
      {"a proof with a byte more", longer(encode(proof{})), fault::malformed},
      {"a sealed envelope without its tag", bytes(20, 5), fault::truncated},
      {"a sealed envelope too long", longer(bytes{5}, max_datagram), fault::oversized},
      {"an unknown type", bytes{99, 0, 0}, fault::malformed},
      {"the host's challenge", asked, fault::malformed},
      {"the host's confirmation", encode(confirmation{}), fault::malformed},
      {"the host's refusal", no, fault::malformed},
  };
  for (const auto& [what, input, expected] : to_host) {
    const auto got = decode_to_host(input);
    ASSERT_FALSE(got.ok()) << what;
    EXPECT_EQ(got.why(), expected) << what;
  }
  const std::vector<bad_bytes> to_guest{
      {"nothing", {}, fault::truncated},
      {"a challenge cut short", shorter(asked), fault::truncated},
      {"a challenge with a byte more", longer(asked), fault::malformed},
      {"a confirmation cut short", shorter(encode(confirmation{})), fault::truncated},
      {"a refusal for no reason", patched(no, 7, {0}), fault::malformed},
      {"a refusal for an unknown reason", patched(no, 7, {6}), fault::malformed},
      {"a refusal cut short", shorter(no), fault::truncated},
      {"the guest's hello", hi, fault::malformed},
      {"the guest's proof", encode(proof{}), fault::malformed},
      {"a sealed envelope too long", longer(bytes{5}, max_datagram), fault::oversized},
  };
  for (const auto& [what, input, expected] : to_guest) {
    const auto got = decode_to_guest(input);
    ASSERT_FALSE(got.ok()) << what;
    EXPECT_EQ(got.why(), expected) << what;
  }
  // Another version's first datagram is told apart whatever follows its version, by the side it goes to.
  const auto other = decode_to_host(longer(patched(hi, 5, {protocol_version + 1}), 100));
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(std::get<foreign>(other.value()), (foreign{1, protocol_version + 1}));
  const auto older = decode_to_guest(patched(asked, 5, {protocol_version - 1}));
  ASSERT_TRUE(older.ok());
  EXPECT_EQ(std::get<foreign>(older.value()), (foreign{2, protocol_version - 1}));

  const bytes board = encode(sample_board());  // pad1 at 10, its width at 22; the ball's owner at 86
  const bytes snap = encode(sample_snapshot);  // ball at 7, owner at 23, change at 44, count at 48
  const bytes brick = encode(brick_change{3, 5, stone(1, true, 0.5f)});  // cell at 5, flags at 7
  const bytes text = encode(info_of("abc"));
  const bytes menu = encode(menu_choice{common::menu_command{100}});
  const bytes steer = encode(steering{true, false, 10.0f, 3});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<bad_bytes> messages{
      {"nothing", {}, fault::truncated},
      {"a welcome with a byte more", longer(encode(welcome{})), fault::malformed},
      {"a board cut short", shorter(board), fault::truncated},
      {"a board with a byte more", longer(board), fault::malformed},
      {"a colour above 1", patched_float(board, 10, 1.01f), fault::malformed},
      {"a colour below 0", patched_float(board, 14, -0.01f), fault::malformed},
      {"a pad wider than the board", patched_float(board, 22, 20.5f), fault::malformed},
      {"a pad narrower than nothing", patched_float(board, 22, -0.01f), fault::malformed},
      {"a running flag of 2", patched(board, 9, {2}), fault::malformed},
      {"snapshot flags beyond both", patched(snap, 6, {4}), fault::malformed},
      {"an owner beyond NONE", patched(board, 86, {3}), fault::malformed},
      {"a ball that is not a number", patched_float(snap, 7, nan), fault::malformed},
      {"a ball at infinity", patched_float(snap, 11, std::numeric_limits<float>::infinity()),
       fault::malformed},
      {"a ball out of reach", patched_float(snap, 15, -1.01e6f), fault::malformed},
      {"a pad out of reach", patched_float(snap, 24, 2.0e6f), fault::malformed},
      {"more recent bricks than a snapshot holds", patched(snap, 48, {recent_bricks + 1}), fault::malformed},
      {"more recent bricks than changes", patched(snap, 44, {1, 0}), fault::malformed},
      {"recent bricks cut short", shorter(snap), fault::truncated},
      {"a cell off the board", patched(brick, 5, {400 & 0xFF, 400 >> 8}), fault::malformed},
      {"brick flags beyond both", patched(brick, 7, {4}), fault::malformed},
      {"a destructible brick that is not there", patched(bytes(brick.begin(), brick.begin() + 8), 7, {2}),
       fault::malformed},
      {"a brick cut short", shorter(brick), fault::truncated},
      {"a message line longer than it may be", longer(patched(text, 1, {max_info + 1}), max_info),
       fault::malformed},
      {"a message line shorter than it says", patched(text, 1, {4}), fault::truncated},
      {"a control byte in the message line", patched(text, 3, {'\n'}), fault::malformed},
      {"an unknown event", patched(encode(sound::game_event{}), 1, {sound::event_kinds}), fault::malformed},
      {"a message too long", longer(encode(welcome{}), max_message), fault::oversized},
      {"an unknown type", bytes{5}, fault::malformed},
      {"the guest's steering", steer, fault::malformed},
      {"the guest's menu command", menu, fault::malformed},
  };
  for (const auto& [what, input, expected] : messages) {
    const auto got = decode_host_message(input);
    ASSERT_FALSE(got.ok()) << what;
    EXPECT_EQ(got.why(), expected) << what;
  }
  const std::vector<bad_bytes> guests{
      {"nothing", {}, fault::truncated},
      {"steering keys beyond left and right", patched(steer, 1, {4}), fault::malformed},
      {"steering cut short", bytes{32}, fault::truncated},
      {"steering without its board", shorter(steer), fault::truncated},
      {"a green pad left of the board", patched_float(steer, 2, -0.01f), fault::malformed},
      {"a green pad right of the board", patched_float(steer, 2, 20.01f), fault::malformed},
      {"a green pad that is not a number", patched_float(steer, 2, nan), fault::malformed},
      {"steering with a byte more", longer(steer), fault::malformed},
      {"the menu's end entry", patched(menu, 1, {600 & 0xFF, 600 >> 8}), fault::malformed},
      {"a board entry past the last", patched(menu, 1, {110}), fault::malformed},
      {"a board entry before the first", patched(menu, 1, {99}), fault::malformed},
      {"a steering entry", patched(menu, 1, {421 & 0xFF, 421 >> 8}), fault::malformed},
      {"a goodbye with a byte more", longer(encode(goodbye{})), fault::malformed},
      {"the host's welcome", encode(welcome{}), fault::malformed},
      {"the host's snapshot", snap, fault::malformed},
      {"the host's points", encode(points{}), fault::malformed},
  };
  for (const auto& [what, input, expected] : guests) {
    const auto got = decode_guest_message(input);
    ASSERT_FALSE(got.ok()) << what;
    EXPECT_EQ(got.why(), expected) << what;
  }
}

}  // namespace
