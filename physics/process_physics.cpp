#include "physics/process_physics.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace physics {

namespace {

// Pad lines: beyond them the ball is tested against a pad, and a returned ball is put back on them.
constexpr float pad1_line = 0.5f;
constexpr float pad2_line = 19.5f;
// Loss lines: beyond them the player at that end has dropped the ball.
constexpr float red_loss_line = -1.5f;
constexpr float green_loss_line = 21.5f;

std::int32_t index_of(float coordinate, const char* axis) {
  const float below = std::floor(coordinate);
  // Both bounds are exact in single precision; a NaN fails the test too.
  if (!(below >= -2147483648.0f && below < 2147483648.0f))
    throw std::overflow_error(std::string("ball position ") + axis + " = " + std::to_string(coordinate) +
                              " has no cell on a 32-bit board");
  return static_cast<std::int32_t>(below) + 1;
}

// The pad covers the open interval of its width around its centre.
bool over_pad(const common::pad_type& pad, float x) {
  const float half = 0.5f * pad.width;
  return pad.pos.x - half < x && x < pad.pos.x + half;
}

// A dropped ball: the penalty, then either the end of the game or a pause and a new serve.
void charge_dropped_ball(const world& w, side loser, common::vector where) {
  const bool red = loser == side::red;
  if (red)
    w.players.add1(common::ball_penalty);
  else
    w.players.add2(common::ball_penalty);
  tell(w, {sound::event_kind::ball_lost, red ? common::ball_owner::PLAYER1 : common::ball_owner::PLAYER2, 0,
           where});
  // Exactly 0 points is still in the game.
  if ((red ? w.players.r1() : w.players.r2()) < 0) {
    w.board.stop();
    w.board.set_info(red ? "Wygra\xB3 Gracz zielony !" : "Wygra\xB3 Gracz czerwony !");
    return;
  }
  const std::string penalty = common::image(common::ball_penalty);
  w.board.set_info(red ? "Gracz czerwony traci: " + penalty + "punktow"
                       : "Gracz zielony traci: " + penalty + "punkt\xF3w");
  w.log.info(std::string(red ? "Gracz czerwony" : "Gracz zielony") +
             " upuscil kulke, straci\xB3 wiec: " + penalty + " punktow");
  // No lock is held meanwhile: the pads move and the scene is drawn during the pause.
  w.pause.sleep_for(lost_ball_pause);
  w.board.set_info("");
  w.board.reset_ball();
  w.log.info("Kulka zostala zresetowana");
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Helpers

void tell(const world& w, const sound::game_event& event) noexcept {
  if (w.events != nullptr) w.events->record(event);
}

float mantisa(float x) {
  const float fraction = x - std::floor(x);
  // A tiny negative x rounds up to a whole 1 in single precision: keep the fraction inside its cell.
  return fraction >= 1.0f ? std::nextafter(1.0f, 0.0f) : fraction;
}

bool check_rad(float a, float b, float c, float d) {
  const float dx = a - c;
  const float dy = b - d;
  return dx * dx + dy * dy < 0.25f;  // the ball's radius, 0.5, squared
}

float sqrt(float x) {
  if (!(x >= 0.0f)) throw std::domain_error("sqrt of " + std::to_string(x) + ", which is not a number >= 0");
  return std::sqrt(x);
}

float upspeed(float v) {
  const float a = std::fabs(v);
  const float gap = sqrt(common::ball_velocity_limit) - sqrt(a);
  // The limit is approached, never reached: the step shrinks as the speed nears it.
  return (v / a) * (a + 0.05f * (gap * gap));
}

cell cell_of(common::vector pos) {
  return {index_of(pos.x, "x"), index_of(pos.y, "y")};
}

// ---------------------------------------------------------------------------------------------------------
// Bricks

void destroy_brick(const world& w, std::int32_t column, std::int32_t row, const common::ball_type& ball) {
  common::brick struck = w.board.get_brick_matrix_state().at(row, column);
  // A cell emptied by a new game since the contact was found keeps stale fields: nothing to write off.
  if (!struck.exists) return;
  const common::vector centre{static_cast<float>(column) - 0.5f, static_cast<float>(row) - 0.5f};
  if (!struck.destructible) {  // firm bricks only turn the ball
    tell(w, {sound::event_kind::firm_struck, ball.owner, 0, centre});
    return;
  }
  try {
    w.log.info("Zniszczono kostke: [" + common::image(column) + "," + common::image(row) + "], warta " +
               common::image(struck.points) + " punkow");
    switch (ball.owner) {
      case common::ball_owner::PLAYER1:
        w.players.add1(struck.points);
        break;
      case common::ball_owner::PLAYER2:
        w.players.add2(struck.points);
        break;
      case common::ball_owner::NONE:  // no pad has touched this serve yet
        break;
    }
    struck.exists = false;
    w.board.set_brick(column, row, struck);
    tell(w, {sound::event_kind::brick_destroyed, ball.owner, struck.points, centre});
  } catch (...) {
    w.log.error(common::error_line(destroy_brick_error_prefix));
  }
}

contacts brick_contacts(const brick_lookup& exists, const common::ball_type& ball, cell at) {
  using common::direction;
  contacts c;
  const std::int32_t x = at.column;
  const std::int32_t y = at.row;
  const auto strike = [&c](std::int32_t column, std::int32_t row) { c.struck[c.count++] = {column, row}; };
  // Where the centre lies inside its own cell, and the velocity as it was at the start of the tick.
  const float fx = mantisa(ball.pos.x);
  const float fy = mantisa(ball.pos.y);
  const bool right = ball.vel.x > 0.0f;  // a component of exactly 0 counts with the negative side
  const bool up = ball.vel.y > 0.0f;

  // Across: only the side the ball moves towards. Strict: a centre in the middle of its cell touches
  // neither.
  bool across = false;
  if (right) {
    if (exists(x + 1, y) && fx > 0.5f) {
      c.hits[direction::L] = across = true;
      strike(x + 1, y);
    }
  } else if (exists(x - 1, y) && fx < 0.5f) {
    c.hits[direction::R] = across = true;
    strike(x - 1, y);
  }

  // Along, likewise.
  bool along = false;
  if (up) {
    if (exists(x, y + 1) && fy > 0.5f) {
      c.hits[direction::D] = along = true;
      strike(x, y + 1);
    }
  } else if (exists(x, y - 1) && fy < 0.5f) {
    c.hits[direction::U] = along = true;
    strike(x, y - 1);
  }

  // A corner only when no side was struck: the one ahead in both directions, touched when its corner point
  // lies strictly inside the ball.
  if (!across && !along) {
    const direction away =
        right ? (up ? direction::LD : direction::LU) : (up ? direction::RD : direction::RU);
    const std::int32_t column = right ? x + 1 : x - 1;
    const std::int32_t row = up ? y + 1 : y - 1;
    if (exists(column, row) && check_rad(fx, fy, right ? 1.0f : 0.0f, up ? 1.0f : 0.0f)) {
      c.hits[away] = true;
      strike(column, row);
    }
  }
  return c;
}

void wykrywanie_klockow(const world& w, const common::ball_type& ball, cell at) {
  try {
    const contacts touched = brick_contacts(
        [&w](std::int32_t column, std::int32_t row) { return w.board.brick_exists(column, row); }, ball, at);
    for (std::size_t i = 0; i < touched.count; ++i)
      destroy_brick(w, touched.struck[i].column, touched.struck[i].row, ball);
    w.board.ball_bounce(touched.hits);
  } catch (...) {
    w.log.error(common::error_line(brick_phase_error_prefix));
  }
}

// ---------------------------------------------------------------------------------------------------------
// Pads and lost balls

side beyond_pad_line(const common::ball_type& ball) {
  return ball.pos.y < pad1_line ? side::red : ball.pos.y > pad2_line ? side::green : side::none;
}

side beyond_loss_line(const common::ball_type& ball) {
  return ball.pos.y < red_loss_line ? side::red : ball.pos.y > green_loss_line ? side::green : side::none;
}

std::optional<common::ball_type> pad_return(const common::ball_type& ball, const common::pad_type& pad,
                                            side end) {
  if (end == side::none || !over_pad(pad, ball.pos.x)) return std::nullopt;
  const bool red = end == side::red;
  common::ball_type back = ball;
  back.vel.y = upspeed(red ? std::fabs(ball.vel.y) : -std::fabs(ball.vel.y));
  back.vel.x = ball.vel.x + (ball.pos.x - pad.pos.x) * common::pad_roundness_level / pad.width;
  back.owner = red ? common::ball_owner::PLAYER1 : common::ball_owner::PLAYER2;
  back.pos.y = red ? pad1_line : pad2_line;
  return back;
}

void wykrywanie_padow(const world& w, const common::ball_type& ball) {
  try {
    // The direction of travel is not looked at: beyond a line and over the pad is a return. The returned
    // ball sits exactly on the line, which the strict tests no longer count as beyond.
    const side end = beyond_pad_line(ball);
    if (end == side::none) return;
    const common::pad_type pad = end == side::red ? w.board.get_pad1() : w.board.get_pad2();
    if (const std::optional<common::ball_type> back = pad_return(ball, pad, end)) {
      w.board.ball_change(*back);
      tell(w, {sound::event_kind::pad_return, back->owner, 0, back->pos});
    }
  } catch (...) {
    w.log.error(common::error_line(pad_phase_error_prefix));
  }
}

void wykrywanie_przegranej(const world& w) {
  const common::ball_type ball = w.board.get_ball();
  try {
    if (const side dropped = beyond_loss_line(ball); dropped != side::none)
      charge_dropped_ball(w, dropped, ball.pos);
  } catch (...) {
    w.log.error(common::error_line(loss_phase_error_prefix));
  }
}

// ---------------------------------------------------------------------------------------------------------
// The tick and the thread

bool tick(const world& w) {
  if (!w.board.enabled()) return false;
  const common::ball_type ball = w.board.get_ball();
  const cell at = cell_of(ball.pos);
  wykrywanie_klockow(w, ball, at);
  // Read again, so that the pads see the bounced velocity.
  wykrywanie_padow(w, w.board.get_ball());
  wykrywanie_przegranej(w);
  w.board.ball_step();
  return true;
}

void tick_period(const world& w, common::clock& clock, common::sleeper& sleeper) {
  // Taken before the work, so the work does not stretch the period.
  const common::steady_time next = clock.now() + common::physics_clock;
  if (tick(w))
    sleeper.sleep_until(next);
  else
    sleeper.rest_until(next);
}

physics_thread::physics_thread(world w, common::clock& clock, common::sleeper& sleeper)
    : world_(w), clock_(clock), sleeper_(sleeper) {}

void physics_thread::launch() {
  running_.store(true, std::memory_order_release);
  common::start_thread(thread_, "physics", [this](std::stop_token stop) { run(stop); });
}

bool physics_thread::init() {
  return box_.call(request::init);
}
bool physics_thread::start() {
  return box_.call(request::start);
}

void physics_thread::run(std::stop_token stop) {
  struct end_mark {
    std::atomic<bool>& running;
    ~end_mark() { running.store(false, std::memory_order_release); }
  } mark{running_};
  common::box_closer closer(box_);
  try {
    const auto only = [](request wanted) { return [wanted](request r) { return r == wanted; }; };
    const auto nothing = [](request) {};
    // A `start` that comes first waits in the box until the board has been reset.
    if (box_.accept(stop, only(request::init), nothing) != common::accepted::request) return;
    world_.board.reset();
    tell(world_, {sound::event_kind::new_game, common::ball_owner::NONE, 0, common::initial_ball_pos});
    if (box_.accept(stop, only(request::start), nothing) != common::accepted::request) return;
    box_.close();  // from now on requests are refused at once instead of waiting for ever
    // On a busy machine a woken physics thread then runs at once instead of waiting for another's slice.
    common::ask_for_short_slices();
    while (!stop.stop_requested()) {
      tick_period(world_, clock_, sleeper_);
      ticks_.fetch_add(1, std::memory_order_relaxed);
    }
  } catch (...) {
    try {
      world_.log.error(common::error_line(thread_error_prefix));
    } catch (...) {
      // Nobody is left to tell; the thread ends all the same, and the process with it must not.
    }
  }
}

}  // namespace physics
