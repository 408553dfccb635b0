#include "net/mirror.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace net {

namespace {

float length(common::vector v) {
  return std::sqrt(v.x * v.x + v.y * v.y);
}

constexpr int side = board::brick_matrix::side;

}  // namespace

std::uint32_t game_time_of(std::chrono::system_clock::time_point started,
                           std::chrono::system_clock::time_point now) {
  if (started == std::chrono::system_clock::time_point{}) return no_game_time;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count();
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(ms, 0, no_game_time - 1));
}

// ---------------------------------------------------------------------------------------------------------

host_report::host_report(state::board_monitor& board, state::players_monitor& players,
                         sound::event_channel* events, std::function<std::uint64_t()> ticks)
    : board_(board), players_(players), channel_(events), ticks_(std::move(ticks)) {
  if (channel_ != nullptr) events_.emplace(*channel_);
}

whole_board host_report::board_now(std::chrono::system_clock::time_point wall) {
  whole_board b;
  // The start time first: a new game that begins while the rest is read is seen again at the next look.
  started_ = board_.started();
  bricks_ = board_.get_brick_matrix_state();
  b.change = board_change_ = change_;
  b.game_time = game_time_of(started_, wall);
  b.running = board_.enabled();
  b.pad1 = board_.get_pad1();
  b.pad2 = board_.get_pad2();
  b.ball = board_.get_ball();
  b.points1 = points1_ = players_.r1();
  b.points2 = points2_ = players_.r2();
  b.bricks = bricks_;
  recent_.clear();
  return b;
}

std::vector<host_message> host_report::joined(common::steady_time now,
                                              std::chrono::system_clock::time_point wall) {
  if (channel_ != nullptr) events_.emplace(*channel_);
  std::vector<host_message> out{board_now(wall)};
  info_ = board_.get_info();
  out.push_back(info_of(info_));
  last_ball_ = std::get<whole_board>(out.front()).ball.pos;
  last_look_ = now;
  return out;
}

std::vector<host_message> host_report::changes(common::steady_time now,
                                               std::chrono::system_clock::time_point wall) {
  std::vector<host_message> out;
  const auto started = board_.started();
  const board::brick_matrix bricks = board_.get_brick_matrix_state();
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < bricks.cells.size(); ++i)
    if (!(bricks.cells[i] == bricks_.cells[i])) changed.push_back(i);
  if (started != started_ || changed.size() > recent_bricks) {
    ++change_;  // a new game: the whole board, under one change of its own
    out.push_back(board_now(wall));
  } else {
    for (const std::size_t i : changed) {
      bricks_.cells[i] = bricks.cells[i];
      const brick_change c{++change_, static_cast<std::uint16_t>(i), bricks.cells[i]};
      out.push_back(c);
      recent_.push_back({c, now});
    }
  }
  while (!recent_.empty() &&
         (recent_.size() > recent_bricks || now - recent_.front().when > repeat_bricks_for))
    recent_.erase(recent_.begin());

  const std::int32_t points1 = players_.r1(), points2 = players_.r2();
  if (points1 != points1_ || points2 != points2_) {
    points1_ = points1;
    points2_ = points2;
    out.push_back(points{points1, points2});
  }
  std::string info = board_.get_info();
  if (info != info_) {
    info_ = std::move(info);
    out.push_back(info_of(info_));
  }
  if (events_)
    while (const std::optional<sound::game_event> e = events_->next()) out.push_back(*e);
  return out;
}

snapshot host_report::moving(common::steady_time now, std::chrono::system_clock::time_point wall) {
  snapshot s;
  s.game_time = game_time_of(board_.started(), wall);
  const common::ball_type ball = board_.get_ball();
  // Farther than it could have moved since the last look (and a cell to spare): the ball was put there.
  const float could = length(ball.vel) * std::chrono::duration<float>(now - last_look_).count() + 1.0f;
  if (length({ball.pos.x - last_ball_.x, ball.pos.y - last_ball_.y}) > could) ++jumps_;
  s.jumps = jumps_;
  s.ball_still = ball.pos == last_ball_;
  last_ball_ = ball.pos;
  last_look_ = now;
  s.running = board_.enabled();
  s.ball_pos = ball.pos;
  s.ball_vel = ball.vel;
  s.owner = ball.owner;
  s.pad1_x = board_.get_pad1().pos.x;
  s.pad2_x = board_.get_pad2().pos.x;
  s.points1 = players_.r1();
  s.points2 = players_.r2();
  s.ticks = ticks_ ? static_cast<std::uint32_t>(ticks_()) : 0;
  s.change = change_;
  s.recent_count = static_cast<std::uint8_t>(recent_.size());
  for (std::size_t i = 0; i < recent_.size(); ++i) s.recent[i] = recent_[i].change;
  return s;
}

