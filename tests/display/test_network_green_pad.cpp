// The guest's own green pad behind a bad line: the whole game as host in a child of the test's own (every
// thread and its window, so that the host's board can be read directly), a guest of the child's own behind a
// relay that loses 5 % of the datagrams and delays the rest by 0, 50, 100 or 150 ms each way. The guest's pad
// answers its keys within a frame or so, the host's follows within the line's delay, the balls the guest
// follows with its pad come back off the host's green pad more often than they are lost, and both show the
// same bricks in the end; the guest's ball never leaps, bounces included. The child writes what it measured;
// the test judges it, with generous bounds, and prints the figures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "graphics/process_graphics.hpp"
#include "net/play.hpp"
#include "startup/multiplayer_tolvaran.hpp"
#include "state/game_state.hpp"
#include "support/game_process.hpp"
#include "support/net_peer.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace testing_support;
using steady = std::chrono::steady_clock;

struct figures {
  int joined = 0;
  double guest_left = -1, guest_right = -1, host_left = -1, host_right = -1;  // ms from the key
  int returns = 0, losses = 0;
  int bricks_apart = -1;  // cells standing on one side only
  int ball_jumps = 0;     // frames at which the guest's ball jumped, the host's not put anywhere
  double largest_jump = 0;
};

// Milliseconds until `moved` holds, polled every millisecond; -1 after two seconds.
double until(const std::function<bool()>& moved) {
  const auto from = steady::now();
  while (!moved()) {
    if (steady::now() - from > 2s) return -1;
    std::this_thread::sleep_for(1ms);
  }
  return std::chrono::duration<double, std::milli>(steady::now() - from).count();
}

int green_losses(const std::filesystem::path& dir) {
  int n = 0;
  for (const auto& m : log_messages(dir)) n += m.starts_with("Gracz zielony upuscil kulke");
  return n;
}

// The child's last word: what it measured, for the test to judge.
[[noreturn]] void tell(const std::filesystem::path& dir, const figures& f) {
  std::ofstream(dir / "figures") << f.joined << ' ' << f.guest_left << ' ' << f.guest_right << ' '
                                 << f.host_left << ' ' << f.host_right << ' ' << f.returns << ' ' << f.losses
                                 << ' ' << f.bricks_apart << ' ' << f.ball_jumps << ' ' << f.largest_jump
                                 << '\n';
  std::_Exit(0);
}

// The child's side: the game as host, the relay and the guest; what it measured goes to `out`.
[[noreturn]] void host_and_guest(const std::filesystem::path& dir, std::chrono::milliseconds one_way) {
  std::filesystem::current_path(dir);
  figures f;
  const auto done = [&] { tell(dir, f); };
  const std::uint16_t port = free_udp_port();
  static startup::command_line host;
  host.play = startup::command_line::role::host;
  host.port = port;
  host.router = false;
  host.mute = true;
  host.code = net::join_code("24681357");
  host.toolkit = {"multiplayer_tolvaran"};
  startup::static_initialisation(host);
  startup::multiplayer_tolvaran(*runtime_log::log);
  state::board_monitor& host_board = *state::board_state;
  const auto waits = [&] {
    for (const auto& m : log_messages(dir))
      if (m.starts_with("Gra przez siec czeka na goscia")) return true;
    return false;
  };
  if (!eventually(waits, 60s)) done();

  lossy_relay relay(port, 0.05, one_way);
  recording_log log;
  state::board_monitor board{log};
  state::players_monitor players;
  input::keyboard_monitor keys;
  // (On such a line the join's few datagrams may all be lost: the guest tries afresh by itself.)
  std::atomic<int> ended{-1};
  net::guest_role guest(
      net::guest_world{board, players, keys, log, nullptr, [&ended](int status) { ended = status; }},
      "127.0.0.1", relay.port(), net::join_code("24681357"), 0ms);
  guest.launch();
  if (!guest.start() ||
      !eventually(
          [&] {
            return ended >= 0 || (guest.playing() && board.get_ball().color[common::color_part::R] > 0);
          },
          40s) ||
      ended >= 0)
    done();
  f.joined = 1;
  std::this_thread::sleep_for(500ms);

  // Each key from the pad at rest: when the guest's own pad moves, and when the host's does.
  for (const unsigned char key : {'a', 'd'}) {
    const float guest_was = board.get_pad2().pos.x, host_was = host_board.get_pad2().pos.x;
    keys.set_key_down(key);
    const double guest_moved = until([&] { return board.get_pad2().pos.x != guest_was; });
    const double host_moved = until([&] { return host_board.get_pad2().pos.x != host_was; });
    (key == 'a' ? f.guest_left : f.guest_right) = guest_moved;
    (key == 'a' ? f.host_left : f.host_right) = host_moved < 0 ? -1 : guest_moved + host_moved;
    std::this_thread::sleep_for(200ms);
    keys.set_key_up(key);
    std::this_thread::sleep_for(300ms);
  }

  // The guest follows the ball it sees with its keys, the host's red pad the host's ball; each time the
  // host's ball turns back at the green pad's line (20.5) is a return.
  const int lost_before = green_losses(dir);
  float last_vy = host_board.get_ball().vel.y;
  auto next_game = steady::now();
  int looked = 0;
  common::vector last_ball = board.get_ball().pos;
  std::uint8_t last_jumps = guest.host_jumps();
  const auto frame = std::chrono::duration<float>(1.0f / common::frame_rate);
  auto last_frame = steady::now();
  // Until the ball has come to the green side ten times, or for a minute and a half at most (on some boards
  // it stays among the bricks for long).
  for (const auto end = steady::now() + 90s; steady::now() < end && f.returns + f.losses < 10;
       std::this_thread::sleep_for(1ms)) {
    const common::ball_type seen = board.get_ball();
    const float pad = board.get_pad2().pos.x;
    seen.pos.x < pad - 0.5f ? keys.set_key_down('a') : keys.set_key_up('a');
    seen.pos.x > pad + 0.5f ? keys.set_key_down('d') : keys.set_key_up('d');
    const common::ball_type ball = host_board.get_ball();
    const float red = host_board.get_pad1().pos.x;
    ball.pos.x < red - 0.5f ? input::keyboard_state->set_key_down('a')
                            : input::keyboard_state->set_key_up('a');
    ball.pos.x > red + 0.5f ? input::keyboard_state->set_key_down('d')
                            : input::keyboard_state->set_key_up('d');
    if (last_vy > 0.0f && ball.vel.y < 0.0f && ball.pos.y > 18.5f) ++f.returns;
    if (++looked % 100 == 0) f.losses = green_losses(dir) - lost_before;
    last_vy = ball.vel.y;
    // At each frame the guest's ball moved by its own motion and a cell at most (20 ms of it to spare for
    // this thread's wake-ups), unless the host's ball was put somewhere.
    if (const auto now = steady::now(); now - last_frame >= frame) {
      const float spent = std::chrono::duration<float>(now - last_frame).count();
      const float moved = std::hypot(seen.pos.x - last_ball.x, seen.pos.y - last_ball.y);
      const float speed = std::hypot(seen.vel.x, seen.vel.y);
      if (moved > speed * (spent + 0.02f) + 1.0f && guest.host_jumps() == last_jumps) {
        ++f.ball_jumps;
        f.largest_jump = std::max(f.largest_jump, static_cast<double>(moved));
      }
      last_jumps = guest.host_jumps();
      last_ball = seen.pos;
      last_frame = now;
    }
    if (board.get_info().starts_with("Wygra") && steady::now() > next_game) {
      guest.takes_menu_command(common::menu_command::board_0);
      next_game = steady::now() + 2s;
    }
  }
  f.losses = green_losses(dir) - lost_before;

  // Paused from the guest: the same bricks on both.
  guest.takes_menu_command(common::menu_command::pause);
  std::this_thread::sleep_for(1s);
  const board::brick_matrix here = board.get_brick_matrix_state(),
                            there = host_board.get_brick_matrix_state();
  f.bricks_apart = 0;
  for (std::size_t i = 0; i < here.cells.size(); ++i)
    f.bricks_apart += here.cells[i].exists != there.cells[i].exists;
  tell(dir, f);
}

