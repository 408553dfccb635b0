#include "graphics/process_graphics.hpp"

#include <GL/freeglut.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "graphics/gl_draw.hpp"
#include "state/camera.hpp"

// Last: Xlib's macros (None, Bool, Status) would upset other headers.
#include <GL/glx.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace graphics {

namespace {

// How often the graphics thread takes the other threads' requests: well within one frame.
constexpr unsigned int request_drain_ms = 2;

// True on the thread that runs the GLUT loop.
thread_local bool on_graphics_thread = false;

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The game's side of the menus

namespace {

using common::new_game_on;

constexpr menu_entry board_menu[] = {
    {"Wybierz plansze nr: 0", new_game_on(0)}, {"Wybierz plansze nr: 1", new_game_on(1)},
    {"Wybierz plansze nr: 2", new_game_on(2)}, {"Wybierz plansze nr: 3", new_game_on(3)},
    {"Wybierz plansze nr: 4", new_game_on(4)}, {"Wybierz plansze nr: 5", new_game_on(5)},
    {"Wybierz plansze nr: 6", new_game_on(6)}, {"Wybierz plansze nr: 7", new_game_on(7)},
    {"Wybierz plansze nr: 8", new_game_on(8)}, {"Wybierz plansze nr: 9", new_game_on(9)},
};
constexpr menu_entry red_steering_menu[] = {
    {"A,D", menu_command::red_ad}, {"J,L", menu_command::red_jl}, {"Pad", menu_command::red_pad}};
constexpr menu_entry green_steering_menu[] = {{"A,D", menu_command::green_ad},
                                              {"J,L", menu_command::green_jl},
                                              {"Pad", menu_command::green_pad},
                                              {"Komputer", menu_command::green_computer}};
constexpr menu_entry steering_menu[] = {{"Gracz czerwony", {}, 1}, {"Gracz zielony", {}, 2}};
constexpr menu_entry window_size_menu[] = {{"Oknto domy\x9Clne", menu_command::default_window},
                                           {"Pelny Ekran", menu_command::full_screen}};
constexpr menu_entry main_menu[] = {
    {"Nowa Gra", {}, 0},
    {"Zatrzymaj", menu_command::pause},
    {"Wznow", menu_command::resume},
    {"Sterowanie", {}, 3},
    {"Rozmiar Okna", {}, 4},
    {"Zakoncz", menu_command::end},
};
}  // namespace

const std::array<std::span<const menu_entry>, 6> menu_tree{
    board_menu, red_steering_menu, green_steering_menu, steering_menu, window_size_menu, main_menu};

bool sets_running_flag(menu_command c) {
  return common::shared_with_other_computer(c);
}

bool menu_action(const world& w, menu_command c) {
  using common::key_preset;
  // The steering commands in menu order: A,D; J,L; Pad; and for the green player Komputer.
  static constexpr key_preset presets[] = {key_preset::AD, key_preset::JL, key_preset::PAD,
                                           key_preset::COMPUTER};
  const int value = common::value_of(c);
  if (const std::optional<int> board = common::board_of(c)) {
    common::board_pattern.choose(*board);
    w.board.reset();
    w.players.reset_players();
    if (w.events != nullptr)
      w.events->record({sound::event_kind::new_game, common::ball_owner::NONE, 0, common::initial_ball_pos});
  } else if (c == menu_command::pause) {
    w.board.stop();
  } else if (c == menu_command::resume) {
    w.board.start();
  } else if (common::steers_red(c)) {
    w.players.set1(presets[value - common::value_of(menu_command::red_ad)]);
  } else if (common::steers_green(c)) {
    const key_preset preset = presets[value - common::value_of(menu_command::green_ad)];
    w.players.set2(preset);
    // An ended computer player refuses at once; the choice of preset stands all the same.
    return preset == key_preset::COMPUTER ? w.computer.enable() : w.computer.disable();
  }
  return true;
}

void menu_pause::set_running(bool running) {
  if (network_ != nullptr &&
      network_->takes_menu_command(running ? menu_command::resume : menu_command::pause))
    return;
  if (running)
    board_.start();
  else
    board_.stop();
}

void menu_pause::menu_state(int status) {
  if (status == GLUT_MENU_IN_USE) {
    // No entry counts yet: the last closing cleared it, and entries only count while the menu is open.
    set_running(false);
    open_ = true;
  } else if (status == GLUT_MENU_NOT_IN_USE) {
    open_ = false;
    if (!entry_decided_) set_running(true);
    entry_decided_ = false;
  }
}

void menu_pause::entry_chosen(menu_command c) {
  // Only an entry reported while the menu still counts as open can be overtaken by the closing's resume.
  if (open_ && sets_running_flag(c)) entry_decided_ = true;
}

bool key_presses::press(common::steady_time now) {
  const bool repeat = down_ || (released_before_ && now - released_ < repeat_gap);
  down_ = true;
  return !repeat;
}

void key_presses::release(common::steady_time now) {
  down_ = false;
  released_before_ = true;
  released_ = now;
}

void switch_sound(const world& w) {
  if (w.sound == nullptr) return;
  w.log.info(w.sound->flip() ? "Dzwiek wlaczony (klawisz m)" : "Dzwiek wylaczony (klawisz m)");
}

void joystick_keys(input::keyboard_monitor& keys, int x) {
  using common::joy_left;
  using common::joy_right;
  if (x > 10) {
    keys.set_key_down(joy_right);
    keys.set_key_up(joy_left);
  } else if (x < -10) {
    keys.set_key_up(joy_right);
    keys.set_key_down(joy_left);
  } else {
    keys.set_key_up(joy_right);
    keys.set_key_up(joy_left);
  }
}

// The game cannot go on and the player could not end it: the reason goes to the log, and once it is
// written the process ends with status 1.
[[noreturn]] void end_after_failure(runtime_log::sink& log, const std::string& line) noexcept {
  try {
    log.error(line);
    log.flush();
  } catch (...) {
    // Standard error has the reason, or the log is gone; ending matters more.
  }
  std::fflush(stdout);
  std::_Exit(1);
}

void end_game(runtime_log::sink& log, common::network_link* network, int status) {
  if (network != nullptr) network->game_ends();
  // Returns once the line is in the file; nothing the other threads report after it is written.
  log.last_entry(closing_line);
  std::fflush(stdout);
  // No static destructors and no atexit handlers: the other threads are still running.
  std::_Exit(status);
}

common::steady_time redraw_tick(common::clock& clock, loop_requests& requests) {
  const common::steady_time next = clock.now() + redraw_period;
  requests.post_redisplay();
  requests.post_joystick_poll();
  return next;
}

// ---------------------------------------------------------------------------------------------------------
// Drawing

void set_rendering_state() {
  gl_draw::new_context();
  glClearColor(0.5f, 0.5f, 0.5f, 0.0f);
  const GLfloat ambient[] = {0.2f, 0.2f, 0.2f, 1.0f};
  const GLfloat diffuse[] = {0.4f, 0.4f, 0.4f, 1.0f};
  const GLfloat specular[] = {0.4f, 0.4f, 0.4f, 1.0f};
  // Directional, and given while the model-view matrix is the identity: the light stays with the camera.
  const GLfloat position[] = {3.0f, 3.0f, 3.0f, 0.0f};
  glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
  glLightfv(GL_LIGHT0, GL_SPECULAR, specular);
  glLightfv(GL_LIGHT0, GL_POSITION, position);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_COLOR_MATERIAL);
  glColorMaterial(GL_FRONT, GL_AMBIENT_AND_DIFFUSE);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glEnable(GL_POLYGON_SMOOTH);
  // No line or point smoothing: nothing in the scene is drawn as a line or a point, so it would change no
  // pixel, yet it sends Mesa's software renderer down a much slower path for everything drawn. Drawing that
  // brings lines or points along enables it around itself.
}

