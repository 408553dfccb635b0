// The game's frames pixel for pixel against reference pictures: fixed scenes drawn through the game's own
// set_rendering_state, reshape and display in a window of the test's own, read back and compared with the
// PNGs under tests/display/reference. The drawing may get cheaper; what the player sees may not change.
//
// A change of the picture that is meant needs new references, drawn by the code as it then is:
//   TOLVARAN_WRITE_REFERENCE_PICTURES=1 build/tests/display_tests --gtest_filter='*ReferencePictures*Default'
#include <GL/freeglut.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "graphics/process_graphics.hpp"
#include "support/game_process.hpp"
#include "support/recording_log.hpp"
#include "support/x_driver.hpp"

// Last: Xlib's macros (None, Bool, Status) would upset other headers.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using common::direction;

const std::filesystem::path reference_dir =
    std::filesystem::path(TOLVARAN_SOURCE_DIR) / "tests/display/reference";

// A board drawn from 20 rows of 20 cells, row 1 first: ' ' empty, 'X' firm, 'D' a destructible brick whose
// colour is fixed by its cell.
void lay_bricks(state::board_monitor& board, const std::vector<std::string>& rows) {
  for (int row = 1; row <= 20; ++row)
    for (int column = 1; column <= 20; ++column) {
      const char kind = rows[std::size_t(row - 1)][std::size_t(column - 1)];
      common::brick brick{};
      if (kind == 'X') brick = {true, 0, false, board::indestructible_color};
      if (kind == 'D')
        brick = {true, (row * column) % 31, true,
                 common::make_color(0.25f + 0.05f * float((row * 7 + column * 3) % 11),
                                    0.25f + float((row * 5 + column * 11) % 13) / 18.0f,
                                    0.25f + float((row * 3 + column * 5) % 7) / 9.0f)};
      board.set_brick(column, row, brick);
    }
}

const std::vector<std::string> every_cell(20, std::string(20, 'D'));

std::vector<std::string> gaps_and_walls() {
  std::vector<std::string> rows(20, "X                  X");
  for (int row : {3, 4, 15, 16}) rows[std::size_t(row - 1)] = "XDDDD DD  DD DD DDDX";
  rows[9] = rows[10] = "X  XX   DD  D   XX X";
  rows[5] = "XD D D D D D D D D X";
  return rows;
}

void ball_at(state::board_monitor& board, float x, float y, float vx, float vy) {
  board.ball_change({common::make_color(1.0f, 1.0f, 0.0f), {x, y}, {vx, vy}, common::ball_owner::PLAYER1});
}

void move_pad(state::board_monitor& board, bool red, direction d, int steps) {
  for (int i = 0; i < steps; ++i) red ? board.pad1_go(d) : board.pad2_go(d);
}

struct still_scene {
  const char* name;
  int width, height;
  void (*arrange)(state::board_monitor&, state::players_monitor&, state::view_monitor&);
};

const still_scene scenes[] = {
    {"full_board", 600, 600,
     [](state::board_monitor& board, state::players_monitor&, state::view_monitor&) {
       lay_bricks(board, every_cell);
     }},
    {"gaps_and_firm_bricks", 600, 600,
     [](state::board_monitor& board, state::players_monitor& players, state::view_monitor&) {
       lay_bricks(board, gaps_and_walls());
       ball_at(board, 7.3f, 12.6f, 5.0f, -13.0f);
       players.add1(-500);
       board.set_info("Gracz czerwony traci: -500punktow");
     }},
    {"ball_at_pad", 600, 600,
     [](state::board_monitor& board, state::players_monitor&, state::view_monitor&) {
       lay_bricks(board, gaps_and_walls());
       move_pad(board, true, direction::L, 30);
       move_pad(board, false, direction::R, 17);
       ball_at(board, 4.4f, 0.55f, -2.0f, -12.5f);
     }},
    {"turned", 600, 600,
     [](state::board_monitor& board, state::players_monitor&, state::view_monitor& view) {
       lay_bricks(board, gaps_and_walls());
       view.angle_change(0.0f, 37.0f);
     }},
    {"tilted_and_near", 600, 600,
     [](state::board_monitor& board, state::players_monitor&, state::view_monitor& view) {
       lay_bricks(board, every_cell);
       for (const auto& [column, row] :
            {std::pair(10, 10), std::pair(11, 17), std::pair(12, 17), std::pair(4, 3)})
         board.set_brick(column, row, {});
       view.angle_change(-24.0f, -61.0f);
       view.distance_change(-17.5);
       ball_at(board, 10.5f, 16.2f, 3.0f, 20.0f);
     }},
    {"heads_up_text", 600, 600,
     [](state::board_monitor& board, state::players_monitor& players, state::view_monitor&) {
       lay_bricks(board, gaps_and_walls());
       players.add1(-1000);
       players.add2(434);
       ball_at(board, 12.0f, 5.0f, -21.3f, 39.4f);
       board.set_info("Wygra\xB3 Gracz zielony !");
     }},
    {"polish_letters", 600, 600,
     [](state::board_monitor& board, state::players_monitor&, state::view_monitor& view) {
       view.angle_change(12.0f, 180.0f);
       // A line break and a NUL are drawn as the font's own characters, like any other byte.
       board.set_info("\x9Cwiat \xF3sma ko\xF1 by\xB3 \x9C\x9C\xF1\xF1\xB3\xB3\xF3\xF3 !\nnowa\0linia"sv);
     }},
    {"full_screen", 1024, 768,
     [](state::board_monitor& board, state::players_monitor& players, state::view_monitor& view) {
       lay_bricks(board, every_cell);
       view.angle_change(8.0f, -15.0f);
       players.add2(-1100);
       board.set_info("Wygra\xB3 Gracz czerwony !");
     }},
};

