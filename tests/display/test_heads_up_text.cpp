// The heads-up text's Polish letters, drawn into a window of the test's own and read back pixel by pixel:
// each must be freeglut's Helvetica 12 base letter with its mark, at the base letter's size, baseline and
// advance. And a waiting host's lines, measured in that font, each within the window.
#include <GL/freeglut.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "graphics/gl_draw.hpp"
#include "net/play.hpp"
#include "net/router.hpp"
#include "support/game_process.hpp"

namespace {

using namespace testing_support;
using pixel_set = std::set<std::pair<int, int>>;  // (column, row from the top)

constexpr int width = 800, height = 40;  // wider than the game's window

// Draws each text as the first heads-up line and returns its white pixels. The drawing runs in a child
// process: the GL driver keeps memory to its end, which the leak checker would hold against the test.
std::map<std::string, pixel_set> drawn(const std::vector<std::string>& texts) {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    int argc = 1;
    char name[] = "heads_up_text", *argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitWindowSize(width, height);
    glutCreateWindow("heads-up text");
    glutDisplayFunc([] {});
    glutMainLoopEvent();  // the window's size reaches freeglut
    std::string lines;
    std::vector<unsigned char> rgb(width * height * 3);
    for (const std::string& text : texts) {
      glClear(GL_COLOR_BUFFER_BIT);
      gl_draw::string_draw(true);
      gl_draw::draw_string(text);
      gl_draw::string_draw(false);
      glPixelStorei(GL_PACK_ALIGNMENT, 1);
      glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
      for (int i = 0; i < width * height; ++i)
        if (rgb[std::size_t(i) * 3] == 255)
          lines += std::to_string(i % width) + " " + std::to_string(height - 1 - i / width) + " ";
      lines += "\n";
    }
    ::_exit(::write(out[1], lines.data(), lines.size()) == ssize_t(lines.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string lines(1 << 20, '\0');
  std::size_t got = 0;
  for (ssize_t n; (n = ::read(out[0], lines.data() + got, lines.size() - got)) > 0;) got += std::size_t(n);
  ::close(out[0]);
  ::waitpid(child, nullptr, 0);
  std::istringstream in(lines.substr(0, got));
  std::map<std::string, pixel_set> images;
  for (const std::string& text : texts) {
    std::string line;
    if (!std::getline(in, line)) throw std::runtime_error("the drawing process gave up");
    std::istringstream pixels(line);
    for (int x = 0, y = 0; pixels >> x >> y;) images[text].emplace(x, y);
  }
  return images;
}

pixel_set minus(const pixel_set& a, const pixel_set& b) {
  pixel_set rest;
  for (const auto& p : a)
    if (b.count(p) == 0) rest.insert(p);
  return rest;
}

TEST(PolishLetters, AreTheFontsOwnLettersWithTheirMarks) {
  xvfb_server x;
  const std::string latin = "Wygral Gracz zielony !", polish = "Wygra\xB3 Gracz zielony !";
  auto image = drawn({"o", "\xF3", "n", "\xF1", "s", "\x9C", "l", "\xB3", "\xF1o", "no", "\x9Co", "so",
                      "\xB3o", "lo", latin, polish});
  const auto mark = [&](const std::string& letter, const std::string& base) {
    EXPECT_TRUE(minus(image[base], image[letter]).empty())
        << "the whole base letter of " << int(letter[0] & 255);
    return minus(image[letter], image[base]);
  };

  const pixel_set acute = mark("\xF3", "o");
  ASSERT_EQ(acute.size(), 2u) << "the font's own acute, on its o";

  // n-acute: the font's n with the very acute of its o (both letters are as wide).
  EXPECT_EQ(mark("\xF1", "n"), acute);

  // s-acute: the font's s with the same two-pixel acute, at its height, rising to the right.
  const pixel_set s_mark = mark("\x9C", "s");
  ASSERT_EQ(s_mark.size(), 2u);
  const auto left = *s_mark.begin(), right = *s_mark.rbegin();  // sorted by column
  EXPECT_EQ(std::pair(right.first - left.first, left.second - right.second), std::pair(1, 1));
  EXPECT_EQ(left.second, acute.begin()->second) << "at the height of the font's acute";

  // l-stroke: the font's l crossed by a stroke rising to the right, one pixel either side of the stem.
  const pixel_set stroke = mark("\xB3", "l");
  ASSERT_EQ(stroke.size(), 2u);
  const int stem = image["l"].begin()->first;
  EXPECT_EQ(std::pair(stroke.begin()->first, stroke.rbegin()->first), std::pair(stem - 1, stem + 1));
  EXPECT_GT(stroke.begin()->second, stroke.rbegin()->second);

  // Each advances as far as its base letter: a following o lands where it would after the base letter.
  EXPECT_EQ(minus(image["\xF1o"], image["no"]), mark("\xF1", "n"));
  EXPECT_EQ(minus(image["\x9Co"], image["so"]), s_mark);
  EXPECT_EQ(minus(image["\xB3o"], image["lo"]), stroke);

  // The game's own message keeps its bytes and reads right, where the font alone would show a superscript 3.
  EXPECT_EQ(mark(polish, latin).size(), 2u);
}

TEST(WaitingHostLines, FitTheWindowForTheLongestAddressesPortAndEveryWordOfTheRouter) {
  xvfb_server x;
  using kind = net::router_outcome::kind;
  const auto outcome = [](kind what, net::router_protocol p, std::string external, int error) {
    net::router_outcome o;
    o.what = what;
    o.protocol = p;
    o.port = o.external_port = 65535;
    o.external_address = std::move(external);
    o.error = error;
    return o;
  };
  const std::vector<std::string> router{
      net::router_asking_line(65535),
      net::no_router_line(65535),
      net::router_line(outcome(kind::mapped, net::router_protocol::upnp, "198.51.100.255", 0)),
      net::router_line(
          outcome(kind::mapped, net::router_protocol::upnp, "100.100.100.100", 0)),  // behind a CGN
      net::router_line(outcome(kind::mapped, net::router_protocol::natpmp, "", 0)),
      net::router_line(outcome(kind::refused, net::router_protocol::upnp, "", 718)),
      net::router_line(outcome(kind::refused, net::router_protocol::upnp, "", 2147483647)),
      net::router_line(outcome(kind::refused, net::router_protocol::natpmp, "", 65535)),
      net::router_line(outcome(kind::no_router, net::router_protocol::natpmp, "", 0)),
  };
  std::vector<std::string> lines;
  for (const std::string& said : router) {
    const std::string both =
        net::waiting_lines("12345678", {"192.168.100.100", "172.16.100.100", "10.100.100.100"}, 65535, said);
    lines.push_back(both.substr(0, both.find('\n')));
    lines.push_back(both.substr(both.find('\n') + 1));
  }
  // Drawn as the game draws them, 10 pixels from the left edge: each ends within the 600-pixel window.
  const auto images = drawn(lines);
  int widest = 0;
  for (const std::string& line : lines) {
    const int end = images.at(line).empty() ? 0 : images.at(line).rbegin()->first;
    EXPECT_LT(end, 600) << line;
    widest = std::max(widest, end);
  }
  EXPECT_GT(widest, 560) << "the longest come close to the edge";
}

}  // namespace
