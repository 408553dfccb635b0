// The cost of one physics tick's work (no waiting): a ball in flight inside a box of firm bricks, which it
// strikes now and then; an idle tick while play is paused; and the writing-off of one destroyed brick.
#include <benchmark/benchmark.h>

#include <string>

#include "physics/process_physics.hpp"
#include "support/temp_dir.hpp"

namespace {

class silent_log final : public runtime_log::sink {
 public:
  void info(std::string_view) override {}
  void warning(std::string_view) override {}
  void error(std::string_view) override {}
  bool flush() override { return true; }
};

// A reset board whose ball bounces for ever between firm bricks, on fake time.
struct table {
  table() {
    std::string box;
    for (int row = 1; row <= 20; ++row)
      box += (row == 3 || row == 18 ? std::string(20, 'X') : "X" + std::string(18, ' ') + "X") + "\n";
    testing_support::write_file(dir / "board (0).txt", box);
    board.reset();
    // Off the straight line, so the ball meets walls, rows and corners.
    board.ball_change(
        {common::make_color(1, 1, 0), {10.3f, 10.0f}, {7.0f, 12.0f}, common::ball_owner::PLAYER1});
  }
  testing_support::temp_dir dir;
  silent_log log;
  state::board_monitor board{log, dir.path().string() + "/", 1, [] { return 1; }};
  state::players_monitor players;
  common::manual_time time;
  physics::world w{board, players, log, time};
};

void BM_tick_ball_in_flight(benchmark::State& state) {
  table t;
  for (auto _ : state) physics::tick(t.w);
  benchmark::DoNotOptimize(t.board.get_ball());
}
BENCHMARK(BM_tick_ball_in_flight);

void BM_tick_paused(benchmark::State& state) {
  table t;
  t.board.stop();
  for (auto _ : state) physics::tick(t.w);
}
BENCHMARK(BM_tick_paused);

// The rare expensive case: a copy of the whole matrix, the log line, the points and the write-back.
void BM_destroy_brick(benchmark::State& state) {
  table t;
  const common::brick brick{true, 7, true, common::make_color(1, 0, 0)};
  const common::ball_type ball = t.board.get_ball();
  for (auto _ : state) {
    t.board.set_brick(5, 12, brick);
    physics::destroy_brick(t.w, 5, 12, ball);
  }
}
BENCHMARK(BM_destroy_brick);

}  // namespace

BENCHMARK_MAIN();
