#include "graphics/gl_draw.hpp"

#include <stdexcept>

// Scaffold: replaced by the drawing work.
namespace gl_draw {

std::string time_text(std::chrono::duration<double>) { throw std::logic_error("drawing not built yet"); }
void string_draw(bool) {}
void draw_string(std::string_view) {}
void draw_time(std::string_view, std::chrono::duration<double>) {}
void draw_floor() {}
void draw_ball(const common::ball_type&) {}
void draw_pad(const common::pad_type&) {}
void draw_brick(const common::brick&) {}
void draw_all_bricks(const board::brick_matrix&) {}

}  // namespace gl_draw
