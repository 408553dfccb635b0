// Drawing primitives of the scene and the heads-up text, in OpenGL immediate mode, and the texts of the
// heads-up block.
//
// Units are board cells: the board covers 0..20 in x and y, z points up and the floor lies just below z = 0.
// A brick fills its unit cell up to z = 1 under a low roof; pads and the ball float with their centres at
// z = 0.5.
//
// Heads-up text is drawn in window pixels with freeglut's Helvetica 12 bitmap font, which covers ISO-8859-1.
// The game's texts are Windows-1250 bytes: the Polish letters that the two code pages place differently (ł,
// ś, ń) are drawn from freeglut's own base letter plus a mark of our own, so they keep the font's size,
// baseline and spacing; ó sits at the same byte in both and needs nothing.
//
// What never changes from frame to frame (a brick's box, a pad's cylinder, the ball) is
// drawn from display lists that hold the very calls that would draw it directly, so the picture is the same;
// a list is compiled again only when what it was compiled from changes.
//
// Thread use: the drawing functions on the graphics thread only, between the start and the end of a frame
// (they need the window's GL context). The text functions and `list_keys` are plain code, usable anywhere.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board/brick_matrix.hpp"
#include "common/common_data.hpp"

namespace gl_draw {

// ---------------------------------------------------------------------------------------------------------
// Texts of the heads-up block

inline constexpr std::string_view credit_line = "Autorzy: zesp\xF3\xB3 Multiplayer Tolvaran";
inline constexpr std::string_view program_time_label = "Czas od uruchomienia programu: ";
inline constexpr std::string_view game_time_label = "Czas biezacej rozgrywki: ";
// Shown for the game time while no game has begun yet.
inline constexpr std::string_view no_time_text = "--:--:--";

// 'HH:MM:SS' of a span rounded to whole seconds (halves away from zero), modulo a day: 90061.4 s gives
// '01:01:01' and -1 s gives '23:59:59'.
std::string time_text(std::chrono::duration<double> span);
// The label followed by the span's time text.
std::string time_line(std::string_view label, std::chrono::duration<double> span);
// The game time: since `started`, or no time at all while `started` is the zero time (no game yet).
std::string game_time_line(std::chrono::system_clock::time_point started,
                           std::chrono::system_clock::time_point now);

std::string title_line();                            // "Multiplayer Tolvaran 0.2"
std::string red_points_line(std::int32_t points);    // "Gracz czerwony:  600"
std::string green_points_line(std::int32_t points);  // "Gracz zielony: -500"
// The ball's speed rounded to a whole number, halves away from zero: "Predkosc kulki wynosi: 12". A speed
// without a 32-bit image (beyond the physics' limits, or not a number) is a std::range_error.
std::string speed_line(common::vector velocity);

// ---------------------------------------------------------------------------------------------------------
// Heads-up text

// Enters (true) or leaves (false) the text mode: lighting off, a pixel coordinate system with y growing
// down from the window's top-left corner and the pixel store the letters' marks are unpacked with; entering
// restarts the lines at the top. Entering twice or leaving
// twice does nothing.
void string_draw(bool on);
// One line of white text, 10 pixels from the left edge with its baseline 13 pixels below the previous line's
// (the first at 22). Bytes are Windows-1250.
void draw_string(std::string_view text);
// One line: the label followed by the span as 'HH:MM:SS'.
void draw_time(std::string_view label, std::chrono::duration<double> span);

// ---------------------------------------------------------------------------------------------------------
// Display lists kept between frames

// Which of N display lists holds the geometry made from a key, and whether it must be compiled first: a key
// already held reuses its list, a new key takes over the list used longest ago.
template <class Key, std::size_t N = 1>
class list_keys {
 public:
  struct choice {
    std::size_t list;  // 0 .. N-1
    bool compile;      // the list holds something else, or nothing yet
  };

  choice choose(const Key& key) {
    std::size_t oldest = 0;
    for (std::size_t i = 0; i < N; ++i) {
      if (keys_[i] == key) {
        used_[i] = ++uses_;
        return {i, false};
      }
      if (used_[i] < used_[oldest]) oldest = i;
    }
    keys_[oldest] = key;
    used_[oldest] = ++uses_;
    return {oldest, true};
  }
  // The lists went with their GL context: every key is compiled again.
  void forget() {
    keys_ = {};
    used_ = {};
  }

 private:
  std::array<std::optional<Key>, N> keys_{};
  std::array<std::uint64_t, N> used_{};
  std::uint64_t uses_ = 0;
};

// The current GL context is a new one: it holds none of the lists made on an earlier one.
void new_context();

// ---------------------------------------------------------------------------------------------------------
// The scene

void draw_floor();
void draw_ball(const common::ball_type& ball);
void draw_pad(const common::pad_type& pad);
// Every standing brick of the 400 cells, each in its colour.
void draw_all_bricks(const board::brick_matrix& matrix);

}  // namespace gl_draw
