#include "net/pass.hpp"

#include <algorithm>

namespace net {

using std::chrono::milliseconds;

// ---------------------------------------------------------------------------------------------------------
// The host

void pad_judge::restart(const common::pad_type& pad, common::steady_time now) {
  width_ = pad.width;
  last_ = state::pad_within(pad.pos.x, width_);
  budget_ = pad_speed * std::chrono::duration<float>(burst).count();
  at_ = now;
}

float pad_judge::take(float told, common::steady_time now) {
  const float most = pad_speed * std::chrono::duration<float>(burst).count();
  if (now > at_)
    budget_ = std::min(most, budget_ + pad_speed * std::chrono::duration<float>(now - at_).count());
  at_ = std::max(at_, now);
  const float wanted = state::pad_within(told, width_) - last_;
  const float moved = std::clamp(wanted, -budget_, budget_);
  last_ += moved;
  budget_ -= std::abs(moved);
  return last_;
}

host_pass::host_pass(const host_world& world, host_session& session, std::string waiting,
                     std::atomic<bool>& guest_plays)
    : world_(world),
      session_(session),
      report_(world.board, world.players, world.events, world.physics_ticks),
      waiting_(std::move(waiting)),
      guest_plays_(guest_plays) {
  world_.board.set_network_line(waiting_);
}

milliseconds host_pass::wait(common::steady_time now) const {
  if (!session_.has_guest() || !next_snapshot_) return host_alone_wait;
  return std::clamp(std::chrono::ceil<milliseconds>(*next_snapshot_ - now), milliseconds(0),
                    host_playing_wait);
}

void green_steering(const host_world& world, bool guest, std::atomic<bool>& guest_plays) {
  world.keys.set_key_up(common::guest_left);
  world.keys.set_key_up(common::guest_right);
  guest_plays.store(guest, std::memory_order_release);
  // As the menu's steering entries do: the preset first, then the computer player.
  if (guest) {
    world.players.set2(common::key_preset::GUEST);
    world.computer.disable();
  } else {
    world.players.set2(common::key_preset::COMPUTER);
    world.computer.enable();
  }
}

void host_pass::react(host_session::happening h, common::steady_time now, wall_time wall) {
  switch (h) {
    case host_session::happening::joined:
      world_.board.set_network_line("");
      green_steering(world_, true, guest_plays_);
      send_reliably(report_.joined(now, wall), now);
      next_snapshot_ = now;
      break;
    case host_session::happening::left:
    case host_session::happening::lost:
      green_steering(world_, false, guest_plays_);
      world_.board.set_network_line(waiting_);
      break;
    case host_session::happening::closed:
      // For good: whoever tried so many codes must not get more tries with this one.
      waiting_ = std::string(closed_line);
      world_.board.set_network_line(waiting_);
      break;
    case host_session::happening::none:
      break;
  }
}

void host_pass::send_reliably(const std::vector<host_message>& messages, common::steady_time now) {
  for (const host_message& m : messages) {
    if (const auto* board = std::get_if<whole_board>(&m)) judge_.restart(board->pad2, now);
    session_.send(channel::reliable, m);
  }
}

void host_pass::act(const guest_message& m, common::steady_time now) {
  // Every message a guest sends has its handler here: one added without it does not build.
  struct handlers {
    host_pass& pass;
    common::steady_time now;
    void operator()(const steering& keys) const {
      const host_world& world = pass.world_;
      // The keys move the pad between the guest's messages, as a key at this keyboard would.
      keys.left ? world.keys.set_key_down(common::guest_left) : world.keys.set_key_up(common::guest_left);
      keys.right ? world.keys.set_key_down(common::guest_right) : world.keys.set_key_up(common::guest_right);
      // A position on the board of a game before the last whole board is of no game here.
      if (keys.board != pass.report_.board_change()) return;
      // The guest's screen shows its ball where the host's ball is by now (the ball follower leads it by
      // half the round trip), so its pad is put where the guest's screen shows it by now too: the position
      // taken, led by the held key for half the round trip. The ball then meets the host's pad where the
      // guest saw it meet its own, but within one way of a change of direction.
      const float taken = pass.judge_.take(keys.pad_x, now);
      world.board.put_pad2(taken + pad_lead(keys, pass.session_.round_trip()), pass.report_.game_started());
    }
    void operator()(const menu_choice& choice) const { pass.world_.menu(choice.command); }
    void operator()(const goodbye&) const {}  // the session has let the guest go
  };
  std::visit(handlers{*this, now}, m);
}

void host_pass::take(const wire_event& e, common::steady_time now, wall_time wall) {
  switch (e.what) {
    case wire_event::kind::connected:
      session_.connected(e.peer, e.from, now);
      break;
    case wire_event::kind::received: {
      const host_session::outcome got = session_.received(e.peer, e.ch, e.data, now);
      react(got.what, now, wall);
      if (got.message) act(*got.message, now);
      break;
    }
    case wire_event::kind::disconnected:
      if (parting_until_) farewell_heard_ = true;
      react(session_.disconnected(e.peer, now), now, wall);
      break;
  }
}

void host_pass::tick(common::steady_time now, wall_time wall) {
  react(session_.tick(now), now, wall);
  if (session_.has_guest() && next_snapshot_ && now >= *next_snapshot_) {
    send_reliably(report_.changes(now, wall), now);
    session_.send(channel::moving, report_.moving(now, wall));
    next_snapshot_ = now + snapshot_period;  // a late snapshot is not made up
  }
  if (const std::optional<std::string> line = session_.drops().report(now)) world_.log.info(*line);
  if (const std::optional<std::string> line = session_.refusals().report(now)) world_.log.info(*line);
}

void host_pass::say_goodbye(common::steady_time now) {
  session_.say_goodbye();
  guest_plays_.store(false, std::memory_order_release);
  parting_until_ = now + farewell_wait;
}

bool host_pass::parted(common::steady_time now) const {
  return farewell_heard_ || !parting_until_ || now >= *parting_until_;
}

// ---------------------------------------------------------------------------------------------------------
// The guest

steering held_green_keys(input::keyboard_monitor& keys) {
  const auto down = [&](unsigned char a, unsigned char b, unsigned char c) {
    return keys.is_key_down(a) || keys.is_key_down(b) || keys.is_key_down(c);
  };
  return {down('a', 'j', common::joy_left), down('d', 'l', common::joy_right)};
}

guest_pass::guest_pass(const guest_world& world, guest_session& session, const wire& out,
                       common::clock& clock, common::steady_time now, std::atomic<bool>& playing,
                       std::atomic<std::uint8_t>& host_jumps)
    : world_(world),
      session_(session),
      out_(out),
      mirror_(world.board, world.players, world.events, clock),
      playing_(playing),
      host_jumps_(host_jumps),
      stepped_(now),
      next_sample_(now),
      next_steering_(now) {}

void guest_pass::take(const wire_event& e, common::steady_time now, wall_time wall) {
  switch (e.what) {
    case wire_event::kind::connected:
      session_.connected(now);
      break;
    case wire_event::kind::received: {
      const guest_session::outcome got = session_.received(e.ch, e.data, now);
      if (!got.message) break;
      if (std::holds_alternative<welcome>(*got.message)) {
        world_.board.set_network_line("");
        world_.log.info("Gra przez siec: gracz zielony dolaczyl do gospodarza");
        playing_.store(true, std::memory_order_release);
      }
      mirror_.take(*got.message, out_.round_trip(e.peer), wall);
      host_jumps_.store(mirror_.host_jumps(), std::memory_order_release);
      break;
    }
    case wire_event::kind::disconnected:
      if (parting_until_) farewell_heard_ = true;
      session_.disconnected(now);
      break;
  }
}

void guest_pass::tick(common::steady_time now) {
  // The ball between snapshots, a millisecond at a time as the physics moves it.
  const auto due = std::min<std::int64_t>((now - stepped_) / milliseconds(1), most_steps_at_once);
  for (std::int64_t i = 0; i < due; ++i) mirror_.step();
  stepped_ = due == most_steps_at_once ? now : stepped_ + milliseconds(due);

  // The own green pad, on the input thread's schedule: the first sample after a key moves it.
  if (now >= next_sample_) {
    mirror_.steer(held_green_keys(world_.keys), now);
    // A sample a little late is made up by the next one's being early, so that the pad keeps the host's pace;
    // after a stall the samples go on from now.
    next_sample_ += common::input_clock;
    if (next_sample_ <= now) next_sample_ = now + common::input_clock;
  }

  if (session_.current() == guest_session::state::playing) {
    const steering keys = mirror_.told(held_green_keys(world_.keys));
    // The position goes with the keys; it does not call for a message of its own, since the host moves the
    // pad by the keys meanwhile as this side does.
    const bool changed =
        !sent_ || sent_->left != keys.left || sent_->right != keys.right || sent_->board != keys.board;
    if (changed || now >= next_steering_) {
      session_.send(channel::moving, keys);
      sent_ = keys;
      next_steering_ = now + steering_repeat;
    }
  }
  session_.tick(now);
  if (const std::optional<std::string> line = session_.drops().report(now)) world_.log.info(*line);
}

void guest_pass::choose(common::menu_command c) {
  session_.send(channel::reliable, menu_choice{c});
}

void guest_pass::say_goodbye(common::steady_time now) {
  session_.say_goodbye();
  parting_until_ = now + farewell_wait;
}

bool guest_pass::parted(common::steady_time now) const {
  return farewell_heard_ || !parting_until_ || now >= *parting_until_;
}

}  // namespace net
