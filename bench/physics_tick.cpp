// The cost of one physics tick's work (no waiting): a ball in flight inside a box of firm bricks, which it
// strikes now and then; an idle tick while play is paused; the writing-off of one destroyed brick; and a
// guest's share, foreseeing its host's ball from one snapshot to the next.
#include <benchmark/benchmark.h>

#include <string>

#include "net/mirror.hpp"
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

// A snapshot 100 ms old (the most a guest believes) run on for its 100 ticks, and the 10 steps until the
// next snapshot: a guest's work for every 10 ms of play.
void BM_guest_foresees_a_snapshot(benchmark::State& state) {
  table t;
  net::ball_follower follower;
  follower.put(t.board.get_ball());
  follower.bricks(t.board.get_brick_matrix_state());
  const net::ball_follower::pads pads{t.board.get_pad1(), t.board.get_pad2()};
  net::snapshot s;
  s.running = true;
  common::steady_time now{};
  for (auto _ : state) {
    physics::tick(t.w);  // a ball that goes on meeting the box's walls
    const common::ball_type ball = t.board.get_ball();
    s.ball_pos = ball.pos;
    s.ball_vel = ball.vel;
    follower.correct(s, std::chrono::milliseconds(100), now += std::chrono::milliseconds(10), pads);
    for (int ms = 0; ms < 10; ++ms) follower.step(pads);
  }
  benchmark::DoNotOptimize(follower.ball());
}
BENCHMARK(BM_guest_foresees_a_snapshot);

}  // namespace

BENCHMARK_MAIN();
