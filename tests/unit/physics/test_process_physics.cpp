// The physics: helpers, the three phases of a tick, its error regions, the thread's start-up, and whole
// rallies on every shipped board, all on the tests' own monitors and fake time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <latch>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "physics/process_physics.hpp"
#include "support/quiet_log.hpp"
#include "support/recording_log.hpp"
#include "support/stepped_time.hpp"
#include "support/temp_dir.hpp"
#include "support/waiting.hpp"

namespace {

using namespace std::chrono_literals;
using common::ball_owner;
using testing_support::error;
using testing_support::info;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
const std::string empty_row(20, ' ');

std::string pattern(const std::vector<std::string>& rows) {  // rows from row 1; missing rows are empty
  std::string text;
  for (std::size_t r = 0; r < 20; ++r) text += (r < rows.size() ? rows[r] : empty_row) + "\n";
  return text;
}
// Firm bricks along both sides and across rows 3 and 18: a ball served from the centre stays in this box.
std::string boxed_pattern() {
  std::vector<std::string> rows(20, "X                  X");
  rows[2] = rows[17] = std::string(20, 'X');
  return pattern(rows);
}

common::brick worth(int points) {
  return {true, points, true, common::make_color(1, 0, 0)};
}
const common::brick firm{true, 0, false, common::make_color(0, 0, 1)};

// A log that refuses chosen reports (info lines that start with a text, the first few error lines) and can
// hold the caller of one info line until the test opens the gate.
class scripted_log final : public runtime_log::sink {
 public:
  void info(std::string_view m) override {
    if (!refuse_info.empty() && m.starts_with(refuse_info)) throw std::runtime_error("dziennik odmawia");
    if (!hold_at.empty() && m.starts_with(hold_at) && !held.exchange(true)) gate.wait();
    record.info(m);
  }
  void warning(std::string_view m) override { record.warning(m); }
  void error(std::string_view m) override {
    if (refuse_errors > 0 && refuse_errors--) throw std::length_error("dziennik pelny");
    record.error(m);
  }
  bool flush() override { return true; }
  std::string refuse_info, hold_at;
  int refuse_errors = 0;
  std::atomic<bool> held{false};
  std::latch gate{1};
  testing_support::recording_log record;
};

// An empty board, reset, with a pause that notes the info text it sees.
class PhysicsTable : public ::testing::Test, public common::sleeper {
 protected:
  PhysicsTable() {
    testing_support::write_file(dir / testing_support::board_file(0), pattern({}));
    board.reset();
    log.clear();
  }
  void sleep_until(common::steady_time t) override { time.sleep_until(t); }
  void sleep_for(std::chrono::nanoseconds span) override {
    seen_in_pause.push_back(board.get_info());
    time.sleep_for(span);
  }
  void put_ball(float x, float y, float vx, float vy, ball_owner owner = ball_owner::NONE) {
    board.ball_change({common::make_color(1, 1, 0), {x, y}, {vx, vy}, owner});
  }
  void tick_at(float x, float y, float vx, float vy, ball_owner owner = ball_owner::NONE) {
    put_ball(x, y, vx, vy, owner);
    physics::tick(w);
  }
  ball_owner pads_at(float x, float y, float vx, float vy) {  // the pad phase alone
    put_ball(x, y, vx, vy);
    physics::wykrywanie_padow(w, board.get_ball());
    return board.get_ball().owner;
  }
  common::vector vel() const { return board.get_ball().vel; }
  common::vector pos() const { return board.get_ball().pos; }
  bool exists(int c, int r) const { return board.brick_exists(c, r); }

  testing_support::temp_dir dir;
  testing_support::recording_log log;
  state::board_monitor board{log, dir.path().string() + "/", 7, [] { return 1; }};
  state::players_monitor players;
  common::manual_time time;
  std::vector<std::string> seen_in_pause;
  sound::event_channel events;
  sound::event_channel::reader heard{events};
  physics::world w{board, players, log, *this, &events};

