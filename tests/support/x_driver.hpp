// Playing the game through a real X server: xdotool for the pointer, the keys and the pop-up menu,
// xwininfo for windows, and screenshots as RGB pixels.
//
// freeglut's pop-up menus are windows of their own named "freeglut menu": a menu opens with its top-left
// corner at the pointer, entry i spans rows top+2+25i .. top+27+25i, and a submenu opens beside its parent
// when the pointer rests on the parent's entry.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/game_process.hpp"

namespace testing_support {

struct window_geometry {
  long id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The visible top-level windows with this exact name, as xdotool finds them.
inline std::vector<window_geometry> visible_windows(const std::string& name) {
  std::vector<window_geometry> found;
  const command_result ids = run_command("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null");
  std::istringstream lines(ids.output);
  long id = 0;
  while (lines >> id) {
    const command_result info = run_command("xwininfo -id " + std::to_string(id) + " 2>/dev/null");
    window_geometry g{id};
    std::istringstream text(info.output);
    std::string line;
    while (std::getline(text, line)) {
      const auto value = [&](const char* label) {
        return std::stoi(line.substr(line.find(label) + std::string(label).size()));
      };
      if (line.find("Absolute upper-left X:") != std::string::npos) g.x = value("Absolute upper-left X:");
      if (line.find("Absolute upper-left Y:") != std::string::npos) g.y = value("Absolute upper-left Y:");
      if (line.find("Width:") != std::string::npos) g.width = value("Width:");
      if (line.find("Height:") != std::string::npos) g.height = value("Height:");
    }
    found.push_back(g);
  }
  return found;
}

inline std::optional<window_geometry> game_window() {
  const auto windows = visible_windows("Multiplayer Tolvaran 0.2");
  if (windows.empty()) return std::nullopt;
  return windows.front();
}

inline bool xdotool(const std::string& arguments) {
  return run_command("xdotool " + arguments).status == 0;
}

inline void pointer_to(int x, int y) {
  xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y));
}

// xdotool's name of a key the game knows.
inline std::string key_name(char key) {
  switch (key) {
    case '+':
      return "plus";
    case '=':
      return "equal";
    case '-':
      return "minus";
    default:
      return std::string(1, key);
  }
}

// The pop-up menu, driven like a player does: open with the right button, rest on entries, click.
class menu_driver {
 public:
  // Opens the main menu with its corner at (x, y) and walks `path`: entry indices from the main menu down,
  // resting on each submenu entry until its submenu shows, then clicks the last one. False when a menu did
  // not show up in time.
  bool choose(int x, int y, const std::vector<int>& path) {
    if (!open(x, y)) return false;
    window_geometry menu = deepest_menu();
    for (std::size_t level = 0; level < path.size(); ++level) {
      const int entry_x = menu.x + 20;
      const int entry_y = menu.y + 2 + 25 * path[level] + 12;
      pointer_to(entry_x, entry_y);
      if (level + 1 == path.size()) return xdotool("click 1");
      const int depth = static_cast<int>(level) + 2;
      if (!eventually(
              [&] { return visible_windows("freeglut menu").size() >= static_cast<std::size_t>(depth); },
              30s))
        return false;
      // Slide into the submenu along the entry's own row, so the pointer never crosses a neighbour.
      const window_geometry sub = deepest_menu();
      pointer_to(sub.x + 5, entry_y);
      menu = sub;
    }
    return true;
  }

  // Opens the menu and closes it again without a choice (a click outside it).
  bool open_and_dismiss(int x, int y, int outside_x, int outside_y) {
    if (!open(x, y)) return false;
    pointer_to(outside_x, outside_y);
    xdotool("click 1");
    return eventually([] { return visible_windows("freeglut menu").empty(); }, 30s);
  }

 private:
  bool open(int x, int y) {
    // A menu still on the screen belongs to the last choice, which a slow game has not taken yet: acting on
    // it would click beside the new one.
    eventually([] { return visible_windows("freeglut menu").empty(); }, 20s);
    pointer_to(x, y);
    xdotool("click 3");
    return eventually([] { return !visible_windows("freeglut menu").empty(); }, 30s);
  }
  static window_geometry deepest_menu() {
    const auto menus = visible_windows("freeglut menu");
    if (menus.empty()) throw std::runtime_error("no menu shows");
    window_geometry deepest = menus.front();
    for (const auto& m : menus)
      if (m.x > deepest.x) deepest = m;
    return deepest;
  }
};

// Main-menu entries and their submenus.
namespace menu_path {
inline std::vector<int> board(int n) {
  return {0, n};
}
inline const std::vector<int> pause{1};
inline const std::vector<int> resume{2};
inline std::vector<int> red_preset(int entry) {
  return {3, 0, entry};
}  // A,D / J,L / Pad
inline std::vector<int> green_preset(int entry) {
  return {3, 1, entry};
}  // A,D / J,L / Pad / Komputer
inline const std::vector<int> default_window{4, 0};
inline const std::vector<int> full_screen{4, 1};
inline const std::vector<int> end_game{5};
}  // namespace menu_path

