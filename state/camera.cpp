#include "state/camera.hpp"

#include <cmath>
#include <numbers>

namespace state::camera {

point operator+(point a, point b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
point operator-(point a, point b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
point operator*(double k, point a) {
  return {k * a.x, k * a.y, k * a.z};
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
point unit(point a) {
  return (1.0 / length(a)) * a;
}

point turned(point p, point axis, double degrees) {
  // Rodrigues' rotation about the unit axis.
  const point k = unit(axis);
  const double a = degrees * std::numbers::pi / 180.0;
  const double c = std::cos(a), s = std::sin(a);
  return c * p + s * cross(k, p) + (dot(k, p) * (1.0 - c)) * k;
}

point eye(const user_view_type& view) {
  return {view.distance, view.distance, view.distance};
}

point placed(point on_board, const user_view_type& view) {
  // The drawing turns first, then tilts: the last rotation given to OpenGL is the first applied.
  const point turned_about_centre = turned(on_board - centre, turn_axis, view.turn);
  return centre + turned(turned_about_centre, tilt_axis, view.tilt);
}

}  // namespace state::camera