  // What the ticks so far told the sound, since the last call.
  std::vector<sound::game_event> heard_since() {
    std::vector<sound::game_event> got;
    while (const auto e = heard.next()) got.push_back(*e);
    return got;
  }
};

using sound::event_kind;
sound::game_event heard_at(event_kind kind, ball_owner player, int points, float x, float y) {
  return {kind, player, points, {x, y}};
}

TEST(PhysicsHelpers, SinglePrecisionValuesAndEdges) {
  EXPECT_EQ(physics::mantisa(3.75f), 0.75f);
  EXPECT_EQ(physics::mantisa(-0.25f), 0.75f);
  EXPECT_EQ(physics::mantisa(5.0f), 0.0f);
  EXPECT_LT(physics::mantisa(-1e-9f), 1.0f);
  EXPECT_FALSE(physics::check_rad(0.6f, 0.6f, 1.0f, 1.0f));
  EXPECT_TRUE(physics::check_rad(0.7f, 0.7f, 1.0f, 1.0f));
  EXPECT_FALSE(physics::check_rad(0.5f, 1.0f, 1.0f, 1.0f));  // exactly the radius
  EXPECT_EQ(physics::sqrt(2.25f), 1.5f);
  EXPECT_EQ(physics::sqrt(0.0f), 0.0f);  // the smallest number it takes
  EXPECT_EQ(physics::sqrt(0.0001f), 0.01f);
  EXPECT_THROW(physics::sqrt(-1.0f), std::domain_error);
  EXPECT_THROW(physics::sqrt(nan), std::domain_error);
  EXPECT_NEAR(physics::upspeed(12.0f), 12.526f, 5e-4f);
  EXPECT_NEAR(physics::upspeed(-12.0f), -12.526f, 5e-4f);
  EXPECT_EQ(physics::upspeed(45.0f), 45.0f);
  EXPECT_NEAR(physics::upspeed(50.0f), 50.0066f, 5e-4f);
  float speed = 12.0f;
  int contacts;
  for (const float expected : {12.526f, 13.028f, 13.508f, 13.968f})
    EXPECT_NEAR(speed = physics::upspeed(speed), expected, 1e-3f);
  for (contacts = 4; speed <= 40.0f; ++contacts) speed = physics::upspeed(speed);
  EXPECT_NEAR(contacts, 530, 15);

  EXPECT_EQ(physics::cell_of({0.0f, 19.99f}).column, 1);
  EXPECT_EQ(physics::cell_of({-0.25f, 19.99f}).row, 20);
  // Off the board's low edges the floor still counts: rounding towards zero would put both inside it.
  EXPECT_EQ(physics::cell_of({-0.25f, -1.25f}).column, 0);
  EXPECT_EQ(physics::cell_of({-0.25f, -1.25f}).row, -1);
  // The cells of a 32-bit board: -2^31 is the lowest floor that has one, the float below 2^31 the highest.
  EXPECT_EQ(physics::cell_of({-2147483648.0f, 0.0f}).column, -2147483647);
  EXPECT_EQ(physics::cell_of({0.0f, 2147483520.0f}).row, 2147483521);
  for (const float bad : {nan, INFINITY, -INFINITY, 2147483648.0f, -2147483904.0f, -3e9f}) {
    EXPECT_THROW(physics::cell_of({10.0f, bad}), std::overflow_error) << bad;
    EXPECT_THROW(physics::cell_of({bad, 10.0f}), std::overflow_error) << bad;
  }
}

// One rule of the brick phase. The ball's centre lies at (fx, fy) inside its cell (column 10, row 12, that is
// x 9..10 and y 11..12, unless `cell` says otherwise); bricks stand at the given offsets from that cell.
struct contact_rule {
  const char* rule;
  std::vector<std::pair<int, int>> bricks;
  float fx, fy, vx, vy;
  std::vector<std::pair<int, int>> struck;  // in the order they are written off
  common::vector vel;                       // after the bounce
  std::pair<int, int> cell{10, 12};
};

const std::vector<std::pair<int, int>> all_corners{{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
constexpr float touch = 0.352f;  // a corner point at a squared distance of 0.2478: inside the ball
constexpr float reach = 0.356f;  // 0.2535: just out of reach

const std::vector<contact_rule> contact_rules{
    // Across: only the side the ball moves towards, touched once the centre is past the middle.
    {"moving right, past the middle", {{1, 0}}, 0.6f, 0.5f, 3, 12, {{1, 0}}, {-3, 12}},
    {"moving right, just past the middle", {{1, 0}}, 0.505f, 0.5f, 3, 12, {{1, 0}}, {-3, 12}},
    {"moving right, in the middle", {{1, 0}}, 0.5f, 0.5f, 3, 12, {}, {3, 12}},
    {"moving right, the brick behind", {{-1, 0}}, 0.3f, 0.5f, 3, 12, {}, {3, 12}},
    {"moving left, past the middle", {{-1, 0}}, 0.4f, 0.5f, -3, 12, {{-1, 0}}, {3, 12}},
    {"moving left, just past the middle", {{-1, 0}}, 0.495f, 0.5f, -3, 12, {{-1, 0}}, {3, 12}},
    {"moving left, in the middle", {{-1, 0}}, 0.5f, 0.5f, -3, 12, {}, {-3, 12}},
    {"moving left, not yet past the middle", {{-1, 0}}, 0.505f, 0.5f, -3, 12, {}, {-3, 12}},
    {"moving left, the brick behind", {{1, 0}}, 0.7f, 0.5f, -3, 12, {}, {-3, 12}},
    {"no speed across counts as moving left", {{-1, 0}, {1, 0}}, 0.4f, 0.5f, 0, 12, {{-1, 0}}, {0, 12}},
    {"no speed across never looks right", {{1, 0}}, 0.6f, 0.5f, 0, 12, {}, {0, 12}},
    {"the least speed right looks right", {{1, 0}}, 0.6f, 0.5f, 0.005f, 12, {{1, 0}}, {-0.005f, 12}},
    // Along, likewise.
    {"moving up, past the middle", {{0, 1}}, 0.5f, 0.6f, 3, 12, {{0, 1}}, {3, -12}},
    {"moving up, just past the middle", {{0, 1}}, 0.5f, 0.505f, 3, 12, {{0, 1}}, {3, -12}},
    {"moving up, in the middle", {{0, 1}}, 0.5f, 0.5f, 3, 12, {}, {3, 12}},
    {"moving up, the brick behind", {{0, -1}}, 0.5f, 0.3f, 3, 12, {}, {3, 12}},
    {"moving down, past the middle", {{0, -1}}, 0.5f, 0.4f, 3, -12, {{0, -1}}, {3, 12}},
    {"moving down, just past the middle", {{0, -1}}, 0.5f, 0.495f, 3, -12, {{0, -1}}, {3, 12}},
    {"moving down, in the middle", {{0, -1}}, 0.5f, 0.5f, 3, -12, {}, {3, -12}},
    {"moving down, not yet past the middle", {{0, -1}}, 0.5f, 0.505f, 3, -12, {}, {3, -12}},
    {"moving down, the brick behind", {{0, 1}}, 0.5f, 0.7f, 3, -12, {}, {3, -12}},
    {"no speed along counts as moving down", {{0, -1}, {0, 1}}, 0.5f, 0.4f, 3, 0, {{0, -1}}, {3, 0}},
    {"the least speed up looks up", {{0, 1}}, 0.5f, 0.6f, 3, 0.005f, {{0, 1}}, {3, -0.005f}},
    // Both sides at once: both are written off (across first) and both components turn; a corner that
    // touches too is not looked at once a side was struck.
    {"a side and ahead together", {{1, 0}, {0, 1}, {1, 1}}, 0.7f, 0.7f, 3, 12, {{1, 0}, {0, 1}}, {-3, -12}},
    {"a side and ahead together, moving down-left",
     {{-1, 0}, {0, -1}, {-1, -1}},
     0.3f,
     0.3f,
     -3,
     -12,
     {{-1, 0}, {0, -1}},
     {3, 12}},
    {"ahead struck, the corner not looked at", {{0, 1}, {1, 1}}, 0.7f, 0.7f, 3, 12, {{0, 1}}, {3, -12}},
    {"below struck, the corner not looked at", {{0, -1}, {1, -1}}, 0.7f, 0.3f, 3, -12, {{0, -1}}, {3, 12}},
    {"a side struck, the corner not looked at", {{1, 0}, {1, 1}}, 0.7f, 0.7f, 3, 12, {{1, 0}}, {-3, 12}},
    // Corners: of the four, only the one ahead in both directions is looked at; x then takes the speed
    // along y, away from the corner.
    {"right and up: LD", all_corners, 0.7f, 0.7f, 3, 12, {{1, 1}}, {-12, 12}},
    {"left and up: RD", all_corners, 0.3f, 0.7f, -3, 12, {{-1, 1}}, {12, 12}},
    {"right and down: LU", all_corners, 0.7f, 0.3f, 3, -12, {{1, -1}}, {-12, -12}},
    {"left and down: RU", all_corners, 0.3f, 0.3f, -3, -12, {{-1, -1}}, {12, -12}},
    {"a straight serve past the middle: RD", {{-1, 1}}, 0.0f, 0.6f, 0, 12, {{-1, 1}}, {12, 12}},
    {"a straight serve in the middle", {{-1, 1}}, 0.0f, 0.5f, 0, 12, {}, {0, 12}},
    {"right and up, just touching", {{1, 1}}, 1 - touch, 1 - touch, 3, 12, {{1, 1}}, {-12, 12}},
    {"right and up, just out of reach", {{1, 1}}, 1 - reach, 1 - reach, 3, 12, {}, {3, 12}},
    {"left and up, just touching", {{-1, 1}}, touch, 1 - touch, -3, 12, {{-1, 1}}, {12, 12}},
    {"left and up, just out of reach", {{-1, 1}}, reach, 1 - reach, -3, 12, {}, {-3, 12}},
    {"right and down, just touching", {{1, -1}}, 1 - touch, touch, 3, -12, {{1, -1}}, {-12, -12}},
    {"right and down, just out of reach", {{1, -1}}, 1 - reach, reach, 3, -12, {}, {3, -12}},
    {"left and down, just touching", {{-1, -1}}, touch, touch, -3, -12, {{-1, -1}}, {12, -12}},
    {"left and down, just out of reach", {{-1, -1}}, reach, reach, -3, -12, {}, {-3, -12}},
    // Cells beyond the board's edges are empty.
    {"column 1 moving left", {}, 0.3f, 0.5f, -3, 12, {}, {-3, 12}, {1, 12}},
    {"column 20 moving right", {}, 0.7f, 0.5f, 3, 12, {}, {3, 12}, {20, 12}},
    {"row 1 moving down", {}, 0.5f, 0.3f, 3, -12, {}, {3, -12}, {10, 1}},
    {"row 20 moving up, into the corner", {}, 0.7f, 0.7f, 3, 12, {}, {3, 12}, {20, 20}},
};

TEST_F(PhysicsTable, EveryContactDirectionAndEveryCorner) {
  for (const contact_rule& c : contact_rules) {
    SCOPED_TRACE(c.rule);
    board.reset();
    log.clear();
    const auto [column, row] = c.cell;
    for (const auto& [dx, dy] : c.bricks) board.set_brick(column + dx, row + dy, worth(dx + 5 * dy + 10));
    put_ball(float(column - 1) + c.fx, float(row - 1) + c.fy, c.vx, c.vy, ball_owner::PLAYER1);
    physics::wykrywanie_klockow(w, board.get_ball(), physics::cell_of(board.get_ball().pos));

    EXPECT_EQ(vel(), c.vel);
    std::vector<std::string> written_off;
    for (const auto& [dx, dy] : c.struck)
      written_off.push_back("Zniszczono kostke: [" + common::image(column + dx) + "," +
                            common::image(row + dy) + "], warta " + common::image(dx + 5 * dy + 10) +
                            " punkow");
    EXPECT_EQ(log.messages(), written_off);
    std::vector<sound::game_event> sounds;  // each brick written off is heard from its own cell
    for (const auto& [dx, dy] : c.struck)
      sounds.push_back(heard_at(event_kind::brick_destroyed, ball_owner::PLAYER1, dx + 5 * dy + 10,
                                float(column + dx) - 0.5f, float(row + dy) - 0.5f));
    EXPECT_EQ(heard_since(), sounds);
    for (const auto& brick : c.bricks) {
      const bool struck = std::find(c.struck.begin(), c.struck.end(), brick) != c.struck.end();
      EXPECT_EQ(exists(column + brick.first, row + brick.second), !struck)
          << brick.first << ", " << brick.second;
    }
  }
}

TEST_F(PhysicsTable, WrittenOffBricksScoreForTheBallsOwner) {
  // A destructible brick goes and its points go to whoever touched the ball last; nobody's after a serve.
  struct scoring {
    ball_owner owner;
    int red, green;
  };
  for (const auto& [owner, red, green] : {scoring{ball_owner::PLAYER1, 607, 600},
                                          {ball_owner::PLAYER2, 600, 607},
                                          {ball_owner::NONE, 600, 600}}) {
    board.reset();
    players.reset_players();
    players.add1(-400);
    players.add2(-400);
    board.set_brick(11, 12, worth(7));
    tick_at(9.7f, 11.5f, 3.0f, 12.0f, owner);
    EXPECT_FALSE(exists(11, 12));
    EXPECT_EQ(std::pair(players.r1(), players.r2()), std::pair(red, green)) << int(owner);
  }
  EXPECT_EQ(log.messages().back(), "Zniszczono kostke: [ 11, 12], warta  7 punkow");

  // A firm brick turns the ball silently, stays, and scores nothing.
  log.clear();
  board.set_brick(11, 12, firm);
  tick_at(9.7f, 11.5f, 3.0f, 12.0f, ball_owner::PLAYER1);
  EXPECT_EQ(vel().x, -3.0f);
  EXPECT_TRUE(exists(11, 12));
  EXPECT_EQ(players.r1(), 600);
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(heard_since().back(), heard_at(event_kind::firm_struck, ball_owner::PLAYER1, 0, 10.5f, 11.5f));

  // A cell emptied by a new game between the contact and the write-off is not scored.
  board.set_brick(3, 3, {false, 30, true, {}});
  physics::destroy_brick(w, 3, 3, board.get_ball());
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(players.r1(), 600);
  EXPECT_TRUE(heard_since().empty());
}

// One rule of the pad phase, with both pads in the middle (x 7..13) and the ball at (x, y) moving at (vx,
// vy).
struct pad_rule {
  const char* rule;
  float x, y, vx, vy;
  ball_owner returned_by;  // NONE: not returned
};

const std::vector<pad_rule> pad_rules{
    {"over pad 1's centre, beyond its line", 10.0f, 0.4f, 1, -12, ball_owner::PLAYER1},
    {"just beyond pad 1's line", 10.0f, 0.495f, 1, -12, ball_owner::PLAYER1},
    {"on pad 1's line", 10.0f, 0.5f, 1, -12, ball_owner::NONE},
    {"just before pad 1's line", 10.0f, 0.505f, 1, -12, ball_owner::NONE},
    {"far beyond pad 1's line, past the loss line", 10.0f, -1.6f, 1, -12, ball_owner::PLAYER1},
    {"beyond pad 1's line moving away", 10.0f, 0.4f, 0, 5, ball_owner::PLAYER1},
    {"just inside pad 1's right end", 12.99f, 0.4f, 1, -12, ball_owner::PLAYER1},
    {"on pad 1's right end", 13.0f, 0.4f, 1, -12, ball_owner::NONE},
    {"just inside pad 1's left end", 7.01f, 0.4f, 1, -12, ball_owner::PLAYER1},
    {"on pad 1's left end", 7.0f, 0.4f, 1, -12, ball_owner::NONE},
    {"over pad 2's centre, beyond its line", 10.0f, 19.6f, 1, 12, ball_owner::PLAYER2},
    {"just beyond pad 2's line", 10.0f, 19.505f, 1, 12, ball_owner::PLAYER2},
    {"on pad 2's line", 10.0f, 19.5f, 1, 12, ball_owner::NONE},
    {"just before pad 2's line", 10.0f, 19.495f, 1, 12, ball_owner::NONE},
    {"beyond pad 2's line moving away", 10.0f, 19.6f, -2, -7, ball_owner::PLAYER2},
    {"just inside pad 2's right end", 12.9f, 19.6f, 1, 12, ball_owner::PLAYER2},
    {"on pad 2's right end", 13.0f, 19.6f, 1, 12, ball_owner::NONE},
    {"just inside pad 2's left end", 7.01f, 19.6f, 1, 12, ball_owner::PLAYER2},
    {"on pad 2's left end", 7.0f, 19.6f, 1, 12, ball_owner::NONE},
    {"between the lines", 10.0f, 10.0f, 1, 12, ball_owner::NONE},
};

TEST_F(PhysicsTable, PadsReturnTheBallOnlyBeyondTheirLinesAndOverThemselves) {
  for (const pad_rule& r : pad_rules) {
    SCOPED_TRACE(r.rule);
    EXPECT_EQ(pads_at(r.x, r.y, r.vx, r.vy), r.returned_by);
    const common::ball_type ball = board.get_ball();
    const std::vector<sound::game_event> sounds = heard_since();
    if (r.returned_by == ball_owner::NONE) {
      EXPECT_EQ(ball.vel, (common::vector{r.vx, r.vy}));
      EXPECT_EQ(ball.pos.y, r.y);
      EXPECT_TRUE(sounds.empty());
      continue;
    }
    EXPECT_EQ(sounds,
              std::vector{heard_at(event_kind::pad_return, r.returned_by, 0, ball.pos.x, ball.pos.y)});
    // Back on the pad's line, sped up along y towards the other end, bent by where it met the pad:
    // pad_roundness_level / width (10 / 6) per cell from the pad's centre.
    const bool pad1 = r.returned_by == ball_owner::PLAYER1;
    EXPECT_EQ(ball.pos, (common::vector{r.x, pad1 ? 0.5f : 19.5f}));
    EXPECT_FLOAT_EQ(ball.vel.y,
                    pad1 ? physics::upspeed(std::fabs(r.vy)) : -physics::upspeed(std::fabs(r.vy)));
    EXPECT_FLOAT_EQ(ball.vel.x, r.vx + (r.x - 10.0f) * 10.0f / 6.0f);
  }
  EXPECT_NEAR(physics::upspeed(12.0f), 12.526f, 5e-4f);
}

TEST_F(PhysicsTable, APadReturnsTheBallAsTheBricksBouncedIt) {
  // Beside a brick just before pad 1: the brick turns the ball left, then the pad returns the turned ball.
  board.set_brick(11, 1, firm);
  tick_at(9.7f, 0.4f, 3.0f, -12.0f);
  EXPECT_EQ(board.get_ball().owner, ball_owner::PLAYER1);
  EXPECT_FLOAT_EQ(vel().x, -3.0f + (9.7f - 10.0f) * 10.0f / 6.0f);

  // A pad that arrives while the ball is beyond its line still returns it.
  board.reset();
  tick_at(14.5f, 0.2f, 0.0f, -12.0f);
  EXPECT_EQ(board.get_ball().owner, ball_owner::NONE);
  for (int i = 0; i < 8; ++i) board.pad1_go(common::direction::R);
  physics::tick(w);
  EXPECT_EQ(board.get_ball().owner, ball_owner::PLAYER1);
  EXPECT_FLOAT_EQ(pos().y, 0.5f + physics::upspeed(12.0f) * 0.001f);
  // Pad 2 has stayed in the middle: at its end only it counts, wherever pad 1 stands.
  tick_at(14.5f, 19.8f, 0.0f, 12.0f);
  EXPECT_EQ(board.get_ball().owner, ball_owner::NONE);
}

TEST_F(PhysicsTable, LossLinesOnBothSidesOfTheirBounds) {
  struct loss_rule {
    float y;
    int red, green;  // points after the loss phase, from 600 each
  };
  for (const auto& [y, red, green] : {loss_rule{-1.49f, 600, 600},
                                      {-1.5f, 600, 600},
                                      {-1.51f, 100, 600},
                                      {21.49f, 600, 600},
                                      {21.5f, 600, 600},
                                      {21.51f, 600, 100}}) {
    players.reset_players();
    players.add1(-400);
    players.add2(-400);
    put_ball(3.0f, y, 0.0f, y < 10 ? -12.0f : 12.0f);
    physics::wykrywanie_przegranej(w);
    EXPECT_EQ(std::pair(players.r1(), players.r2()), std::pair(red, green)) << y;
    const ball_owner loser = red < 600     ? ball_owner::PLAYER1
                             : green < 600 ? ball_owner::PLAYER2
                                           : ball_owner::NONE;
    std::vector<sound::game_event> lost;
    if (loser != ball_owner::NONE) lost.push_back(heard_at(event_kind::ball_lost, loser, 0, 3.0f, y));
    EXPECT_EQ(heard_since(), lost) << y;
  }
}

TEST_F(PhysicsTable, DroppedBallsPenaltiesAndWinners) {
  // 600 points: the loss shows for 2 s, then a new serve that has already made its first step.
  put_ball(3.0f, -1.6f, 0.0f, -12.0f, ball_owner::PLAYER1);
  const common::steady_time t0 = time.now();
  physics::tick_period(w, time, *this);
  EXPECT_EQ(time.now(), t0 + 2s);  // the late tick is not made up
  EXPECT_EQ(players.r1(), 100);
  EXPECT_EQ(seen_in_pause, std::vector<std::string>{"Gracz czerwony traci: -500punktow"});
  EXPECT_EQ(time.pauses(), std::vector<std::chrono::nanoseconds>{2s});
  EXPECT_EQ(board.get_info(), "");
  EXPECT_EQ(pos().x, 10.0f);
  EXPECT_NEAR(std::fabs(pos().y - 10.0f), 0.012f, 1e-5f);
  EXPECT_EQ(board.get_ball().owner, ball_owner::NONE);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Gracz czerwony upuscil kulke, straci\xB3 wiec: -500 punktow",
                                      "Kulka zostala zresetowana"}));
  physics::tick_period(w, time, *this);
  EXPECT_EQ(time.now(), t0 + 2s + 1ms);