// ---------------------------------------------------------------------------------------------------------

void ball_follower::put(const common::ball_type& ball) {
  ball_ = foreseen_ = ball;
  owed_ = {};
  ticks_due_ = 0.0f;
  jumps_.reset();
}

void ball_follower::bricks(const board::brick_matrix& bricks) {
  for (std::size_t i = 0; i < bricks.cells.size(); ++i) brick(i, bricks.cells[i]);
}

void ball_follower::brick(std::size_t cell, const common::brick& brick) {
  if (cell >= told_.size()) return;
  told_[cell] = left_[cell] = brick.exists;
  firm_[cell] = !brick.destructible;
}

float ball_follower::tick(common::ball_type& ball, standing& bricks, const pads& p) const {
  float put = 0.0f;
  // Beyond a loss line the host's ball stands until its serve, which the snapshots tell.
  if (physics::beyond_loss_line(ball) != physics::side::none) return put;
  // Far off the board (a hostile host's word) there is nothing to meet, and perhaps no cell to name.
  std::optional<physics::cell> at;
  try {
    at = physics::cell_of(ball.pos);
  } catch (const std::overflow_error&) {
  }
  if (at) {
    const auto exists = [&bricks](std::int32_t column, std::int32_t row) {
      return board::brick_matrix::on_board(row, column) &&
             bricks[static_cast<std::size_t>((row - 1) * side + column - 1)];
    };
    const physics::contacts touched = physics::brick_contacts(exists, ball, *at);
    for (std::size_t i = 0; i < touched.count; ++i) {
      const std::size_t cell =
          static_cast<std::size_t>((touched.struck[i].row - 1) * side + touched.struck[i].column - 1);
      if (!firm_[cell]) bricks[cell] = false;
    }
    ball.vel = state::bounced(ball.vel, touched.hits);
    const physics::side end = physics::beyond_pad_line(ball);
    if (end != physics::side::none) {
      const std::optional<common::ball_type> back =
          physics::pad_return(ball, end == physics::side::red ? p.red : p.green, end);
      // A ball standing still beyond the line has no way back to foresee (the host's goes wrong there too).
      if (back && std::isfinite(back->vel.y)) {
        put = back->pos.y - ball.pos.y;
        ball = *back;
      }
    }
  }
  ball.pos.x += ball.vel.x * 0.001f;
  ball.pos.y += ball.vel.y * 0.001f;
  return put;
}

void ball_follower::show() {
  ball_ = foreseen_;
  ball_.pos = {foreseen_.pos.x - owed_.x, foreseen_.pos.y - owed_.y};
}

void ball_follower::correct(const snapshot& s, std::chrono::duration<float> age, common::steady_time now,
                            const pads& p) {
  running_ = s.running && !s.ball_still;
  // The pace over half a second or more; a ball that stands (a pause, a lost ball's 2 s) tells none.
  if (!running_) {
    paced_since_.reset();
  } else if (!paced_since_) {
    paced_since_.emplace(s.ticks, now);
  } else if (const auto spent = std::chrono::duration<float, std::milli>(now - paced_since_->second);
             spent >= std::chrono::milliseconds(500)) {
    pace_ = std::clamp(static_cast<float>(s.ticks - paced_since_->first) / spent.count(), 0.2f, 1.0f);
    paced_since_.emplace(s.ticks, now);
  }
  // The host's ball as it left, run on for the ticks it has had since, over the bricks it had then.
  const common::vector shown = ball_.pos;
  foreseen_.pos = s.ball_pos;
  foreseen_.vel = s.ball_vel;
  foreseen_.owner = s.owner;
  left_ = told_;
  ticks_due_ = 0.0f;
  if (running_) {
    const auto ticks = std::lround(std::chrono::duration<float, std::milli>(age).count() * pace_);
    for (long i = 0; i < ticks; ++i) tick(foreseen_, left_, p);
  }
  // The host put its ball somewhere: a serve (from beyond a loss line to the middle) shows at once; a pad's
  // late return, a cell or two, glides like any correction.
  const bool jumped = jumps_.has_value() && *jumps_ != s.jumps;
  jumps_ = s.jumps;
  owed_ = {foreseen_.pos.x - shown.x, foreseen_.pos.y - shown.y};
  if (jumped && length(owed_) > blend_within) owed_ = {};
  show();
}