// What the current window shows on the X server, as binary PPM.
std::string window_contents(int width, int height) {
  Display* display = glXGetCurrentDisplay();
  XSync(display, False);  // the swapped frame has reached the server
  XImage* image = XGetImage(display, glXGetCurrentDrawable(), 0, 0, unsigned(width), unsigned(height),
                            AllPlanes, ZPixmap);
  if (image == nullptr) throw std::runtime_error("XGetImage failed");
  const auto channel = [](unsigned long pixel, unsigned long mask) {
    return char((pixel & mask) / (mask & ~(mask << 1)) & 255);  // divided by the mask's lowest bit
  };
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const unsigned long pixel = XGetPixel(image, x, y);
      ppm += {channel(pixel, image->red_mask), channel(pixel, image->green_mask),
              channel(pixel, image->blue_mask)};
    }
  XDestroyImage(image);
  return ppm;
}

// The heads-up times of every scene: 06:02:03 since start-up, 01:02:03 since the game began.
std::chrono::system_clock::time_point frozen_now;

// Draws every scene in a window of its size at the screen's corner and writes what the window shows as
// <name>.ppm into `out`. Runs in a child process: the GL driver keeps memory to its end.
void draw_scenes(const std::filesystem::path& out) {
  int argc = 1;
  char program[] = "reference_pictures", *argv[] = {program, nullptr};
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  temp_dir boards;
  std::string empty_board;
  for (int row = 0; row < 20; ++row) empty_board += std::string(20, ' ') + "\n";
  write_file(boards / board_file(0), empty_board);
  int window = 0, width = 0, height = 0;
  for (const still_scene& still : scenes) {
    if (still.width != width || still.height != height) {
      // A new window, as the game's own: its rendering state set once on its fresh context.
      if (window != 0) glutDestroyWindow(window);
      width = still.width;
      height = still.height;
      glutInitWindowPosition(0, 0);
      glutInitWindowSize(width, height);
      window = glutCreateWindow("Multiplayer Tolvaran 0.2");
      static bool shown;
      shown = false;
      glutDisplayFunc([] { shown = true; });
      graphics::set_rendering_state();
      while (!shown) glutMainLoopEvent();  // mapped: what is drawn from now on stays in the window
      graphics::reshape(width, height);
    }
    recording_log log;
    state::board_monitor board(log, (boards.path() / "").string(), 7, [] { return 1; });
    board.reset();
    state::players_monitor players;
    state::view_monitor view;
    still.arrange(board, players, view);
    common::program_started = board.started() - 5h;
    frozen_now = board.started() + 1h + 2min + 3400ms;
    graphics::display(graphics::scene{board, players, view, [] { return frozen_now; }});
    glFinish();

    write_file(out / (std::string(still.name) + ".ppm"), window_contents(width, height));
  }
  glutDestroyWindow(window);
}

// The scenes drawn by a child process; `renderer_threads` sets Mesa's rasteriser threads, when not empty.
bool draw_in_child(const std::filesystem::path& out, const std::string& renderer_threads) {
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    die_with(parent);
    if (!renderer_threads.empty()) ::setenv("LP_NUM_THREADS", renderer_threads.c_str(), 1);
    try {
      draw_scenes(out);
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

screenshot read_png(const std::filesystem::path& png) {
  return read_ppm(run_command("convert '" + png.string() + "' -depth 8 ppm:- 2>/dev/null").output);
}

bool write_png(const std::filesystem::path& ppm, const std::filesystem::path& png) {
  // No time stamps: the same picture gives the same file.
  return run_command("convert '" + ppm.string() + "' -strip -define png:exclude-chunks=date,time '" +
                     png.string() + "'")
             .status == 0;
}

class ReferencePictures : public ::testing::TestWithParam<std::string> {
 protected:
  xvfb_server x_;
  temp_dir drawn_;
};

TEST_P(ReferencePictures, EveryScene) {
  ASSERT_TRUE(draw_in_child(drawn_.path(), GetParam())) << "the drawing process failed";
  const bool write = std::getenv("TOLVARAN_WRITE_REFERENCE_PICTURES") != nullptr;
  // Kept for a look when a picture differs.
  const auto rejected = std::filesystem::temp_directory_path() / "tolvaran-rejected-pictures";
  for (const still_scene& still : scenes) {
    SCOPED_TRACE(still.name);
    const auto ppm = drawn_ / (std::string(still.name) + ".ppm");
    const auto png = reference_dir / (std::string(still.name) + ".png");
    if (write) {
      std::filesystem::create_directories(reference_dir);
      ASSERT_TRUE(write_png(ppm, png));
      continue;
    }
    const screenshot drawn = read_ppm(read_file(ppm));
    ASSERT_TRUE(std::filesystem::exists(png)) << "no reference picture " << png;
    const screenshot reference = read_png(png);
    ASSERT_EQ(std::pair(drawn.width, drawn.height), std::pair(reference.width, reference.height));
    const pixel_difference d =
        compare_pixels(drawn, reference, drawn.width, drawn.height, [](int, int) { return false; });
    EXPECT_EQ(d.pixels, 0) << "pixels unlike the reference, largest channel difference " << d.largest
                           << "; the frame drawn is kept in " << rejected.string();
    if (d.pixels > 0) {
      std::filesystem::create_directories(rejected);
      write_png(ppm, rejected / (std::string(still.name) + ".png"));
    }
  }
}

// Mesa's rasteriser as the machine sets it up, on one thread and on two: the same pixels.
INSTANTIATE_TEST_SUITE_P(RendererThreads, ReferencePictures, ::testing::Values("", "1", "2"),
                         [](const auto& info) {
                           return info.param.empty() ? std::string("Default") : "Lp" + info.param;
                         });

}  // namespace