  // Green: its own texts; exactly 0 points is still in the game.
  log.clear();
  players.add2(-100);
  tick_at(3.0f, 21.6f, 0.0f, 12.0f);
  EXPECT_EQ(players.r2(), 0);
  EXPECT_TRUE(board.enabled());
  EXPECT_EQ(seen_in_pause.back(), "Gracz zielony traci: -500punkt\xF3w");
  EXPECT_EQ(log.messages().front(), "Gracz zielony upuscil kulke, straci\xB3 wiec: -500 punktow");

  // 100 points: -400, green wins, play stops, nothing logged, the ball is not served again.
  log.clear();
  tick_at(3.0f, -1.6f, 0.0f, -12.0f);
  EXPECT_EQ(players.r1(), -400);
  EXPECT_FALSE(board.enabled());
  EXPECT_EQ(board.get_info(), "Wygra\xB3 Gracz zielony !");
  EXPECT_FLOAT_EQ(pos().y, -1.612f);
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(time.pauses().size(), 2u);
  physics::tick(w);  // stopped: nothing moves
  EXPECT_FLOAT_EQ(pos().y, -1.612f);

  // Resumed without a new game, the ball is still beyond the line: charged again, stopped again.
  board.start();
  physics::tick(w);
  EXPECT_EQ(players.r1(), -900);
  EXPECT_FALSE(board.enabled());
  EXPECT_EQ(board.get_info(), "Wygra\xB3 Gracz zielony !");
  // Green's drop is judged by green's points alone, whatever red has.
  players.reset_players();
  players.add2(-900);
  board.start();
  tick_at(3.0f, 21.6f, 0.0f, 12.0f);
  EXPECT_EQ(board.get_info(), "Wygra\xB3 Gracz czerwony !");
  EXPECT_FALSE(board.enabled());
}

