// The game's vocabulary: board geometry, tuning constants, the few settings, the records that the threads
// exchange through the shared monitors, and small helpers every package uses (integer images, error lines,
// game-wide objects).
//
// Geometry in one line: a 20 x 20 board of unit cells, x across (pads move along x), y along the board from
// pad 1 (y = -0.5, red player) to pad 2 (y = 20.5, green player); brick rows are the y index and columns the
// x index, both 1..20; velocities in cells per second.
//
// Thread use: everything here is constant or a value type, except `board_pattern` (atomic; written by the
// board menu, read by whoever resets the board) and `program_started` (written once by main() before any
// worker thread starts, read-only afterwards).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace common {

// ---------------------------------------------------------------------------------------------------------
// Constants

inline constexpr int rozmiar_planszy = 20;  // cells per side of the board; rows and columns of the matrix
inline constexpr std::chrono::milliseconds physics_clock{1};
inline constexpr std::chrono::milliseconds input_clock{10};
inline constexpr std::chrono::milliseconds pc_sampling_clock{10};
inline constexpr int frame_rate = 35;  // redraws a second
inline constexpr std::int32_t initial_points = 600;

// Pseudo-keys: codes above the keyboard's printable range that the joystick and the computer hold down.
inline constexpr unsigned char joy_left = 229;
inline constexpr unsigned char joy_right = 230;
inline constexpr unsigned char pc_left = 231;
inline constexpr unsigned char pc_right = 232;
// The keys of a guest who plays the green player from another computer, as the host holds them.
inline constexpr unsigned char guest_left = 233;
inline constexpr unsigned char guest_right = 234;

inline constexpr float pad_step = 0.2f;  // cells a pad moves per move request

// ---------------------------------------------------------------------------------------------------------
// Enumerations, stored in one byte as the position of their literal

enum class ball_owner : std::uint8_t { PLAYER1, PLAYER2, NONE };
enum class key_preset : std::uint8_t { AD, JL, PAD, COMPUTER, GUEST };
enum class color_part : std::uint8_t { R, G, B };
// L: towards smaller x, R: larger x, U: larger y (towards pad 2), D: smaller y (towards pad 1).
enum class direction : std::uint8_t { L, R, U, D, RU, RD, LU, LD };

// An array indexed by an enumeration, like the game's colour and reflection tables.
template <class Enum, class T, std::size_t N>
struct enum_array {
  std::array<T, N> items{};

  constexpr T& operator[](Enum e) { return items[static_cast<std::size_t>(e)]; }
  constexpr const T& operator[](Enum e) const { return items[static_cast<std::size_t>(e)]; }
  friend constexpr bool operator==(const enum_array&, const enum_array&) = default;
};

// ---------------------------------------------------------------------------------------------------------
// Records

struct vector {
  float x = 0.0f;
  float y = 0.0f;
  friend constexpr bool operator==(const vector&, const vector&) = default;
};

using color_type = enum_array<color_part, float, 3>;

constexpr color_type make_color(float r, float g, float b) { return color_type{{r, g, b}}; }

struct ball_type {
  color_type color;
  vector pos;
  vector vel;
  ball_owner owner = ball_owner::PLAYER1;
  friend constexpr bool operator==(const ball_type&, const ball_type&) = default;
};

struct pad_type {
  color_type color;
  float width = 0.0f;
  vector pos;
  friend constexpr bool operator==(const pad_type&, const pad_type&) = default;
};

struct brick {
  bool exists = false;
  std::int32_t points = 0;
  bool destructible = false;
  color_type color;
  friend constexpr bool operator==(const brick&, const brick&) = default;
};

struct key_set_type {
  unsigned char left;
  unsigned char right;
};

using control_config_type = enum_array<key_preset, key_set_type, 5>;

// The reflections that one bounce applies, indexed by the direction the ball must now travel.
using dir_change = enum_array<direction, bool, 8>;

inline constexpr control_config_type control_config{{{
    {'a', 'd'},                 // AD
    {'j', 'l'},                 // JL
    {joy_left, joy_right},      // PAD
    {pc_left, pc_right},        // COMPUTER
    {guest_left, guest_right},  // GUEST: a guest over the network
}}};

// ---------------------------------------------------------------------------------------------------------
// Settings. They keep their start values for the whole run, except the board pattern.

inline constexpr std::string_view game_version = "0.2";
inline constexpr float pc_fail_rate = 0.4f;
inline constexpr float ball_velocity_limit = 45.0f;
inline constexpr float pad_roundness_level = 10.0f;
inline constexpr std::int32_t ball_penalty = -500;
inline constexpr int window_pos_x = 50;
inline constexpr int window_pos_y = 50;
inline constexpr int window_width = 600;
inline constexpr int window_height = 600;
inline constexpr vector initial_ball_pos{10.0f, 10.0f};
inline constexpr vector initial_ball_vel{0.0f, 12.0f};

// The name of the board file that the next new game loads: "board (n).txt", 13 characters, n = 0..9.
// The board menu writes the digit from the graphics thread while other threads may read the name.
class board_pattern_setting {
 public:
  static constexpr std::size_t digit_position = 7;  // the 8th character, between the parentheses

  std::string name() const;
  int board() const { return digit_.load(std::memory_order_acquire) - '0'; }
  // Selects board 0..9; anything else is an out_of_range error and changes nothing.
  void choose(int board);

 private:
  std::atomic<char> digit_{'0'};
};

inline board_pattern_setting board_pattern;

// The wall-clock instant of start-up; the heads-up text shows the time elapsed since it.
inline std::chrono::system_clock::time_point program_started{};

// Start-up step: records `program_started`. Called once by main() before any game thread starts.
void initialise_common_data();

// The length of a vector, in single precision.
float lenght(vector v);

// ---------------------------------------------------------------------------------------------------------
// Texts

// The image of an integer in the game's messages: its decimal digits preceded by one blank when it is not
// negative and by '-' when it is, so " 600" and "-400".
std::string image(std::int64_t n);

// What a caught error is called and what it says: the exception's (demangled) type name and its what().
struct error_description {
  std::string name;
  std::string message;
};
error_description describe(std::exception_ptr error);

// The game's one form of a caught-error line: prefix, the error's name, " jego opis: ", its message.
// Meant to be called inside a catch block.
std::string error_line(std::string_view prefix, std::exception_ptr error = std::current_exception());

// Raised when a request is made to a thread that has already ended.
class request_refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------------------
// Game-wide objects

// Storage for one of the game's single objects (a monitor or a thread). main() creates it explicitly at its
// place in the start-up order, and it is never destroyed: the process ends with threads still using it, so
// no destructor may run at exit. Tests create their own instances of the class instead.
template <class T>
class game_object {
 public:
  constexpr game_object() = default;
  game_object(const game_object&) = delete;
  game_object& operator=(const game_object&) = delete;

  // Start-up only, on the main thread, once.
  template <class... Args>
  T& create(Args&&... args) {
    if (object_ != nullptr) throw std::logic_error("game object created twice");
    T* made = new (storage_) T(std::forward<Args>(args)...);
    object_.store(made, std::memory_order_release);
    return *made;
  }

  bool exists() const { return object_.load(std::memory_order_acquire) != nullptr; }
  T& operator*() const { return *get(); }
  T* operator->() const { return get(); }

 private:
  T* get() const {
    T* object = object_.load(std::memory_order_acquire);
    if (object == nullptr) throw std::logic_error("game object used before start-up created it");
    return object;
  }

  alignas(T) std::byte storage_[sizeof(T)]{};
  std::atomic<T*> object_{nullptr};
};

}  // namespace common
