#include "state/game_state.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace state {

namespace {

using common::direction;

// Points wrap like the 32-bit integers they are instead of overflowing into undefined behaviour.
std::int32_t plus(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr float board_side = static_cast<float>(common::rozmiar_planszy);

common::pad_type pad_at(common::color_type color, float y) {
  return {color, 6.0f, {10.0f, y}};
}

}  // namespace

float pad_step_from(float x, float width, direction d) {
  const float h = 0.5f * width;
  const float s = common::pad_step;
  if (d == direction::L) {
    if (x > h + s + 1.0f) return x - s;
    if (x > h + 1.0f) return h + 1.0f;
  } else if (d == direction::R) {
    if (x < board_side - (h + s) - 1.0f) return x + s;
    if (x < board_side - h - 1.0f) return board_side - h - 1.0f;
  }
  return x;
}

float pad_within(float x, float width) {
  const float h = 0.5f * width;
  return std::max(h + 1.0f, std::min(x, board_side - h - 1.0f));
}

common::vector bounced(common::vector vel, const common::dir_change& change) {
  float& vx = vel.x;
  float& vy = vel.y;
  // The axis entries force one component's sign; the diagonals set vx from vy (they do not swap).
  if (change[direction::L]) vx = -std::fabs(vx);
  if (change[direction::R]) vx = std::fabs(vx);
  if (change[direction::U]) vy = std::fabs(vy);
  if (change[direction::D]) vy = -std::fabs(vy);
  if (change[direction::LD]) vx = -vy;
  if (change[direction::RD]) vx = vy;
  if (change[direction::LU]) vx = vy;
  if (change[direction::RU]) vx = -vy;
  return vel;
}

board_monitor::board_monitor(runtime_log::sink& log, std::string boards_dir, std::uint64_t serve_seed,
                             board::brick_generator::seed_source bricks)
    : log_(log), boards_dir_(std::move(boards_dir)), boolgen_(serve_seed), generator_(std::move(bricks)) {}

std::chrono::system_clock::time_point board_monitor::started() const {
  std::scoped_lock lock(mutex_);
  return started_;
}

board::brick_matrix board_monitor::get_brick_matrix_state() const {
  std::scoped_lock lock(mutex_);
  return matrix_;
}

common::pad_type board_monitor::get_pad1() const {
  std::scoped_lock lock(mutex_);
  return pad1_;
}

common::pad_type board_monitor::get_pad2() const {
  std::scoped_lock lock(mutex_);
  return pad2_;
}

common::ball_type board_monitor::get_ball() const {
  std::scoped_lock lock(mutex_);
  return ball_;
}

bool board_monitor::enabled() const {
  std::scoped_lock lock(mutex_);
  return enabled_;
}

void board_monitor::pad1_go(direction d) {
  std::scoped_lock lock(mutex_);
  pad1_.pos.x = pad_step_from(pad1_.pos.x, pad1_.width, d);
}

void board_monitor::pad2_go(direction d) {
  std::scoped_lock lock(mutex_);
  pad2_.pos.x = pad_step_from(pad2_.pos.x, pad2_.width, d);
}

bool board_monitor::put_pad2(float x, std::chrono::system_clock::time_point game) {
  std::scoped_lock lock(mutex_);
  if (game != started_) return false;
  pad2_.pos.x = pad_within(x, pad2_.width);
  return true;
}

void board_monitor::ball_step() {
  std::scoped_lock lock(mutex_);
  ball_.pos.x += ball_.vel.x * 0.001f;
  ball_.pos.y += ball_.vel.y * 0.001f;
}

void board_monitor::ball_change(const common::ball_type& ball) {
  std::scoped_lock lock(mutex_);
  ball_ = ball;
}

void board_monitor::ball_bounce(const common::dir_change& change) {
  std::scoped_lock lock(mutex_);
  ball_.vel = bounced(ball_.vel, change);
}

void board_monitor::serve() {
  ball_.pos = common::initial_ball_pos;
  ball_.vel = common::initial_ball_vel;
  if (std::bernoulli_distribution()(boolgen_)) ball_.vel.y = -ball_.vel.y;  // a fair coin: towards pad 1
  ball_.owner = common::ball_owner::NONE;
}

void board_monitor::reset_ball() {
  std::scoped_lock lock(mutex_);
  serve();
}

void board_monitor::stop() {
  std::scoped_lock lock(mutex_);
  enabled_ = false;
}

void board_monitor::start() {
  std::scoped_lock lock(mutex_);
  enabled_ = true;
}

void board_monitor::set_brick(int column, int row, const common::brick& brick) {
  std::scoped_lock lock(mutex_);
  matrix_.at(row, column) = brick;
}

bool board_monitor::brick_exists(int column, int row) const {
  std::scoped_lock lock(mutex_);
  return board::brick_matrix::on_board(row, column) && matrix_(row, column).exists;
}

void board_monitor::set_info(std::string_view text) {
  std::scoped_lock lock(mutex_);
  info_text_.assign(text);
}

std::string board_monitor::get_info() const {
  std::scoped_lock lock(mutex_);
  return info_text_;
}

void board_monitor::set_network_line(std::string_view text) {
  std::scoped_lock lock(mutex_);
  network_line_.assign(text);
}

std::string board_monitor::message_line() const {
  std::scoped_lock lock(mutex_);
  return info_text_.empty() ? network_line_ : info_text_;
}

void board_monitor::set_pads(const common::pad_type& pad1, const common::pad_type& pad2) {
  std::scoped_lock lock(mutex_);
  pad1_ = pad1;
  pad2_ = pad2;
}

void board_monitor::set_brick_matrix(const board::brick_matrix& matrix) {
  std::scoped_lock lock(mutex_);
  matrix_ = matrix;
}

void board_monitor::set_started(std::chrono::system_clock::time_point started) {
  std::scoped_lock lock(mutex_);
  started_ = started;
}

void board_monitor::reset() {
  std::scoped_lock lock(mutex_);
  info_text_.clear();
  board::brick_place_availability map;
  board::loadpatternfromfile(map, boards_dir_ + common::board_pattern.name(), log_);
  generator_.generate_new_brick_matrix(matrix_, map, log_);
  pad1_ = pad_at(common::make_color(0.6f, 0.2f, 0.2f), -0.5f);
  pad2_ = pad_at(common::make_color(0.2f, 0.6f, 0.2f), 20.5f);
  ball_.color = common::make_color(1.0f, 1.0f, 0.0f);
  serve();
  enabled_ = true;
  started_ = std::chrono::system_clock::now();
}

// ---------------------------------------------------------------------------------------------------------

common::key_preset players_monitor::get1() const {
  std::scoped_lock lock(mutex_);
  return preset1_;
}

common::key_preset players_monitor::get2() const {
  std::scoped_lock lock(mutex_);
  return preset2_;
}

void players_monitor::set1(common::key_preset p) {
  std::scoped_lock lock(mutex_);
  preset1_ = p;
}

void players_monitor::set2(common::key_preset p) {
  std::scoped_lock lock(mutex_);
  preset2_ = p;
}

void players_monitor::add1(std::int32_t n) {
  std::scoped_lock lock(mutex_);
  points1_ = plus(points1_, n);
}

void players_monitor::add2(std::int32_t n) {
  std::scoped_lock lock(mutex_);
  points2_ = plus(points2_, n);
}

std::int32_t players_monitor::r1() const {
  std::scoped_lock lock(mutex_);
  return points1_;
}

std::int32_t players_monitor::r2() const {
  std::scoped_lock lock(mutex_);
  return points2_;
}

void players_monitor::reset_players() {
  std::scoped_lock lock(mutex_);
  points1_ = 1000;
  points2_ = 1000;
}

void players_monitor::set_points(std::int32_t points1, std::int32_t points2) {
  std::scoped_lock lock(mutex_);
  points1_ = points1;
  points2_ = points2;
}

// ---------------------------------------------------------------------------------------------------------

user_view_type view_monitor::get() const {
  std::scoped_lock lock(mutex_);
  return view_;
}

void view_monitor::angle_change(float a, float b) {
  std::scoped_lock lock(mutex_);
  view_.tilt += a;
  view_.turn += b;
}

void view_monitor::distance_change(double d) {
  std::scoped_lock lock(mutex_);
  view_.distance += d;
}

}  // namespace state