TEST_F(PhysicsTable, IdleTicksRestAndPlayingTicksWakeUpPrecisely) {
  const common::steady_time t0 = time.now();
  put_ball(10.0f, 10.0f, 0.0f, 12.0f);
  physics::tick_period(w, time, time);
  EXPECT_EQ(time.now(), t0 + 1ms);
  EXPECT_EQ(std::pair(time.sleeps(), time.rests()), std::pair(1, 0));

  // Paused: each tick only rests out its millisecond.
  board.stop();
  for (int i = 0; i < 3; ++i) physics::tick_period(w, time, time);
  EXPECT_EQ(time.now(), t0 + 4ms);
  EXPECT_EQ(std::pair(time.sleeps(), time.rests()), std::pair(4, 3));
  EXPECT_FLOAT_EQ(pos().y, 10.012f);

  // Resumed during a rest: the very next tick plays, and wakes up precisely again.
  board.start();
  physics::tick_period(w, time, time);
  EXPECT_EQ(time.now(), t0 + 5ms);
  EXPECT_EQ(std::pair(time.sleeps(), time.rests()), std::pair(5, 3));
  EXPECT_FLOAT_EQ(pos().y, 10.024f);

  // An idle tick that starts late makes up nothing either.
  board.stop();
  time.advance(5ms);
  physics::tick_period(w, time, time);
  EXPECT_EQ(time.now(), t0 + 11ms);
  EXPECT_EQ(time.rests(), 4);
}

