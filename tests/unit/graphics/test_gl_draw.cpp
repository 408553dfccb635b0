// The heads-up block's texts: times, points and speed as the player reads them.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "graphics/gl_draw.hpp"

namespace {

using namespace std::chrono_literals;
using seconds = std::chrono::duration<double>;

TEST(TimeText, RoundsToWholeSecondsAndWrapsAtADay) {
  using gl_draw::time_text;
  EXPECT_EQ(time_text(seconds(90061.4)), "01:01:01");
  EXPECT_EQ(time_text(seconds(-1.0)), "23:59:59");
  EXPECT_EQ(time_text(seconds(0.0)), "00:00:00");
  EXPECT_EQ(time_text(seconds(0.5)), "00:00:01");  // halves away from zero
  EXPECT_EQ(time_text(seconds(-0.5)), "23:59:59");
  EXPECT_EQ(time_text(seconds(-0.49)), "00:00:00");
  EXPECT_EQ(time_text(seconds(3599.49)), "00:59:59");
  EXPECT_EQ(time_text(seconds(3600.0)), "01:00:00");
  EXPECT_EQ(time_text(seconds(86399.0)), "23:59:59");
  EXPECT_EQ(time_text(seconds(86399.5)), "00:00:00");
  EXPECT_EQ(time_text(seconds(-3 * 86400.0 - 3661.0)), "22:58:59");
  EXPECT_EQ(time_text(seconds(1.7e9)), "22:13:20");  // a span from the zero time, far from a day
  EXPECT_THROW(time_text(seconds(std::numeric_limits<double>::quiet_NaN())), std::range_error);
}

TEST(HeadsUpLines, ShowTheGameFiguresAsIntegerImages) {
  using namespace gl_draw;
  EXPECT_EQ(title_line(), "Multiplayer Tolvaran 0.2");
  EXPECT_EQ(time_line(program_time_label, 3661s), "Czas od uruchomienia programu: 01:01:01");
  EXPECT_EQ(red_points_line(600), "Gracz czerwony:  600");
  EXPECT_EQ(red_points_line(1000), "Gracz czerwony:  1000");
  EXPECT_EQ(green_points_line(-500), "Gracz zielony: -500");
  EXPECT_EQ(green_points_line(0), "Gracz zielony:  0");

  EXPECT_EQ(speed_line({0.0f, 12.0f}), "Predkosc kulki wynosi: 12");
  EXPECT_EQ(speed_line({3.0f, -4.0f}), "Predkosc kulki wynosi: 5");
  EXPECT_EQ(speed_line({0.0f, -12.5f}), "Predkosc kulki wynosi: 13");
  EXPECT_EQ(speed_line({2.49f, 0.0f}), "Predkosc kulki wynosi: 2");
  EXPECT_EQ(speed_line({0.0f, 0.0f}), "Predkosc kulki wynosi: 0");
  EXPECT_EQ(speed_line({0.0f, -2147483520.0f}), "Predkosc kulki wynosi: 2147483520");  // the float below 2^31
  EXPECT_THROW(speed_line({2147483648.0f, 0.0f}), std::range_error);
  EXPECT_THROW(speed_line({3.0e9f, 0.0f}), std::range_error);
  EXPECT_THROW(speed_line({std::numeric_limits<float>::quiet_NaN(), 0.0f}), std::range_error);

  const std::chrono::system_clock::time_point started = std::chrono::system_clock::time_point{} + 1000h;
  EXPECT_EQ(game_time_line(started, started + 61500ms), "Czas biezacej rozgrywki: 00:01:02");
  EXPECT_EQ(game_time_line(std::chrono::system_clock::time_point{}, started),
            "Czas biezacej rozgrywki: --:--:--");
}

}  // namespace

namespace {

// When a kept display list must be compiled again.
TEST(DisplayLists, AListIsCompiledAgainOnlyForWhatItDoesNotHold) {
  gl_draw::list_keys<int, 2> pads;
  EXPECT_TRUE(pads.choose(3).compile);  // nothing compiled yet
  const std::size_t three = pads.choose(3).list;
  EXPECT_FALSE(pads.choose(3).compile);

  // A second key takes the other list and both are kept ...
  const auto five = pads.choose(5);
  EXPECT_TRUE(five.compile);
  EXPECT_NE(five.list, three);
  EXPECT_EQ(pads.choose(3).list, three);
  EXPECT_FALSE(pads.choose(3).compile);
  EXPECT_FALSE(pads.choose(5).compile);

  // ... a third takes over the one used longest ago (3 here), and 5 stays.
  const auto seven = pads.choose(7);
  EXPECT_TRUE(seven.compile);
  EXPECT_EQ(seven.list, three);
  EXPECT_FALSE(pads.choose(5).compile);
  EXPECT_TRUE(pads.choose(3).compile);  // and back again: 7 was used longer ago than 5

  // A new context holds no list at all.
  pads.forget();
  EXPECT_TRUE(pads.choose(5).compile);
  EXPECT_TRUE(pads.choose(3).compile);
  EXPECT_FALSE(pads.choose(5).compile);
}

}  // namespace
