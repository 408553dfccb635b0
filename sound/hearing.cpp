#include "sound/hearing.hpp"

#include <algorithm>
#include <cmath>

namespace sound {

namespace {

using namespace state::camera;

const double half_view = std::tan(field_of_view / 2 * std::numbers::pi / 180.0);

}  // namespace

float usual_distance() {
  return static_cast<float>(length(eye(state::user_view_type{}) - centre));
}

heard heard_from(common::vector where, const state::user_view_type& view) {
  // A point that is no point (from a network host, say) is heard from the centre rather than nowhere.
  if (!std::isfinite(where.x) || !std::isfinite(where.y)) where = {10.0f, 10.0f};
  const point from = eye(view);
  const point to_point = placed({where.x, where.y, 0.0}, view) - from;

  heard h;
  const double distance = length(to_point);
  h.gain =
      static_cast<float>(std::min(1.0, static_cast<double>(usual_distance()) / std::max(distance, 1e-6)));

  // The camera's own axes: ahead, to the right.
  const point ahead = unit(centre - from);
  const point right_raw = cross(ahead, up);
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