TEST_F(PhysicsTable, ErrorsInsideAPhaseLetTheTickGoOn) {
  scripted_log faults;
  const physics::world f{board, players, faults, *this};
  const auto line = [](std::string_view prefix, std::string_view what) {
    return std::string(prefix) + std::string(what);
  };

  // Logging the destroyed brick fails: nothing scored, the brick stays, the ball still turns.
  faults.refuse_info = "Zniszczono";
  board.set_brick(7, 13, worth(7));
  put_ball(5.6f, 12.5f, 3.0f, 12.0f, ball_owner::PLAYER1);
  physics::tick(f);
  EXPECT_TRUE(exists(7, 13));
  EXPECT_EQ(players.r1(), 600);
  EXPECT_EQ(vel().x, -3.0f);
  EXPECT_EQ(faults.record.entries(),
            std::vector{error(line(physics::destroy_brick_error_prefix,
                                   "std::runtime_error jego opis: dziennik odmawia"))});

  // And reporting that fails too: the brick phase catches it, no bounce, the rest of the tick runs.
  faults.record.clear();
  faults.refuse_errors = 1;
  put_ball(5.6f, 12.5f, 3.0f, 12.0f);
  physics::tick(f);
  EXPECT_EQ(vel().x, 3.0f);
  EXPECT_FLOAT_EQ(pos().x, 5.603f);
  EXPECT_EQ(faults.record.entries(), std::vector{error(line(physics::brick_phase_error_prefix,
                                                            "std::length_error jego opis: dziennik pelny"))});

  // A velocity that is not a number cannot be sped up: the ball is left as it was.
  faults.record.clear();
  put_ball(10.0f, 0.4f, 1.0f, nan);
  physics::tick(f);
  EXPECT_EQ(board.get_ball().owner, ball_owner::NONE);
  EXPECT_FLOAT_EQ(pos().x, 10.001f);
  ASSERT_EQ(faults.record.size(), 1u);
  EXPECT_TRUE(faults.record.messages()[0].starts_with(
      line(physics::pad_phase_error_prefix, "std::domain_error jego opis: ")));

  // The loss cannot be logged: the penalty and its text stay, no pause, no new serve, the ball still steps.
  faults.record.clear();
  faults.refuse_info = "Gracz czerwony";
  put_ball(3.0f, -1.6f, 0.0f, -12.0f);
  physics::tick(f);
  EXPECT_EQ(players.r1(), 100);
  EXPECT_EQ(board.get_info(), "Gracz czerwony traci: -500punktow");
  EXPECT_TRUE(seen_in_pause.empty());
  EXPECT_FLOAT_EQ(pos().y, -1.612f);
  EXPECT_EQ(faults.record.entries(),
            std::vector{error(
                line(physics::loss_phase_error_prefix, "std::runtime_error jego opis: dziennik odmawia"))});

  // Outside the phases: a position with no cell is thrown to the thread, before anything changes.
  put_ball(nan, 5.0f, 1.0f, 1.0f);
  EXPECT_THROW(physics::tick(f), std::overflow_error);
  board.stop();
  EXPECT_NO_THROW(physics::tick(f));  // idle: the ball is not even read
  physics::tick_period(f, time, time);
  EXPECT_EQ(time.sleeps(), 1);
}

