// A guest behind a bad line: the built game as host, a guest of the test's own behind a relay that loses 5 %
// of the datagrams each way and delays the rest by 50 ms. Every brick the host destroys disappears on the
// guest within 250 ms, both show the same bricks in the end, and the guest's ball never jumps a cell.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "net/play.hpp"
#include "support/net_peer.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace testing_support;

// Milliseconds since local midnight, as the log's time stamps tell them.
long local_ms(std::chrono::system_clock::time_point t) {
  const runtime_log::wall_time w = runtime_log::local_time(t);
  return ((w.hour * 60L + w.minute) * 60L + w.second) * 1000L + w.millisecond;
}

TEST(NetworkRelay, BricksReachALossyGuestWithinAQuarterSecondAndItsBallNeverJumps) {
  xvfb_server x;
  network_games games;
  ASSERT_TRUE(games.start_host("55556666"));
  lossy_relay relay(games.port, 0.05, 50ms);
  recording_log log;
  state::board_monitor board{log};
  state::players_monitor players;
  input::keyboard_monitor keys;
  std::atomic<int> ended{-1};
  net::guest_role guest(
      net::guest_world{board, players, keys, log, nullptr, [&](int status) { ended = status; }}, "127.0.0.1",
      relay.port(), net::join_code("55556666"), 0ms);
  guest.launch();
  ASSERT_TRUE(guest.start());
  // (A guest that gave up ends the wait at once.)
  ASSERT_TRUE(eventually(
                  [&] {
                    return ended >= 0 ||
                           (guest.playing() && board.get_ball().color[common::color_part::R] > 0);
                  },
                  60s) &&
              ended < 0)
      << ::testing::PrintToString(log.messages());
  const long watched_from = local_ms(std::chrono::system_clock::now());

  // Play for 20 s: the guest's green pad follows the ball; a game lost starts afresh from the guest.
  std::map<int, std::vector<long>> gone;  // cell -> moments it disappeared on the guest
  board::brick_matrix before = board.get_brick_matrix_state();
  common::vector last_ball = board.get_ball().pos;
  std::uint8_t last_jumps = guest.host_jumps();
  const auto frame = std::chrono::duration<float>(1.0f / common::frame_rate);
  auto last_frame = std::chrono::steady_clock::now(), next_game = last_frame;
  int frames = 0;
  for (const auto end = last_frame + 20s; std::chrono::steady_clock::now() < end && ended < 0;
       std::this_thread::sleep_for(1ms)) {
    const board::brick_matrix bricks = board.get_brick_matrix_state();
    for (std::size_t i = 0; i < bricks.cells.size(); ++i)
      if (before.cells[i].exists && !bricks.cells[i].exists)
        gone[int(i)].push_back(local_ms(std::chrono::system_clock::now()));
    before = bricks;
    const common::ball_type ball = board.get_ball();
    const float pad = board.get_pad2().pos.x;
    ball.pos.x < pad - 1.0f ? keys.set_key_down('a') : keys.set_key_up('a');
    ball.pos.x > pad + 1.0f ? keys.set_key_down('d') : keys.set_key_up('d');
    const auto now = std::chrono::steady_clock::now();
    if (board.get_info().starts_with("Wygra") && now > next_game) {
      guest.takes_menu_command(common::menu_command::board_0);
      next_game = now + 2s;
    }
    if (now - last_frame < frame) continue;
    // A cell a frame (more when this thread looks late), or for a ball faster than that its own motion and
    // half a cell; unless the host's ball itself was put somewhere (a serve, a late pad's return). On a busy
    // machine the guest's thread may wake 20 ms late, so that its ball was that much behind.
    const float seconds = std::chrono::duration<float>(now - last_frame).count();
    const float speed = std::hypot(ball.vel.x, ball.vel.y);
    const float moved = std::hypot(ball.pos.x - last_ball.x, ball.pos.y - last_ball.y);
    EXPECT_TRUE(moved <= std::max({1.0f, seconds / frame.count(), speed * (seconds + 0.02f) + 0.5f}) ||
                guest.host_jumps() != last_jumps)
        << "the ball jumped " << moved << " cells from " << last_ball.x << ", " << last_ball.y << " to "
        << ball.pos.x << ", " << ball.pos.y << " at the speed " << speed;
    last_jumps = guest.host_jumps();
    last_ball = ball.pos;
    last_frame = now;
    ++frames;
  }
  EXPECT_EQ(ended, -1) << "the guest ended";
  EXPECT_GT(frames, 500);
  EXPECT_GT(relay.lost(), 0u);

  // Paused from the guest, the bricks standing on both are the same: the board's own minus the destroyed.
  guest.takes_menu_command(common::menu_command::pause);
  std::this_thread::sleep_for(1s);
  const std::regex line(
      R"(\| (\d\d):(\d\d):(\d\d)  (\d{3}) ms \| (Wygenerowano Plansze|Zniszczono kostke: \[ (\d+), (\d+)\]))");
  board::brick_place_availability pattern;
  board::loadpatternfromfile(pattern, (games.host_dir / "boards" / board_file(0)).string(), log);
  std::vector<bool> standing(400);
  int checked = 0;
  for (const auto& file : log_files(games.host_dir.path()))
    for (const std::string& entry : lines_of(read_file(file))) {
      std::smatch m;
      if (!std::regex_search(entry, m, line)) continue;
      if (!m[6].matched) {  // a new game
        for (int i = 0; i < 400; ++i) standing[i] = pattern.cells[i] != board::brick_placing::PLACE_NONE;
        continue;
      }
      const int cell = (std::stoi(m[7]) - 1) * 20 + std::stoi(m[6]) - 1;
      standing[cell] = false;
      const long at =
          ((std::stol(m[1]) * 60 + std::stol(m[2])) * 60 + std::stol(m[3])) * 1000 + std::stol(m[4]);
      const auto& seen = gone[cell];
      const auto first = std::find_if(seen.begin(), seen.end(), [&](long t) { return t >= at - 20; });
      if (at < watched_from || first == seen.end()) continue;  // not watched, or after the watching
      ++checked;
      EXPECT_LE(*first - at, 250) << "brick " << m[6] << ", " << m[7];
    }
  EXPECT_GT(checked, 10);
  const board::brick_matrix shown = board.get_brick_matrix_state();
  for (int i = 0; i < 400; ++i) EXPECT_EQ(shown.cells[i].exists, standing[i]) << "cell " << i;
}

}  // namespace