void ball_follower::step(const pads& p) {
  if (running_) {
    // A pad that came under the ball beyond its line puts it back on the line at once; here it glides there.
    for (ticks_due_ += pace_; ticks_due_ >= 1.0f; ticks_due_ -= 1.0f) owed_.y += tick(foreseen_, left_, p);
  } else if (length(owed_) < 1.0e-4f) {  // far below a pixel: settle exactly where the host's stands
    owed_ = {};
  }
  common::vector share{owed_.x * 0.05f, owed_.y * 0.05f};
  const float size = length(share);
  const float most = length(owed_) > blend_within ? catch_up_a_millisecond : most_a_millisecond;
  if (size > most) share = {share.x * most / size, share.y * most / size};
  owed_.x -= share.x;
  owed_.y -= share.y;
  show();
}

// ---------------------------------------------------------------------------------------------------------

float pad_lead(const steering& keys, std::chrono::duration<float> round_trip) {
  const float way = static_cast<float>(keys.right) - static_cast<float>(keys.left);
  const float half = std::min(round_trip.count() / 2.0f, std::chrono::duration<float>(longest_lead).count());
  return way * pad_speed * std::max(half, 0.0f);
}

void own_pad::remember(const steering& keys, common::steady_time now) {
  history_[next_] = {now, pad_.pos.x + owed_, keys};
  next_ = (next_ + 1) % remembered;
  count_ = std::min(count_ + 1, remembered);
}

void own_pad::put(const common::pad_type& pad, common::steady_time now) {
  pad_ = pad;
  owed_ = 0.0f;
  count_ = 0;
  astray_since_.reset();
  remember({}, now);
}

void own_pad::sample(const steering& keys, common::steady_time now) {
  if (!placed()) return;
  // As the input thread takes a host's keys: the left one first.
  if (keys.left) pad_.pos.x = state::pad_step_from(pad_.pos.x, pad_.width, common::direction::L);
  if (keys.right) pad_.pos.x = state::pad_step_from(pad_.pos.x, pad_.width, common::direction::R);
  remember(keys, now);
}

void own_pad::check(float host_x, std::chrono::duration<float> round_trip, common::steady_time now) {
  if (!placed()) return;
  const auto then = now - std::chrono::duration_cast<common::steady_time::duration>(round_trip);
  const auto from = then - leeway, to = then + leeway;
  // The host's pad is compared with where it should be by each position told within the leeway, and the
  // last one told before it; the closest counts. None that old: the host's pad is not led from here yet.
  std::optional<float> closest;
  for (std::size_t i = 0; i < count_; ++i) {
    const moment& m = history_[(next_ + remembered - 1 - i) % remembered];
    if (m.when > to) continue;
    const float expected = state::pad_within(m.x + pad_lead(m.keys, round_trip), pad_.width);
    const float off = host_x - expected;
    if (!closest || std::abs(off) < std::abs(*closest)) closest = off;
    if (m.when <= from) break;
    if (i + 1 == count_) closest.reset();  // the history begins within the leeway: too young to judge
  }
  if (!closest) return;
  if (std::abs(*closest) <= tolerance) {
    astray_since_.reset();
    return;
  }
  const bool right = *closest > 0.0f;
  if (!astray_since_ || astray_right_ != right) {
    astray_since_ = now;
    astray_right_ = right;
    return;
  }
  if (now - *astray_since_ < lasting) return;
  // From now on the host's pad is expected where it stands: the past positions are taken as corrected too,
  // so that the snapshots still to come from before the correction do not ask for it again.
  owed_ += *closest;
  for (moment& m : history_) m.x += *closest;
  astray_since_.reset();
  ++corrections_;
}

void own_pad::step() {
  if (owed_ == 0.0f) return;
  float share = std::clamp(owed_ * 0.05f, -most_a_millisecond, most_a_millisecond);
  if (std::abs(owed_) < 1.0e-3f) share = owed_;  // far below a pixel: the rest at once
  const float was = pad_.pos.x;
  pad_.pos.x = state::pad_within(was + share, pad_.width);
  // At a side the rest of a correction that way is moot.
  owed_ = pad_.pos.x == was + share ? owed_ - share : 0.0f;
}

// ---------------------------------------------------------------------------------------------------------

guest_mirror::guest_mirror(state::board_monitor& board, state::players_monitor& players,
                           sound::event_channel* events, common::clock& clock)
    : board_(board), players_(players), events_(events), clock_(clock) {}

void guest_mirror::apply(const brick_change& c) {
  board_.set_brick(c.cell % side + 1, c.cell / side + 1, c.brick);
  ball_.brick(c.cell, c.brick);
  change_ = c.change;
}