TEST(PhysicsThread, StartReturnsOnlyAfterTheResetAndErrorsEndOnlyThisThread) {
  testing_support::temp_dir dir;
  testing_support::write_file(dir / testing_support::board_file(0), boxed_pattern());
  scripted_log log;
  log.hold_at = "Wygenerowano";
  state::board_monitor board{log, dir.path().string() + "/"};
  state::players_monitor players;
  common::manual_time time;  // the physics thread's alone
  sound::event_channel events;
  sound::event_channel::reader heard{events};
  physics::physics_thread physics{{board, players, log, time, &events}, time, time};
  physics.launch();

  ASSERT_TRUE(physics.init());
  ASSERT_TRUE(testing_support::eventually([&] { return log.held.load(); }, 20s));
  std::atomic<bool> start_done{false};
  bool enabled_at_return = false;
  std::jthread caller([&] {
    EXPECT_TRUE(physics.start());
    enabled_at_return = board.enabled();
    start_done = true;
  });
  ASSERT_TRUE(testing_support::eventually([&] { return physics.has_waiting_caller(); }, 20s));
  EXPECT_FALSE(start_done.load());  // (the board itself is locked by the reset meanwhile)
  log.gate.count_down();
  caller.join();
  EXPECT_TRUE(enabled_at_return);
  EXPECT_EQ(heard.next(), (sound::game_event{sound::event_kind::new_game, ball_owner::NONE, 0, {10, 10}}));
  ASSERT_TRUE(testing_support::eventually([&] { return physics.ticks() > 100; }, 20s));
  EXPECT_FALSE(physics.start());  // ticking: refused at once
  EXPECT_TRUE(physics.running());

  // A ball position that is not a number ends the physics thread, and only it.
  board.ball_change({{}, {10.0f, nan}, {0.0f, 12.0f}, ball_owner::NONE});
  ASSERT_TRUE(testing_support::eventually([&] { return !physics.running(); }, 20s));
  const auto entries = log.record.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_TRUE(entries.back().message.starts_with(std::string(physics::thread_error_prefix) +
                                                 "std::overflow_error jego opis: "));
  EXPECT_FALSE(physics.init());
  board.pad1_go(common::direction::L);
  EXPECT_FLOAT_EQ(board.get_pad1().pos.x, 9.8f);
}

