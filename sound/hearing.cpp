#include "sound/hearing.hpp"

#include <algorithm>
#include <cmath>

namespace sound {

namespace {

struct point {
  double x, y, z;
};

point operator-(point a, point b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
double dot(point a, point b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
point cross(point a, point b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(point a) {
  return std::sqrt(dot(a, a));
}

// Turns `p` by `degrees` about the unit `axis` through the origin, counter-clockwise as seen from the axis'
// tip, as the drawing's rotations do.
point turned(point p, point axis, double degrees) {
  const double a = degrees * std::numbers::pi / 180.0;
  const double c = std::cos(a), s = std::sin(a);
  const point k_x_p = cross(axis, p);
  const double k_p = dot(axis, p) * (1.0 - c);
  return {p.x * c + k_x_p.x * s + axis.x * k_p, p.y * c + k_x_p.y * s + axis.y * k_p,
          p.z * c + k_x_p.z * s + axis.z * k_p};
}

constexpr point centre{10.0, 10.0, 0.0};
const double half_view = std::tan(10.0 * std::numbers::pi / 180.0);  // half the 20-degree field of view

}  // namespace

float usual_distance() {
  const double d = state::user_view_type{}.distance;
  return static_cast<float>(length(point{d, d, d} - centre));
}

heard heard_from(common::vector where, const state::user_view_type& view) {
  // A point that is no point (from a network host, say) is heard from the centre rather than nowhere.
  if (!std::isfinite(where.x) || !std::isfinite(where.y)) where = {10.0f, 10.0f};
  // Where the drawing puts the point: turned about the vertical through the centre, then tilted.
  const point from_centre = point{where.x, where.y, 0.0} - centre;
  const point on_board = turned(from_centre, {0.0, 0.0, 1.0}, view.turn);
  const point seen = turned(on_board, {-std::sqrt(0.5), std::sqrt(0.5), 0.0}, view.tilt);
  const point eye{view.distance, view.distance, view.distance};
  const point to_point = point{seen.x + centre.x, seen.y + centre.y, seen.z} - eye;

  heard h;
  const double distance = length(to_point);
  h.gain =
      static_cast<float>(std::min(1.0, static_cast<double>(usual_distance()) / std::max(distance, 1e-6)));

  // The camera's own axes: ahead, to the right.
  const point ahead_raw = centre - eye;
  const point ahead{ahead_raw.x / length(ahead_raw), ahead_raw.y / length(ahead_raw),
                    ahead_raw.z / length(ahead_raw)};
  const point right_raw = cross(ahead, {0.0, 0.0, 1.0});
  // Looking straight down the vertical the camera has no right: heard straight ahead.
  if (length(right_raw) < 1e-9) return h;
  const double sideways = dot(to_point, right_raw) / length(right_raw);
  const double depth = dot(to_point, ahead);
  // The screen's width runs from -1 to 1; what is off the screen, or behind the camera, is heard at its side.
  const double across = depth > 1e-9   ? sideways / (depth * half_view)
                        : sideways > 0 ? 1.0
                        : sideways < 0 ? -1.0
                                       : 0.0;
  const double angle = std::clamp(across, -1.0, 1.0) * widest;
  h.x = static_cast<float>(std::sin(angle));
  h.z = static_cast<float>(-std::cos(angle));
  return h;
}

}  // namespace sound