void guest_mirror::show_game_time(std::uint32_t game_time, std::chrono::system_clock::time_point wall) {
  if (game_time == no_game_time) return;
  const auto started = wall - std::chrono::milliseconds(game_time);
  // The game time shown counts on by this computer's clock; a snapshot only sets it right when it is off
  // by more than the network's jitter.
  if (started_ && std::chrono::abs(started - *started_) <= std::chrono::milliseconds(250)) return;
  started_ = started;
  board_.set_started(std::chrono::time_point_cast<std::chrono::system_clock::duration>(started));
}

void guest_mirror::take(const host_message& m, std::chrono::duration<float> round_trip,
                        std::chrono::system_clock::time_point wall) {
  // Every message a host sends has its overload of `show`: one added without it does not build.
  std::visit([&](const auto& message) { show(message, round_trip, wall); }, m);
}

void guest_mirror::show(const welcome&, std::chrono::duration<float>, std::chrono::system_clock::time_point) {
}
void guest_mirror::show(const goodbye&, std::chrono::duration<float>, std::chrono::system_clock::time_point) {
}

void guest_mirror::show(const whole_board& b, std::chrono::duration<float>,
                        std::chrono::system_clock::time_point wall) {
  board_.set_brick_matrix(b.bricks);
  ball_.bricks(b.bricks);
  change_ = b.change;
  board_change_ = b.change;
  // A whole board resent on a bad line may come after the first snapshots of its own game: what moves is
  // then newer in them.
  if (snapshot_change_ && *snapshot_change_ >= b.change) return;
  pad1_ = b.pad1;
  own_.put(b.pad2, clock_.now());
  board_.set_pads(pad1_, own_.pad());
  ball_.put(b.ball);
  board_.ball_change(ball_.ball());
  b.running ? board_.start() : board_.stop();
  players_.set_points(b.points1, b.points2);
  started_.reset();
  show_game_time(b.game_time, wall);
}

void guest_mirror::show(const snapshot& s, std::chrono::duration<float> round_trip,
                        std::chrono::system_clock::time_point wall) {
  // Before the first whole board the pads' look is unknown; a snapshot of a game before the board's
  // (overtaken by the board on the other channel) is old news.
  if (!board_change_ || s.change < *board_change_) return;
  snapshot_change_ = s.change;
  host_jumps_ = s.jumps;
  const common::steady_time now = clock_.now();
  pad1_.pos.x = s.pad1_x;
  own_.check(s.pad2_x, round_trip, now);
  board_.set_pads(pad1_, own_.pad());
  s.running ? board_.start() : board_.stop();
  // The repeated changes are taken only in order: after a gap the reliable ones fill it first. Taken before
  // the ball, which is run on over the bricks the host had when the snapshot left.
  for (std::size_t i = 0; i < s.recent_count; ++i)
    if (s.recent[i].change == change_ + 1) apply(s.recent[i]);
  ball_.correct(s, std::min<std::chrono::duration<float>>(round_trip, believed_round_trip) / 2.0f, now,
                {pad1_, own_.pad()});
  board_.ball_change(ball_.ball());
  players_.set_points(s.points1, s.points2);
  show_game_time(s.game_time, wall);
}

void guest_mirror::show(const brick_change& c, std::chrono::duration<float>,
                        std::chrono::system_clock::time_point) {
  if (c.change > change_) apply(c);
}

void guest_mirror::show(const points& p, std::chrono::duration<float>,
                        std::chrono::system_clock::time_point) {
  players_.set_points(p.points1, p.points2);
}

void guest_mirror::show(const info& line, std::chrono::duration<float>,
                        std::chrono::system_clock::time_point) {
  board_.set_info(line.view());
}

void guest_mirror::show(const sound::game_event& e, std::chrono::duration<float>,
                        std::chrono::system_clock::time_point) {
  if (events_ != nullptr) events_->record(e);
}

void guest_mirror::step() {
  if (!board_change_) return;
  ball_.step({pad1_, own_.pad()});
  board_.ball_change(ball_.ball());
  if (own_.owed() == 0.0f) return;
  own_.step();
  board_.set_pads(pad1_, own_.pad());
}

void guest_mirror::steer(const steering& keys, common::steady_time now) {
  if (!own_.placed()) return;
  const float was = own_.pad().pos.x;
  own_.sample(keys, now);
  if (own_.pad().pos.x != was) board_.set_pads(pad1_, own_.pad());
}

steering guest_mirror::told(steering keys) const {
  keys.pad_x = own_.pad().pos.x;
  keys.board = board_change_.value_or(no_board);
  return keys;
}

}  // namespace net