TEST(PhysicsThread, TicksOnceAMillisecondWithoutCatchingUpAndAsksForShortSlices) {
  testing_support::temp_dir dir;
  testing_support::write_file(dir / testing_support::board_file(0), boxed_pattern());
  testing_support::recording_log log;
  state::board_monitor board{log, dir.path().string() + "/"};
  state::players_monitor players;
  testing_support::stepped_time time;
  // The sleeps go on to the stepped time; the first also notes the sleeping thread's time slice.
  struct slice_noting_sleeper final : common::sleeper {
    testing_support::stepped_time& time;
    std::atomic<std::uint64_t> slice{1};
    explicit slice_noting_sleeper(testing_support::stepped_time& t) : time(t) {}
    void sleep_until(common::steady_time deadline) override {
      std::uint64_t unseen = 1;
      slice.compare_exchange_strong(unseen, common::time_slice());
      time.sleep_until(deadline);
    }
    void sleep_for(std::chrono::nanoseconds span) override { time.sleep_for(span); }
  } sleeper{time};
  physics::physics_thread physics{{board, players, log, time}, time, sleeper};
  const struct free_at_end {
    testing_support::stepped_time& time;
    ~free_at_end() { time.run_free(); }
  } guard{time};
  physics.launch();
  ASSERT_TRUE(physics.init());
  ASSERT_TRUE(physics.start());
  const common::steady_time begun = time.now();

  ASSERT_TRUE(time.wait_for_sleeps(1));
  EXPECT_EQ(time.deadlines()[0], begun + 1ms);
  EXPECT_EQ(physics.ticks(), 0u);
  time.release();
  ASSERT_TRUE(time.wait_for_sleeps(2));
  EXPECT_EQ(time.deadlines()[1], begun + 2ms);
  EXPECT_EQ(physics.ticks(), 1u);
  time.release(3ms);  // woken late: the next tick is 1 ms after this one began, nothing made up
  ASSERT_TRUE(time.wait_for_sleeps(3));
  EXPECT_EQ(time.deadlines()[2], begun + 2ms + 3ms + 1ms);
  EXPECT_EQ(physics.ticks(), 2u);

  // Where the kernel takes a thread's wish for short slices (as a test thread finds out), the physics
  // thread has made it, so that its wake-ups are served at once.
  std::uint64_t granted = 0;
  std::thread([&] {
    common::ask_for_short_slices();
    granted = common::time_slice();
  }).join();
  if (granted == 100'000) {
    EXPECT_EQ(sleeper.slice.load(), 100'000u);
  }
}

TEST(PhysicsThread, AFailedResetEndsTheThreadAndRefusesTheStart) {
  testing_support::temp_dir dir;
  scripted_log log;
  log.refuse_info = "Wygenerowano";
  state::board_monitor board{log, dir.path().string() + "/"};
  state::players_monitor players;
  common::manual_time time;
  physics::physics_thread physics{{board, players, log, time}, time, time};
  physics.launch();
  EXPECT_TRUE(physics.init());
  EXPECT_FALSE(physics.start());
  EXPECT_EQ(log.record.messages().back(),
            std::string(physics::thread_error_prefix) + "std::runtime_error jego opis: dziennik odmawia");
}

// ---------------------------------------------------------------------------------------------------------
// Whole rallies: both pads follow the ball, serves go both ways, the ball must keep coming back.

struct rally_summary {
  long longest_away = 0;  // ticks without reaching a pad line
  bool left_sideways = false;
  int arrivals = 0;  // times the ball reached a pad line
};

rally_summary play_rallies(const std::string& boards_dir, int board_number, int serves_each_way) {
  constexpr long ticks_per_serve = 75'000;  // 75 s of game time
  testing_support::quiet_log log;
  std::uint64_t seed = 100u * static_cast<std::uint64_t>(board_number);
  state::board_monitor board{log, boards_dir, seed, [&seed] { return ++seed; }};
  state::players_monitor players;
  common::manual_time time;
  const physics::world w{board, players, log, time};
  common::board_pattern.choose(board_number);
  rally_summary summary;
  for (int serve = 0; serve < 2 * serves_each_way; ++serve) {
    board.reset();
    common::ball_type ball = board.get_ball();
    ball.vel.y = serve % 2 == 0 ? -12.0f : 12.0f;
    board.ball_change(ball);
    long away = 0;
    for (long t = 0; t < ticks_per_serve; ++t) {
      if (t % 10 == 0) {  // the input period; the aim shifts with every arrival so the pads bend the ball
        const float aim = ball.pos.x + 0.7f * static_cast<float>(summary.arrivals % 5 - 2);
        const float pad1 = board.get_pad1().pos.x, pad2 = board.get_pad2().pos.x;
        if (std::fabs(aim - pad1) > 0.2f)
          board.pad1_go(aim < pad1 ? common::direction::L : common::direction::R);
        if (std::fabs(aim - pad2) > 0.2f)
          board.pad2_go(aim < pad2 ? common::direction::L : common::direction::R);
      }
      physics::tick(w);
      ball = board.get_ball();
      if (ball.pos.y >= 0.0f && ball.pos.y <= 20.0f && (ball.pos.x < 0.0f || ball.pos.x > 20.0f))
        summary.left_sideways = true;
      const bool at_line = ball.pos.y <= 0.5f || ball.pos.y >= 19.5f;
      if (at_line && away > 0) ++summary.arrivals;
      away = at_line ? 0 : away + 1;
      summary.longest_away = std::max(summary.longest_away, away);
      if (players.r1() < 600 || players.r2() < 600) players.reset_players();  // keep the game going
    }
  }
  common::board_pattern.choose(0);
  EXPECT_EQ(log.problems(), std::vector<std::string>{});
  return summary;
}

TEST(PhysicsRallies, TheCheckerSeesTrapsAndEscapes) {
  testing_support::temp_dir dir;
  const std::string boards = dir.path().string() + "/";
  std::vector<std::string> rows(20, "X  AAADDDDDDDDAAA  X");
  testing_support::write_file(dir / testing_support::board_file(0),
                              pattern(rows));  // walled, random middle: playable
  rows[7] = rows[12] = std::string(20, 'X');
  testing_support::write_file(dir / "board (1).txt", pattern(rows));  // a closed pocket round the serve
  std::vector<std::string> open(20, empty_row);
  open[11][9] = 'X';  // one brick that sends a straight ball off sideways, and no walls
  testing_support::write_file(dir / "board (2).txt", pattern(open));

  const rally_summary playable = play_rallies(boards, 0, 1);
  EXPECT_LT(playable.longest_away, 60'000);
  EXPECT_FALSE(playable.left_sideways);
  EXPECT_GT(playable.arrivals, 20);
  EXPECT_GT(play_rallies(boards, 1, 1).longest_away, 60'000);
  EXPECT_TRUE(play_rallies(boards, 2, 1).left_sideways);
}

class ShippedBoardRally : public ::testing::TestWithParam<int> {};

TEST_P(ShippedBoardRally, KeepsTheBallInPlay) {
  const std::string boards = std::string(TOLVARAN_SOURCE_DIR) + "/boards/";
  const std::string file =
      boards + common::board_pattern.name().replace(7, 1, 1, static_cast<char>('0' + GetParam()));
  ASSERT_TRUE(std::filesystem::exists(file)) << file;
  const rally_summary summary = play_rallies(boards, GetParam(), 3);
  EXPECT_LT(summary.longest_away, 60'000)
      << "the ball stayed away from both pads for " << summary.longest_away / 1000 << " s: trapped";
  EXPECT_FALSE(summary.left_sideways) << "the ball left the board sideways";
  EXPECT_GT(summary.arrivals, 60);
}

INSTANTIATE_TEST_SUITE_P(AllTen, ShippedBoardRally, ::testing::Range(0, 10));

}  // namespace