void reshape(int width, int height) {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glViewport(0, 0, width, height);
  // A minimised window has no height; nothing need be seen then, but the projection stays finite.
  const double aspect = height > 0 ? static_cast<double>(width) / static_cast<double>(height) : 1.0;
  gluPerspective(state::camera::field_of_view, aspect, state::camera::nearest, state::camera::farthest);
  glMatrixMode(GL_MODELVIEW);
}

void rysowanie_informacji(const scene& s) {
  gl_draw::string_draw(true);
  gl_draw::draw_string(gl_draw::title_line());
  gl_draw::draw_string(gl_draw::credit_line);
  gl_draw::draw_string("");
  gl_draw::draw_time(gl_draw::program_time_label, s.now() - common::program_started);
  const std::chrono::system_clock::time_point started = s.board.started();
  gl_draw::draw_string(gl_draw::game_time_line(started, s.now()));
  gl_draw::draw_string(gl_draw::red_points_line(s.players.r1()));
  gl_draw::draw_string(gl_draw::green_points_line(s.players.r2()));
  gl_draw::draw_string(gl_draw::speed_line(s.board.get_ball().vel));
  // The game's own message is drawn byte for byte, a line break as the font's character; the network's
  // standing line (a waiting host's) is two.
  const std::string info = s.board.get_info();
  if (!info.empty()) {
    gl_draw::draw_string(info);
  } else {
    const std::string network = s.board.message_line();
    for (std::string_view rest = network;;) {
      const std::size_t end = rest.find('\n');
      gl_draw::draw_string(rest.substr(0, end));
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  gl_draw::string_draw(false);
}

void display(const scene& s) {
  const state::user_view_type view = s.view.get();
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  using namespace state::camera;
  const point e = eye(view);
  gluLookAt(e.x, e.y, e.z, centre.x, centre.y, centre.z, up.x, up.y, up.z);
  // The board is spun by `turn` about the vertical line through its centre, then tilted by `tilt`.
  const auto f = [](double v) { return static_cast<GLfloat>(v); };
  glTranslatef(f(centre.x), f(centre.y), f(centre.z));
  glRotatef(view.tilt, f(tilt_axis.x), f(tilt_axis.y), f(tilt_axis.z));
  glRotatef(view.turn, f(turn_axis.x), f(turn_axis.y), f(turn_axis.z));
  glTranslatef(-f(centre.x), -f(centre.y), -f(centre.z));
  gl_draw::draw_floor();
  gl_draw::draw_all_bricks(s.board.get_brick_matrix_state());
  gl_draw::draw_pad(s.board.get_pad1());
  gl_draw::draw_pad(s.board.get_pad2());
  gl_draw::draw_ball(s.board.get_ball());
  rysowanie_informacji(s);
  glutSwapBuffers();
}

// ---------------------------------------------------------------------------------------------------------
// The GLUT callbacks: thin C-callable shims onto the thread object whose loop runs.

struct glut_callbacks {
  static graphics_thread* self;  // set on the graphics thread before GLUT starts

  // The boundary every callback crosses: nothing unwinds into freeglut, and after a failure nothing more
  // runs while the loop winds down.
  template <class Body>
  static void guarded(Body&& body) noexcept {
    graphics_thread* thread = self;
    if (thread == nullptr || thread->failed_) return;
    try {
      body(*thread);
    } catch (...) {
      thread->fail_in_loop();
    }
  }

  static scene scene_of(const graphics_thread& t) {
    return scene{t.world_.board, t.world_.players, t.world_.view};
  }

  static void display() {
    guarded([](graphics_thread& t) {
      graphics::display(scene_of(t));
      t.frames_.fetch_add(1, std::memory_order_relaxed);
    });
  }
  static void reshape(int width, int height) {
    guarded([&](graphics_thread&) { graphics::reshape(width, height); });
  }
  static void motion(int x, int y) {
    guarded([&](graphics_thread& t) {
      const int dx = x - t.previous_mouse_x_;
      const int dy = y - t.previous_mouse_y_;
      // One degree per five pixels: vertical movement tilts, horizontal movement turns.
      t.world_.view.angle_change(static_cast<float>(dy / 5.0), static_cast<float>(dx / 5.0));
      t.previous_mouse_x_ = x;
      t.previous_mouse_y_ = y;
    });
  }
  static void mouse(int, int, int x, int y) {
    guarded([&](graphics_thread& t) {
      t.previous_mouse_x_ = x;
      t.previous_mouse_y_ = y;
    });
  }
  static void keyboard(unsigned char key, int, int) {
    guarded([&](graphics_thread& t) {
      t.world_.keys.set_key_down(key);
      if (key == sound_key && t.sound_key_presses_.press(std::chrono::steady_clock::now()))
        switch_sound(t.world_);
    });
  }
  static void keyboard_up(unsigned char key, int, int) {
    guarded([&](graphics_thread& t) {
      t.world_.keys.set_key_up(key);
      if (key == sound_key) t.sound_key_presses_.release(std::chrono::steady_clock::now());
    });
  }
  static void joystick(unsigned int, int x, int, int) {
    guarded([&](graphics_thread& t) { joystick_keys(t.world_.keys, x); });
  }
  static void menu_state(int status) {
    guarded([&](graphics_thread& t) { t.pause_.menu_state(status); });
  }
  static void menu(int value) {
    // A steering switch refused by an ended computer player leaves the chosen preset; nothing more to do.
    guarded([&](graphics_thread& t) { t.menu(menu_command{value}); });
  }
  // The window manager's close button ends the game like "Zakoncz".
  static void close() {
    guarded([](graphics_thread& t) { end_game(t.world_.log, t.world_.network); });
  }

  static void place_default_window() {
    glutPositionWindow(common::window_pos_x, common::window_pos_y);
    glutReshapeWindow(common::window_width, common::window_height);
  }

  // Takes what the other threads asked of the loop.
  static void drain(int) {
    guarded([](graphics_thread& t) {
      glutTimerFunc(request_drain_ms, drain, 0);
      glutSetWindow(t.window_);  // a menu's window may be the current one
      // freeglut carries out window changes after the pass that asks for them.
      if (t.full_screen_pending_) {
        glutFullScreen();
        t.full_screen_pending_ = false;
      }
      if (t.default_window_pending_) {
        place_default_window();
        t.default_window_pending_ = false;
      }
      switch (window_requests.take_window_size().value_or(menu_command::end)) {
        case menu_command::default_window:
          t.full_screen_pending_ = false;
          // Without a window manager freeglut leaves full screen by giving the window back the size it had
          // before, then and once more a pass later, whatever size was asked for meanwhile: that would win
          // over the start-up size and could even undo a size the player chooses afterwards. So the window
          // leaves full screen first and takes the start-up place and size on the next pass.
          if (glutGet(GLUT_FULL_SCREEN)) {
            glutLeaveFullScreen();
            t.default_window_pending_ = true;
          } else {
            place_default_window();
          }
          break;
        case menu_command::full_screen:
          // Without a window manager freeglut makes a window full screen by moving it back by its own
          // position, off the screen's corner, where its pop-up menus stop working (and with them the way
          // back). So the window goes to the corner first, and full screen on the next pass, once moved.
          t.default_window_pending_ = false;
          if (!glutGet(GLUT_FULL_SCREEN)) {
            glutPositionWindow(0, 0);
            t.full_screen_pending_ = true;
          }
          break;
        default:
          break;
      }
      if (window_requests.take_redisplay()) glutPostRedisplay();
      if (window_requests.take_joystick_poll()) glutForceJoystickFunc();
    });
  }

  // freeglut's fatal errors. Returning would let freeglut go on with what failed or call exit(), so the
  // graphics thread stops here for good, after the player and the log have been told.
  [[noreturn]] static void error(const char* format, va_list arguments) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    const char* program = self != nullptr ? self->program_name_.c_str() : "multiplayer_tolvaran";
    std::fprintf(stderr, "freeglut (%s): %s\n", program, message);
    std::fflush(stderr);
    if (self != nullptr) self->fail_for_good(message);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }

  // The X server has gone (the session ended, or the server died): nothing can be drawn or read any more.
  // Xlib ends the process with exit() when this returns, which would run static destructors under the
  // game's threads, so the game ends here, once the log has the reason.
  static int x_connection_lost(Display*) {
    std::fprintf(stderr, "Multiplayer Tolvaran: the connection to the X server was lost\n");
    if (self != nullptr) self->lose_x_connection();
    std::fflush(stdout);
    std::_Exit(1);
  }
};

graphics_thread* glut_callbacks::self = nullptr;

void graphics_thread::lose_x_connection() noexcept {
  std::string line;
  try {
    line = common::error_line(graphics_error_prefix,
                              std::make_exception_ptr(glut_error("the connection to the X server was lost")));
  } catch (...) {
    std::_Exit(1);  // no memory left even for the line; standard error has the reason already
  }
  end_after_failure(world_.log, line);
}

// ---------------------------------------------------------------------------------------------------------
// The graphics thread

graphics_thread::graphics_thread(world w, int& argc, char** argv)
    : world_(w), argc_(argc), argv_(argv), pause_(w.board, w.network) {}

void graphics_thread::launch() {
  common::start_thread(thread_, "graphics", [this](std::stop_token stop) { run(stop); });
}

bool graphics_thread::start() {
  return box_.call(request::start);
}
bool graphics_thread::wait_ready() {
  return box_.call(request::wait_ready);
}

bool graphics_thread::menu(menu_command c) {
  if (on_graphics_thread) pause_.entry_chosen(c);
  bool accepted = true;
  if (c != menu_command::end && world_.network != nullptr && world_.network->takes_menu_command(c)) {
    window_requests.post_redisplay();
    return accepted;
  }
  switch (c) {
    case menu_command::end:
      end_game(world_.log, world_.network);
    case menu_command::default_window:
    case menu_command::full_screen:
      window_requests.post_window_size(c);
      break;
    default:
      accepted = menu_action(world_, c);
      break;
  }
  window_requests.post_redisplay();
  return accepted;
}

void graphics_thread::run(std::stop_token stop) {
  // Last on every way out: the reason is logged and the box closed by then.
  struct gone_mark {
    graphics_thread& thread;
    ~gone_mark() { thread.window_gone(); }
  } mark{*this};
  common::box_closer closer(box_);
  try {
    const auto only = [](request wanted) { return [wanted](request r) { return r == wanted; }; };
    const auto accept_empty = [](request) {};
    if (box_.accept(stop, only(request::start), accept_empty) != common::accepted::request) return;
    create_window();
    try {
      create_menus();
    } catch (...) {
      world_.log.error(common::error_line(menu_error_prefix));
    }
    if (box_.accept(stop, only(request::wait_ready), accept_empty) != common::accepted::request) return;
    // A metronome that has ended leaves the window redrawn on its own events and after menu choices.
    if (redrawing.exists()) redrawing->start();
    glutTimerFunc(request_drain_ms, glut_callbacks::drain, 0);
    glutMainLoop();
  } catch (...) {
    world_.log.error(common::error_line(graphics_error_prefix));
  }
}

void graphics_thread::create_window() {
  on_graphics_thread = true;
  glut_callbacks::self = this;
  program_name_ = argc_ > 0 && argv_ != nullptr && argv_[0] != nullptr ? argv_[0] : "multiplayer_tolvaran";
  glutInitErrorFunc(glut_callbacks::error);
  // Before glutInit, so that an X -geometry option, which glutInit reads, has the last word.
  glutInitWindowPosition(common::window_pos_x, common::window_pos_y);
  glutInitWindowSize(common::window_width, common::window_height);
  glutInit(&argc_, argv_);
  XSetIOErrorHandler(glut_callbacks::x_connection_lost);
  // Never exit() from inside freeglut while the game's threads run; the close callback ends the game.
  glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
  glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
  const std::string title = "Multiplayer Tolvaran " + std::string(common::game_version);
  window_ = glutCreateWindow(title.c_str());
  // A held key then repeats as presses alone, not as a release and a press each time, so a key's own
  // presses can be told from its repeats however late the loop reads them (the sound key counts on it).
  if (Display* display = glXGetCurrentDisplay()) XkbSetDetectableAutoRepeat(display, True, nullptr);

  glutDisplayFunc(glut_callbacks::display);
  glutReshapeFunc(glut_callbacks::reshape);
  glutMotionFunc(glut_callbacks::motion);
  glutMouseFunc(glut_callbacks::mouse);
  glutKeyboardFunc(glut_callbacks::keyboard);
  glutKeyboardUpFunc(glut_callbacks::keyboard_up);
  glutJoystickFunc(glut_callbacks::joystick, 20);
  glutMenuStateFunc(glut_callbacks::menu_state);
  glutCloseFunc(glut_callbacks::close);
  set_rendering_state();
  glutPostRedisplay();
}

void graphics_thread::create_menus() {
  std::array<int, menu_tree.size()> made{};
  for (std::size_t m = 0; m < menu_tree.size(); ++m) {
    made[m] = glutCreateMenu(glut_callbacks::menu);  // one callback serves every menu
    if (made[m] == 0) throw glut_error("glutCreateMenu made no menu");
    for (const menu_entry& entry : menu_tree[m]) {
      const std::string label(entry.label);
      if (entry.opens_submenu())
        glutAddSubMenu(label.c_str(), made.at(static_cast<std::size_t>(entry.submenu)));
      else
        glutAddMenuEntry(label.c_str(), common::value_of(entry.command));
    }
  }
  glutAttachMenu(GLUT_RIGHT_BUTTON);
}

void graphics_thread::fail_in_loop() noexcept {
  // Leaving the loop would take the window away and leave the game running with nothing a player could use
  // to end it.
  std::string line;
  try {
    line = common::error_line(graphics_error_prefix);
  } catch (...) {
    std::_Exit(1);
  }
  end_after_failure(world_.log, line);
}

void graphics_thread::fail_for_good(std::string_view message) noexcept {
  try {
    world_.log.error(
        common::error_line(graphics_error_prefix, std::make_exception_ptr(glut_error(std::string(message)))));
  } catch (...) {
    // Standard error has the message already.
  }
  failed_ = true;
  box_.close();
  window_gone();
}

void graphics_thread::window_gone() noexcept {
  gone_.store(true, std::memory_order_release);
  gone_.notify_all();
}

void graphics_thread::wait_until_gone() const {
  gone_.wait(false, std::memory_order_acquire);
}

// ---------------------------------------------------------------------------------------------------------
// The redraw metronome

redraw_thread::redraw_thread(common::clock& clock, common::sleeper& sleeper, loop_requests& requests)
    : clock_(clock), sleeper_(sleeper), requests_(requests) {}

void redraw_thread::launch() {
  common::start_thread(thread_, "redraw", [this](std::stop_token stop) { run(stop); });
}

bool redraw_thread::start() {
  return box_.call(true);
}

void redraw_thread::run(std::stop_token stop) {
  common::box_closer closer(box_);
  try {
    if (box_.accept(stop, [](bool) {}) != common::accepted::request) return;
    while (!stop.stop_requested()) {
      const common::steady_time next = redraw_tick(clock_, requests_);
      ticks_.fetch_add(1, std::memory_order_relaxed);
      sleeper_.sleep_until(next);  // late ticks are not made up
    }
  } catch (...) {
    // The metronome ends silently; the window is then redrawn on its own events and after menu choices.
  }
}

bool menu(menu_command c) {
  return processing_graphics->menu(c);
}

}  // namespace graphics
