#include "graphics/process_graphics.hpp"

// Scaffold: replaced by the window work (the thread reports that it has ended).
namespace graphics {

graphics_thread::graphics_thread(world w, int& argc, char** argv) : world_(w), argc_(argc), argv_(argv) {}
void graphics_thread::launch() {
  common::start_thread(thread_, [this](std::stop_token stop) { run(stop); });
}
bool graphics_thread::start() { return box_.call(request::start); }
bool graphics_thread::wait_ready() { return box_.call(request::wait_ready); }
void graphics_thread::run(std::stop_token) { box_.close(); }

redraw_thread::redraw_thread(common::clock& clock, common::sleeper& sleeper) : clock_(clock), sleeper_(sleeper) {}
void redraw_thread::launch() {
  common::start_thread(thread_, [this](std::stop_token stop) { run(stop); });
}
bool redraw_thread::start() { return box_.call(true); }
void redraw_thread::run(std::stop_token) { box_.close(); }

void menu(int) {}

}  // namespace graphics
