// Drawing primitives of the scene and the heads-up text, in OpenGL immediate mode.
//
// Thread use: the graphics thread only, between the start and the end of a frame.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"

namespace gl_draw {

// 'HH:MM:SS' of a span rounded to whole seconds, modulo a day.
std::string time_text(std::chrono::duration<double> span);

void string_draw(bool on);
void draw_string(std::string_view text);
void draw_time(std::string_view label, std::chrono::duration<double> span);
void draw_floor();
void draw_ball(const common::ball_type& ball);
void draw_pad(const common::pad_type& pad);
void draw_brick(const common::brick& brick);
void draw_all_bricks(const board::brick_matrix& matrix);

}  // namespace gl_draw
