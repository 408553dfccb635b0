// What happened in play that a player should hear: a brick destroyed, a firm brick struck, a pad's return, a
// lost ball, a new game. The physics records each as it happens; the sound (and a network host, for its
// guest) read them later on threads of their own.
//
// `event_channel` is a bounded ring that any number of threads write and any number of readers follow, each
// at its own pace. Recording never blocks, never allocates and never fails: the physics thread may record
// from inside its 1 ms tick. A reader that falls more than a ring behind loses the oldest events it has not
// read and is told how many; a reader never holds up a writer or another reader.
//
// Thread use: `record` from any thread. A `reader` belongs to the one thread that reads through it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/common_data.hpp"

namespace sound {

enum class event_kind : std::uint8_t {
  brick_destroyed,  // `player` earns `points`
  firm_struck,      // a firm brick (the walls are firm bricks too) turned the ball
  pad_return,       // `player`'s pad sent the ball back
  ball_lost,        // `player` let the ball past their pad
  new_game,         // a new board, from the start-up or the menu
};
inline constexpr std::uint8_t event_kinds = 5;

struct game_event {
  event_kind kind = event_kind::new_game;
  common::ball_owner player = common::ball_owner::NONE;
  std::int32_t points = 0;
  common::vector where;  // on the board, in cells: the brick's centre, or the ball
  friend constexpr bool operator==(const game_event&, const game_event&) = default;
};

class event_channel {
 public:
  static constexpr std::size_t capacity = 256;

  event_channel() = default;
  event_channel(const event_channel&) = delete;
  event_channel& operator=(const event_channel&) = delete;

  void record(const game_event& event) noexcept;
  // Events recorded so far, dropped ones included.
  std::uint64_t recorded() const noexcept { return head_.load(std::memory_order_acquire); }

  // Follows the channel from the moment it is made: it sees the events recorded after that.
  class reader {
   public:
    explicit reader(const event_channel& channel) : channel_(&channel), cursor_(channel.recorded()) {}
    // The next event, or nothing until another is recorded.
    std::optional<game_event> next() noexcept;
    // Events this reader missed because it fell a whole ring behind.
    std::uint64_t lost() const noexcept { return lost_; }

   private:
    const event_channel* channel_;
    std::uint64_t cursor_;
    std::uint64_t lost_ = 0;
  };

 private:
  // A slot's stamp tells which event it holds: 2n + 2 once event n is in it, 2n + 1 while it is being
  // written, 0 before its first event. Stamps only grow, so a reader that sees the same even stamp before
  // and after copying the words has copied one whole event.
  struct slot {
    std::atomic<std::uint64_t> stamp{0};
    std::array<std::atomic<std::uint64_t>, 2> words{};
  };

  std::array<slot, capacity> slots_{};
  std::atomic<std::uint64_t> head_{0};
};

// The game's channel, made at start-up before the physics.
inline common::game_object<event_channel> game_events;

}  // namespace sound
