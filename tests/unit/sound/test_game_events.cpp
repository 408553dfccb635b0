// The events the physics records for the sound: whole events, in order, for every reader at its own pace,
// and a bounded ring that a slow reader falls off instead of holding anyone up.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sound/game_events.hpp"

namespace {

using sound::event_channel;
using sound::event_kind;
using sound::game_event;

game_event numbered(int n) {  // every field tells the number, so a torn event shows
  return {static_cast<event_kind>(n % sound::event_kinds),
          static_cast<common::ball_owner>(n % 3),
          n,
          {static_cast<float>(n), -static_cast<float>(n)}};
}

TEST(GameEvents, EveryFieldArrivesAndEachReaderFollowsFromItsOwnStart) {
  event_channel channel;
  event_channel::reader early(channel);
  const game_event brick{
      event_kind::brick_destroyed, common::ball_owner::PLAYER2, -2147483647 - 1, {0.5f, 19.5f}};
  channel.record(brick);
  event_channel::reader late(channel);
  channel.record(numbered(7));
  EXPECT_EQ(early.next(), brick);
  EXPECT_EQ(early.next(), numbered(7));
  EXPECT_EQ(early.next(), std::nullopt);
  EXPECT_EQ(late.next(), numbered(7));
  EXPECT_EQ(late.next(), std::nullopt);
  EXPECT_EQ(channel.recorded(), 2u);
  EXPECT_EQ(early.lost() + late.lost(), 0u);
}

TEST(GameEvents, AReaderARingBehindLosesTheOldestAndIsToldHowMany) {
  event_channel channel;
  event_channel::reader slow(channel);
  const int total = static_cast<int>(event_channel::capacity) + 3;
  for (int n = 0; n < total; ++n) channel.record(numbered(n));
  EXPECT_EQ(slow.next(), numbered(3));
  EXPECT_EQ(slow.lost(), 3u);
  int read = 1;
  while (slow.next()) ++read;
  EXPECT_EQ(read, static_cast<int>(event_channel::capacity));
}

TEST(GameEvents, WritersOnSeveralThreadsNeverTearAnEventNorReorderTheirOwn) {
  event_channel channel;
  event_channel::reader reader(channel);
  constexpr int per_writer = 20000;
  std::vector<int> last_seen(2, -1);
  std::uint64_t read = 0;
  const auto take = [&](const game_event& e) {
    const int writer = e.points / 1'000'000, n = e.points % 1'000'000;
    ASSERT_EQ(e, numbered(e.points)) << "a torn event";
    ASSERT_GT(n, last_seen.at(static_cast<std::size_t>(writer))) << "out of order";
    last_seen[static_cast<std::size_t>(writer)] = n;
    ++read;
  };
  {
    std::vector<std::jthread> writers;
    for (int writer = 0; writer < 2; ++writer)
      writers.emplace_back([&, writer] {
        for (int n = 0; n < per_writer; ++n) channel.record(numbered(writer * 1'000'000 + n));
      });
    while (channel.recorded() < 2 * per_writer)
      if (const auto e = reader.next()) take(*e);
  }
  while (const auto e = reader.next()) take(*e);
  EXPECT_EQ(read + reader.lost(), 2u * per_writer);
}

}  // namespace
