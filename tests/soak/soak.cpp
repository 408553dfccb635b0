// The soak: the whole game under a private Xvfb, played at random with real X input for a while (keys held
// and released, mouse drags, the menu opened and closed, boards changed, pause and resume, steering presets
// switched, the window size toggled), then ended with "Zakoncz".
//
//   soak GAME SECONDS [--sanitized]
//
// It passes when the game exits with status 0, every log line has the entry format and the closing line is
// last; a sanitized game must also leave no sanitizer report, and an ordinary one must end within 5 MB of
// the resident memory it had after the first 10 s. It prints its figures either way.
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <set>

#include "support/x_driver.hpp"

namespace {

using namespace testing_support;
using namespace std::chrono;

constexpr long memory_tolerance_kb = 5 * 1024;

struct figures {
  double seconds = 0;
  int actions = 0;
  long resident_after_10s_kb = -1;
  long resident_at_end_kb = -1;
};

bool fail(const char* why) {
  std::printf("soak FAILED: %s\n", why);
  return false;
}

class random_player {
 public:
  explicit random_player(unsigned seed) : random_(seed) {}

  // One random action; the window may have moved or changed size since the last one.
  void act(window_geometry window) {
    const int x = pick(window.x + 20, window.x + window.width - 20);
    const int y = pick(window.y + 40, window.y + window.height - 20);
    switch (pick(0, 11)) {
      case 0:
      case 1:
      case 2: {  // a key goes down, or a held one comes up
        pointer_to(x, y);
        if (!held_.empty() && pick(0, 1) == 0) {
          const char key = *std::next(held_.begin(), pick(0, static_cast<int>(held_.size()) - 1));
          xdotool("keyup " + key_name(key));
          held_.erase(key);
        } else {
          static constexpr char keys[] = "addjjll+=-Ax ";
          const char key = keys[pick(0, static_cast<int>(std::strlen(keys)) - 1)];
          xdotool("keydown " + (key == ' ' ? std::string("space") : key_name(key)));
          if (key != ' ') held_.insert(key);
          else xdotool("keyup space");
        }
        break;
      }
      case 3:
      case 4: {  // a drag turns and tilts the board
        pointer_to(x, y);
        xdotool("mousedown 1");
        pointer_to(pick(window.x, window.x + window.width), pick(window.y, window.y + window.height));
        xdotool("mouseup 1");
        break;
      }
      case 5: {  // the menu opened and closed without a choice
        const auto [mx, my] = menu_corner(window);
        menu_.open_and_dismiss(mx, my, window.x + 5, window.y + 5);
        break;
      }
      case 6: choose(window, menu_path::board(pick(0, 9))); break;
      case 7: choose(window, pick(0, 1) == 0 ? menu_path::pause : menu_path::resume); break;
      case 8: choose(window, menu_path::red_preset(pick(0, 2))); break;
      case 9: choose(window, menu_path::green_preset(pick(0, 3))); break;
      case 10: choose(window, pick(0, 3) == 0 ? menu_path::full_screen : menu_path::default_window); break;
      default: std::this_thread::sleep_for(milliseconds(pick(50, 400))); break;
    }
  }

  // Every kind of action once, so that what the game (and the renderer under it) keeps for later, such as
  // compiled shaders or the buffers of a full-screen window, is in place before memory is first measured.
  void tour(const window_geometry& window) {
    pointer_to(window.x + 300, window.y + 300);
    for (const char key : std::string("adjl+=-A")) {
      xdotool("keydown " + key_name(key));
      xdotool("keyup " + key_name(key));
    }
    xdotool("mousedown 1");
    pointer_to(window.x + 350, window.y + 320);
    xdotool("mouseup 1");
    menu_.open_and_dismiss(window.x + 100, window.y + 100, window.x + 5, window.y + 5);
    for (const auto& path : {menu_path::pause, menu_path::resume, menu_path::red_preset(1),
                             menu_path::red_preset(0), menu_path::green_preset(0), menu_path::green_preset(3),
                             menu_path::board(1), menu_path::full_screen})
      choose(window, path);
    const auto full = game_window();
    if (full) choose(*full, menu_path::default_window);
  }

  void release_keys() {
    for (char key : held_) xdotool("keyup " + key_name(key));
    held_.clear();
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, std::max(low, high))(random_); }

  // Where to open the menu so that it and its submenus fit on the 1024 x 768 screen.
  std::pair<int, int> menu_corner(const window_geometry& window) {
    return {pick(window.x + 10, std::min(window.x + window.width - 10, 1024 - 520)),
            pick(window.y + 30, std::min(window.y + window.height - 10, 768 - 330))};
  }

