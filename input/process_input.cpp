#include "input/process_input.hpp"

namespace input {

namespace {

constexpr std::string_view input_error_prefix = "Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: ";

}  // namespace

void keyboard_monitor::set_key_down(unsigned char key) {
  std::scoped_lock lock(mutex_);
  keyboard_[key] = true;
}

void keyboard_monitor::set_key_up(unsigned char key) {
  std::scoped_lock lock(mutex_);
  keyboard_[key] = false;
}

bool keyboard_monitor::is_key_down(unsigned char key) const {
  std::scoped_lock lock(mutex_);
  return keyboard_[key];
}

void sample(const world& w) {
  using common::control_config;
  using common::direction;
  // The preset is read afresh before every key test, so a menu change takes effect within the sample.
  if (w.moves_pads) {
    if (w.keys.is_key_down(control_config[w.players.get1()].left)) w.board.pad1_go(direction::L);
    if (w.keys.is_key_down(control_config[w.players.get1()].right)) w.board.pad1_go(direction::R);
    if (w.keys.is_key_down(control_config[w.players.get2()].left)) w.board.pad2_go(direction::L);
    if (w.keys.is_key_down(control_config[w.players.get2()].right)) w.board.pad2_go(direction::R);
  }
  if (w.keys.is_key_down('+')) w.view.distance_change(-0.2);
  if (w.keys.is_key_down('=')) w.view.distance_change(-0.2);
  if (w.keys.is_key_down('-')) w.view.distance_change(+0.2);
}

input_thread::input_thread(world w, runtime_log::sink& log, common::clock& clock, common::sleeper& sleeper)
    : world_(w), log_(log), clock_(clock), sleeper_(sleeper) {}

void input_thread::launch() {
  common::start_thread(thread_, "input", [this](std::stop_token stop) { run(stop); });
}

bool input_thread::start() { return box_.call(true); }

void input_thread::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    // Set when the thread begins, so the first sample is taken at once after `start`.
    common::steady_time next = clock_.now();
    if (box_.accept(stop, [](bool) {}) != common::accepted::request) return;
    while (!stop.stop_requested()) {
      sleeper_.sleep_until(next);
      sample(world_);
      samples_.fetch_add(1, std::memory_order_relaxed);
      // From the end of the sample: lateness is never caught up.
      next = clock_.now() + common::input_clock;
    }
  } catch (...) {
    log_.error(common::error_line(input_error_prefix));
  }
}

}  // namespace input
