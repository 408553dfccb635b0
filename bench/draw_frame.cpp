// The time to draw one complete frame in a 600 x 600 window: camera, floor, a full board of 400 bricks, both
// pads, the ball and the heads-up block, then the buffer swap, finished with glFinish. Mesa's software
// renderer (llvmpipe) rasterises in threads of its own, so the CPU time is the whole process's per frame.
//
// It needs an X display: without DISPLAY it starts a private Xvfb of its own (or run it under `xvfb-run`).
//   build/bench/draw_frame
#include <GL/freeglut.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "graphics/process_graphics.hpp"
#include "support/game_process.hpp"
#include "support/recording_log.hpp"

namespace {

void BM_DrawFullFrame(benchmark::State& state) {
  testing_support::temp_dir boards;
  std::string every_cell;
  for (int row = 0; row < 20; ++row) every_cell += std::string(20, 'D') + "\n";
  testing_support::write_file(boards / "board (0).txt", every_cell);
  testing_support::recording_log log;
  state::board_monitor board(log, (boards.path() / "").string());
  board.reset();
  state::players_monitor players;
  state::view_monitor view;
  const graphics::scene scene{board, players, view};

  for (auto _ : state) {
    graphics::display(scene);
    glFinish();
    glutMainLoopEvent();  // keeps the X connection drained, as the game's loop does
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DrawFullFrame)->Unit(benchmark::kMillisecond)->MinTime(3.0)->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<testing_support::xvfb_server> server;
  if (std::getenv("DISPLAY") == nullptr) server = std::make_unique<testing_support::xvfb_server>();
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowPosition(50, 50);
  glutInitWindowSize(600, 600);
  glutCreateWindow("Multiplayer Tolvaran - frame benchmark");
  glutDisplayFunc([] {});
  graphics::set_rendering_state();
  glutMainLoopEvent();
  graphics::reshape(600, 600);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  glutExit();  // before the private X server goes
  return 0;
}