class GreenPadLine : public ::testing::TestWithParam<int> {};

TEST_P(GreenPadLine, TheGuestsPadAnswersAtOnceTheHostsFollowsAndReturnsTheBallsTheGuestMeets) {
  const std::chrono::milliseconds one_way(GetParam());
  xvfb_server x;
  temp_dir dir;
  std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir / "boards");
  const pid_t parent = ::getpid();
  const pid_t game = ::fork();
  if (game == 0) {
    die_with(parent);
    host_and_guest(dir.path(), one_way);
  }
  int status = 0;
  ASSERT_TRUE(eventually([&] { return ::waitpid(game, &status, WNOHANG) == game; }, 180s));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  figures f;
  std::ifstream(dir / "figures") >> f.joined >> f.guest_left >> f.guest_right >> f.host_left >>
      f.host_right >> f.returns >> f.losses >> f.bricks_apart >> f.ball_jumps >> f.largest_jump;
  std::printf(
      "%d ms each way: guest key to its own pad %.0f / %.0f ms, to the host's %.0f / %.0f ms; "
      "returns %d, green losses %d, bricks apart %d, ball jumps %d (%.2f cells)\n",
      GetParam(), f.guest_left, f.guest_right, f.host_left, f.host_right, f.returns, f.losses, f.bricks_apart,
      f.ball_jumps, f.largest_jump);
  ASSERT_EQ(f.joined, 1) << "the guest did not join";
  // A frame is 29 ms and an input sample 10 ms; these bounds leave room for a busy machine.
  for (const double guest : {f.guest_left, f.guest_right}) {
    EXPECT_GE(guest, 0.0);
    EXPECT_LE(guest, 250.0);
  }
  // Within the line's delay and a sample; a lost steering message waits for the repeat, 50 ms later.
  for (const double host : {f.host_left, f.host_right}) {
    EXPECT_GE(host, 0.0);
    EXPECT_LE(host, static_cast<double>(one_way.count()) + 500.0);
  }
  EXPECT_GE(f.returns + f.losses, 5) << "the ball came to the green side too seldom to judge";
  EXPECT_GT(f.returns, f.losses) << "the host's green pad is not where the guest's screen showed it";
  EXPECT_EQ(f.bricks_apart, 0);
  EXPECT_EQ(f.ball_jumps, 0) << "the guest's ball leapt, by up to " << f.largest_jump << " cells";
}

INSTANTIATE_TEST_SUITE_P(EachWay, GreenPadLine, ::testing::Values(0, 50, 100, 150),
                         [](const auto& info) { return std::to_string(info.param) + "ms"; });

}  // namespace