// A screenshot of the whole screen as 8-bit RGB.
struct screenshot {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  struct pixel {
    int r, g, b;
  };
  pixel at(int x, int y) const {
    const std::size_t i =
        3 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x));
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

// An 8-bit binary PPM (P6) image, as ImageMagick writes one.
inline screenshot read_ppm(const std::string& bytes) {
  screenshot image;
  std::istringstream in(bytes);
  std::string magic;
  int max_value = 0;
  in >> magic >> image.width >> image.height >> max_value;
  if (magic != "P6" || max_value != 255) throw std::runtime_error("not an 8-bit binary PPM image");
  in.get();
  image.rgb.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);
  in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
  if (!in) throw std::runtime_error("a PPM image cut short");
  return image;
}

// Takes a screenshot with ImageMagick's import, as binary PPM.
inline screenshot take_screenshot() {
  return read_ppm(run_command("import -window root -depth 8 ppm:- 2>/dev/null").output);
}

// Colours as the game's window shows them, lit.
using rgb = screenshot::pixel;
const auto background = [](rgb c) { return std::abs(c.r - 128) <= 2 && c.g == c.r && c.b == c.r; };
const auto floor_grey = [](rgb c) { return c.r == c.g && c.g == c.b && c.r > 30 && c.r < 110; };
const auto firm_blue = [](rgb c) { return c.b > c.g + 15 && c.g > c.r + 30; };  // (0.1, 0.4, 0.6) lit
const auto red = [](rgb c) { return c.r > c.g + 40 && c.r > c.b + 40; };
const auto green = [](rgb c) { return c.g > c.r + 40 && c.g > c.b + 40; };
const auto yellow = [](rgb c) { return c.r > 100 && c.g > 100 && c.b < c.r / 3; };
const auto white = [](rgb c) { return c.r == 255 && c.g == 255 && c.b == 255; };

// The game window's 600 x 600 pixels (at (50, 50) on the screen unless told), and where board points show
// in it.
struct window_image {
  screenshot screen = take_screenshot();
  int left = 50, top = 50;  // where the window stands on the screen
  rgb at(int x, int y) const { return screen.at(left + x, top + y); }
  int count(int x0, int y0, int x1, int y1, bool (*test)(rgb)) const {
    int n = 0;
    for (int y = std::max(y0, 0); y < std::min(y1, 600); ++y)
      for (int x = std::max(x0, 0); x < std::min(x1, 600); ++x) n += test(at(x, y));
    return n;
  }
  // Whether the board point (x, y, z) shows as `test` says, with the camera at tilt 0, distance 50.
  bool shows(double x, double y, double z, bool (*test)(rgb), double turn = 90.0) const {
    const double t = turn * std::numbers::pi / 180.0, c = std::cos(t), s = std::sin(t);
    const double p[3] = {(x - 10) * c - (y - 10) * s - 40, (x - 10) * s + (y - 10) * c - 40, z - 50};
    const double depth = -(p[0] + p[1]) * 40 / std::sqrt(5700.0) - p[2] * 50 / std::sqrt(5700.0);
    const double across = (p[1] - p[0]) / std::sqrt(2.0);  // the eye's right: (-1, 1, 0) / sqrt 2
    const double up = (-(p[0] + p[1]) * 50 / std::sqrt(2.0) + p[2] * 80 / std::sqrt(2.0)) / std::sqrt(5700.0);
    const double focal = 1.0 / std::tan(10.0 * std::numbers::pi / 180.0);
    const int px = int(std::lround((focal * across / depth + 1) * 300));
    const int py = int(std::lround((1 - focal * up / depth) * 300));
    return count(px - 3, py - 3, px + 4, py + 4, test) > 0;
  }
  // The rightmost white pixel of heads-up line n, whose baseline is row 21 + 13 n.
  int line_end(int n) const {
    for (int x = 599; x >= 0; --x)
      if (count(x, 11 + 13 * n, x + 1, 25 + 13 * n, white) > 0) return x;
    return -1;
  }
};

// How two pictures differ: the pixels with any channel unlike the other's, and the largest difference of one
// channel.
struct pixel_difference {
  long pixels = 0;
  int largest = 0;
};
// Compares the first `width` x `height` pixels of two pictures (screenshots or window images), but for those
// that `ignored(x, y)` leaves out.
template <class A, class B, class Ignored>
pixel_difference compare_pixels(const A& a, const B& b, int width, int height, Ignored ignored) {
  pixel_difference d;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      if (ignored(x, y)) continue;
      const rgb p = a.at(x, y), q = b.at(x, y);
      const int step = std::max({std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
      d.pixels += step > 0;
      d.largest = std::max(d.largest, step);
    }
  return d;
}

// Whether the red pad shows at its left limit (centre x = 4) in the start-up view: over x = 3, not over 12.
inline bool red_pad_at_left_limit(const window_image& shot) {
  return shot.shows(3.0, -0.5, 0.9, red) && !shot.shows(12.0, -0.5, 0.9, red);
}

// Resident memory of a process in kB, from /proc.
inline long resident_kb(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace testing_support
