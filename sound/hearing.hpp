// Where on the board a sound is heard from, as the player sees the board: a point of the board is found
// where the drawing puts it on the screen, for the camera the player has turned and zoomed, and heard from
// that side. A point on the left of the view sounds on the left; a farther camera sounds quieter.
//
// The camera is the drawing's own (state/camera.hpp); the view's edges are heard `widest` to the side, which
// a pair of speakers can tell apart.
//
// Thread use: a plain function over values; any thread.
#pragma once

#include <numbers>

#include "common/common_data.hpp"
#include "state/camera.hpp"
#include "state/game_state.hpp"

namespace sound {

// A direction in the listener's level plane, x to the right and z to the back (straight ahead is
// (0, -1)), and how loud the distance leaves a sound, 0..1.
struct heard {
  float x = 0.0f;
  float z = -1.0f;
  float gain = 1.0f;
};

inline constexpr float widest = std::numbers::pi_v<float> / 3;  // 60 degrees

// How far the board's centre is from the camera of a fresh game; from there on out sounds grow quieter.
float usual_distance();

// `where` is a point of the board, in cells.
heard heard_from(common::vector where, const state::user_view_type& view);

}  // namespace sound
