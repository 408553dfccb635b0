#include "sound/game_events.hpp"

#include <bit>

namespace sound {

namespace {

std::uint64_t first_word(const game_event& e) {
  return std::uint64_t{static_cast<std::uint8_t>(e.kind)} |
         std::uint64_t{static_cast<std::uint8_t>(e.player)} << 8 |
         std::uint64_t{std::bit_cast<std::uint32_t>(e.points)} << 32;
}

std::uint64_t second_word(const game_event& e) {
  return std::uint64_t{std::bit_cast<std::uint32_t>(e.where.x)} |
         std::uint64_t{std::bit_cast<std::uint32_t>(e.where.y)} << 32;
}

game_event from_words(std::uint64_t first, std::uint64_t second) {
  return {static_cast<event_kind>(first & 0xFF),
          static_cast<common::ball_owner>((first >> 8) & 0xFF),
          std::bit_cast<std::int32_t>(static_cast<std::uint32_t>(first >> 32)),
          {std::bit_cast<float>(static_cast<std::uint32_t>(second)),
           std::bit_cast<float>(static_cast<std::uint32_t>(second >> 32))}};
}

}  // namespace

void event_channel::record(const game_event& event) noexcept {
  const std::uint64_t n = head_.fetch_add(1, std::memory_order_acq_rel);
  slot& s = slots_[n % capacity];
  // Claim the slot, unless a writer of an earlier round is still in it (stalled for a whole ring of events)
  // or a later round has already passed: then this event is dropped, and its readers skip it once the ring
  // has moved on.
  std::uint64_t stamp = s.stamp.load(std::memory_order_relaxed);
  if (stamp % 2 != 0 || stamp > 2 * n ||
      !s.stamp.compare_exchange_strong(stamp, 2 * n + 1, std::memory_order_relaxed))
    return;
  // Released words: a reader that sees one of them also sees the odd stamp claimed before it. (No
  // stand-alone fences, which ThreadSanitizer cannot follow.)
  s.words[0].store(first_word(event), std::memory_order_release);
  s.words[1].store(second_word(event), std::memory_order_release);
  s.stamp.store(2 * n + 2, std::memory_order_release);
}

std::optional<game_event> event_channel::reader::next() noexcept {
  for (;;) {
    const std::uint64_t head = channel_->head_.load(std::memory_order_acquire);
    if (cursor_ == head) return std::nullopt;
    if (head - cursor_ > capacity) {  // lapped: the oldest events are gone
      lost_ += head - cursor_ - capacity;
      cursor_ = head - capacity;
    }
    const slot& s = channel_->slots_[cursor_ % capacity];
    const std::uint64_t wanted = 2 * cursor_ + 2;
    const std::uint64_t before = s.stamp.load(std::memory_order_acquire);
    if (before < wanted) return std::nullopt;  // still being written
    // Acquired words: the stamp read after them is at least as new as the writer of either.
    const std::uint64_t first = s.words[0].load(std::memory_order_acquire);
    const std::uint64_t second = s.words[1].load(std::memory_order_acquire);
    const std::uint64_t after = s.stamp.load(std::memory_order_relaxed);
    ++cursor_;
    if (before == wanted && after == wanted) return from_words(first, second);
    ++lost_;  // a later round overwrote it meanwhile
  }
}

}  // namespace sound
