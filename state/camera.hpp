// The camera the player turns and zooms, as one model that the drawing and the hearing both use: the
// window draws the board from it, and a sound is heard from where this camera shows its point.
//
// The eye stands at (d, d, d) for the view's distance d and looks at the board's centre (10, 10, 0), up
// along z, through a field of view of 20 degrees. The board is turned by `turn` about the vertical through
// its centre, then tilted by `tilt` about the horizontal axis (-1, 1, 0) through it; angles in degrees,
// counter-clockwise as seen from the axis' tip, as OpenGL turns.
//
// Thread use: constants and plain functions over values; any thread.
#pragma once

#include "state/game_state.hpp"

namespace state::camera {

struct point {
  double x = 0.0, y = 0.0, z = 0.0;
  friend constexpr bool operator==(const point&, const point&) = default;
};

inline constexpr point centre{10.0, 10.0, 0.0};
inline constexpr point up{0.0, 0.0, 1.0};
inline constexpr point turn_axis{0.0, 0.0, 1.0};
inline constexpr point tilt_axis{-1.0, 1.0, 0.0};  // not of unit length: OpenGL normalises it
inline constexpr double field_of_view = 20.0;      // degrees, top to bottom
inline constexpr double nearest = 0.1, farthest = 100.0;

point eye(const user_view_type& view);

// Where the drawing puts a point of the board (in cells; z above the board), in the world the eye looks at.
point placed(point on_board, const user_view_type& view);

// Vector arithmetic for the camera's users.
point operator+(point a, point b);
point operator-(point a, point b);
point operator*(double k, point a);
double dot(point a, point b);
point cross(point a, point b);
double length(point a);
point unit(point a);
// `p` turned by `degrees` about `axis` (of any length) through the origin, as OpenGL turns.
point turned(point p, point axis, double degrees);

}  // namespace state::camera
