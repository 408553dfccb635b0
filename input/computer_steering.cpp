#include "input/computer_steering.hpp"

namespace computer {

namespace {

constexpr std::string_view computer_error_prefix = "Nastapil wyjatek w module autopilota, nazwa: ";

}  // namespace

void cycle(const world& w, common::random_source& random) {
  using common::pc_left;
  using common::pc_right;
  if (random.uniform() <= common::pc_fail_rate) {  // the computer errs: it lets go of both keys
    w.keys.set_key_up(pc_right);
    w.keys.set_key_up(pc_left);
    return;
  }
  const common::pad_type pad = w.board.get_pad2();
  const float ball_x = w.board.get_ball().pos.x;
  const float dead_zone = 0.25f * pad.width;  // bounds inside the zone
  if (ball_x < pad.pos.x - dead_zone) {
    w.keys.set_key_down(pc_left);
    w.keys.set_key_up(pc_right);
  } else if (ball_x > pad.pos.x + dead_zone) {
    w.keys.set_key_down(pc_right);
    w.keys.set_key_up(pc_left);
  } else {
    w.keys.set_key_up(pc_right);
    w.keys.set_key_up(pc_left);
  }
}

computer_thread::computer_thread(world w, runtime_log::sink& log, common::clock& clock,
                                 std::unique_ptr<common::random_source> random)
    : world_(w), log_(log), clock_(clock), random_(std::move(random)) {}

void computer_thread::launch() {
  common::start_thread(thread_, "computer", [this](std::stop_token stop) { run(stop); });
}

bool computer_thread::enable() {
  return box_.call(request::enable);
}
bool computer_thread::disable() {
  return box_.call(request::disable);
}

void computer_thread::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    if (!random_) random_ = std::make_unique<common::seeded_random>(common::clock_seed());
    request received = request::disable;
    const auto take = [&](request r) { received = r; };
    const auto any = [](request) { return true; };
    bool automatic = false;
    for (;;) {
      if (!automatic) {
        if (box_.accept(stop, take) != common::accepted::request) return;
        if (received == request::enable) {
          // Logged after the hand-over: the caller is already on its way.
          log_.info("Gracz zielony przelaczony na sterowanie automatyczne");
          automatic = true;
        }
        continue;
      }
      // The next cycle's time is set at the start of this one, so the cycle's work does not stretch it.
      const common::steady_time next = clock_.now() + common::pc_sampling_clock;
      cycle(world_, *random_);
      cycles_.fetch_add(1, std::memory_order_relaxed);
      if (box_.accept_until(stop, next, any, take) == common::accepted::closed) return;
      // Still Automatic, the last request taken was an enable: only a disable taken now can show here.
      if (received == request::disable) {
        log_.info("Gracz zielony przelaczony na sterowanie reczne");
        automatic = false;  // the keys stay as the last cycle left them
      }
      // An enable while Automatic, or the deadline: the next cycle starts at once.
    }
  } catch (...) {
    log_.error(common::error_line(computer_error_prefix));
  }
}

}  // namespace computer
