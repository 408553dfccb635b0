#include "physics/process_physics.hpp"

// Scaffold: replaced by the physics work (the thread reports that it has ended).
namespace physics {

float mantisa(float) { throw std::logic_error("physics not built yet"); }
bool check_rad(float, float, float, float) { throw std::logic_error("physics not built yet"); }
float sqrt(float) { throw std::logic_error("physics not built yet"); }
float upspeed(float) { throw std::logic_error("physics not built yet"); }
void wykrywanie_klockow(const world&, const common::ball_type&) { throw std::logic_error("physics not built yet"); }
void destroy_brick(const world&, std::int32_t, std::int32_t, const common::ball_type&) {
  throw std::logic_error("physics not built yet");
}
void wykrywanie_padow(const world&, const common::ball_type&) { throw std::logic_error("physics not built yet"); }
void wykrywanie_przegranej(const world&) { throw std::logic_error("physics not built yet"); }
void tick(const world&) { throw std::logic_error("physics not built yet"); }

physics_thread::physics_thread(world w, common::clock& clock, common::sleeper& sleeper)
    : world_(w), clock_(clock), sleeper_(sleeper) {}
void physics_thread::launch() {
  common::start_thread(thread_, [this](std::stop_token stop) { run(stop); });
}
bool physics_thread::init() { return box_.call(request::init); }
bool physics_thread::start() { return box_.call(request::start); }
void physics_thread::run(std::stop_token) { box_.close(); }

}  // namespace physics