  void choose(const window_geometry& window, const std::vector<int>& path) {
    const auto [mx, my] = menu_corner(window);
    menu_.choose(mx, my, path);
    std::this_thread::sleep_for(100ms);
  }

  std::mt19937 random_;
  std::set<char> held_;
  menu_driver menu_;
};

// Resident memory with the window at its start-up size: a full-screen frame buffer alone is some 6 MB more,
// which is no leak.
long settled_resident_kb(child_process& game) {
  const auto window = game_window();
  if (window && (window->width != 600 || window->height != 600)) {
    menu_driver().choose(window->x + 100, window->y + 100, menu_path::default_window);
    eventually([] {
      const auto w = game_window();
      return w && w->width == 600 && w->height == 600;
    }, 10s);
  }
  std::this_thread::sleep_for(1s);  // a few frames at that size
  return resident_kb(game.pid());
}

bool soak(const std::string& game_path, double seconds, bool sanitized, figures& out) {
  xvfb_server x;
  temp_dir dir;
  std::filesystem::copy(std::string(TOLVARAN_SOURCE_DIR) + "/boards", dir / "boards");
  child_process game(game_path, dir.path());
  if (!eventually([&] { return log_contains(dir.path(), "Zadania uruchomione"); }, 120s))
    return fail("the game did not start");

  const unsigned seed = static_cast<unsigned>(steady_clock::now().time_since_epoch().count());
  std::printf("soak: %.0f s of random play, seed %u\n", seconds, seed);
  random_player player(seed);
  const auto start = steady_clock::now();
  const auto elapsed = [&] { return duration<double>(steady_clock::now() - start).count(); };
  if (const auto window = game_window()) player.tour(*window);
  while (elapsed() < seconds) {
    if (!game.running()) return fail("the game ended during play");
    if (out.resident_after_10s_kb < 0 && elapsed() >= 10.0) out.resident_after_10s_kb = settled_resident_kb(game);
    const auto window = game_window();
    if (!window) return fail("the window is gone");
    player.act(*window);
    ++out.actions;
  }
  player.release_keys();
  out.seconds = elapsed();
  out.resident_at_end_kb = settled_resident_kb(game);

  // "Zakoncz", from the window as it is now.
  const auto window = game_window();
  if (!window) return fail("the window is gone");
  menu_driver().choose(window->x + 100, window->y + 100, menu_path::end_game);
  const std::optional<int> status = game.wait_for_exit(60s);
  if (!status) return fail("the game did not end after Zakoncz");
  if (*status != 0) return fail("the game's exit status is not 0");

  const std::regex entry(R"((Informacja  |Ostrzezenie |Blad        ) \| \d\d:\d\d:\d\d  \d{3} ms \| .*)");
  std::string last;
  for (const auto& file : log_files(dir.path())) {
    const auto lines = lines_of(read_file(file));
    if (lines.empty() || lines[0] != "Typ          |Data              |Opis") return fail("a log file without its header");
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (!std::regex_match(lines[i], entry)) {
        std::printf("bad log line: %s\n", lines[i].c_str());
        return fail("a log line without the entry format");
      }
      last = lines[i];
    }
  }
  if (!last.ends_with(" | Zako\xF1" "czono dzialanie programu")) return fail("the closing line is not last");
  const std::string errors = read_file(dir / "stderr.txt");
  if (sanitized && errors.find("Sanitizer") != std::string::npos) {
    std::printf("%s\n", errors.c_str());
    return fail("a sanitizer report");
  }
  if (!sanitized && std::abs(out.resident_at_end_kb - out.resident_after_10s_kb) > memory_tolerance_kb)
    return fail("resident memory moved by more than 5 MB");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s GAME SECONDS [--sanitized]\n", argv[0]);
    return 2;
  }
  const bool sanitized = argc > 3 && std::strcmp(argv[3], "--sanitized") == 0;
  figures f;
  const bool passed = soak(argv[1], std::atof(argv[2]), sanitized, f);
  std::printf("soak: %.1f s, %d actions, resident memory %.1f MB after 10 s, %.1f MB at the end\n", f.seconds,
              f.actions, static_cast<double>(f.resident_after_10s_kb) / 1024.0,
              static_cast<double>(f.resident_at_end_kb) / 1024.0);
  if (passed) std::printf("soak passed\n");
  return passed ? 0 : 1;
}
