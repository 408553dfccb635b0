#include "graphics/gl_draw.hpp"

#include <GL/freeglut.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

namespace gl_draw {

namespace {

// The text mode's state; the graphics thread alone touches it.
bool od_en = false;
int painter_hpos = 22;  // window row of the next heads-up line's baseline

constexpr int first_line_row = 22;
constexpr int line_spacing = 13;
constexpr int left_margin = 10;

void* const font = GLUT_BITMAP_HELVETICA_12;

// A mark drawn over or across one of the font's own letters to make a Polish letter: rows bottom first, the
// leftmost pixel in the high bit, placed `rise` rows above the baseline in the letter's own columns.
struct letter_mark {
  unsigned char base;
  GLint rise;
  GLsizei height;
  std::array<GLubyte, 3> rows;
};

// The acutes copy the one the font puts on its o (two pixels rising to the right, two rows above the
// x-height); the stroke of ł crosses the stem of l halfway up.
constexpr letter_mark l_stroke{'l', 3, 3, {0x80, 0x40, 0x20}};
constexpr letter_mark s_acute{'s', 8, 2, {0x20, 0x10, 0x00}};
constexpr letter_mark n_acute{'n', 8, 2, {0x10, 0x08, 0x00}};

const letter_mark* polish_letter(unsigned char code) {
  switch (code) {
    case 0xB3:  // ł
      return &l_stroke;
    case 0x9C:  // ś
      return &s_acute;
    case 0xF1:  // ń
      return &n_acute;
    default:
      return nullptr;
  }
}

void draw_character(unsigned char code) {
  const letter_mark* mark = polish_letter(code);
  if (mark == nullptr) {
    glutBitmapCharacter(font, code);
    return;
  }
  const int advance = glutBitmapWidth(font, mark->base);
  glutBitmapCharacter(font, mark->base);
  glBitmap(0, 0, 0.0f, 0.0f, static_cast<GLfloat>(-advance), 0.0f, nullptr);  // back to the letter's origin
  glBitmap(8, mark->height, 0.0f, static_cast<GLfloat>(-mark->rise), static_cast<GLfloat>(advance), 0.0f,
           mark->rows.data());
}

struct quadric_deleter {
  void operator()(GLUquadric* q) const { gluDeleteQuadric(q); }
};
using quadric = std::unique_ptr<GLUquadric, quadric_deleter>;

quadric new_quadric() {
  GLUquadric* made = gluNewQuadric();
  if (made == nullptr) throw std::bad_alloc();
  return quadric(made);
}

void set_color(const common::color_type& color) {
  using common::color_part;
  glColor3f(color[color_part::R], color[color_part::G], color[color_part::B]);
}

// Quadrics hold no GL objects: made once, they serve every context.
GLUquadric* brick_quadric() {
  static const quadric made = [] {
    quadric q = new_quadric();
    gluQuadricNormals(q.get(), GLU_FLAT);
    gluQuadricOrientation(q.get(), GLU_OUTSIDE);
    gluQuadricDrawStyle(q.get(), GLU_FILL);
    return q;
  }();
  return made.get();
}

GLUquadric* pad_quadric() {
  static const quadric made = new_quadric();  // the defaults: smooth normals, outside, filled
  return made.get();
}

// The unit cube of a brick in the cell whose corner is at the origin: four-sided quadrics turned to be
// axis-aligned squares, for the walls, the bottom and the roof.
void brick_shape() {
  glPushMatrix();
  glTranslatef(0.5f, 0.5f, 0.0f);
  GLUquadric* q = brick_quadric();
  glRotatef(45.0f, 0.0f, 0.0f, 1.0f);
  constexpr double r = 0.7071067811865476;
  gluCylinder(q, r, r, 1.0, 4, 1);
  gluCylinder(q, r, 0.0, 0.1, 4, 1);
  glTranslatef(0.0f, 0.0f, 1.0f);
  gluCylinder(q, r, 0.0, 0.2, 4, 1);
  glPopMatrix();
}

// The display lists of the current context, one block of names: a brick, two pads (two widths), the ball.
// The brick is one list called for every standing brick rather than a list of the whole field: compiling
// the field again whenever a brick fell kept a little of Mesa's memory alive at every compile.
constexpr GLuint brick_list = 0;
constexpr GLuint first_pad_list = 1;
constexpr GLuint ball_list = 3;
constexpr GLsizei list_count = 4;

GLuint lists_base = 0;                 // 0 while the current context has none yet
list_keys<std::uint32_t, 2> pad_keys;  // a width's bits: a list is only ever reused for the very same width

// The current context's lists, made on first use with what never changes compiled in.
GLuint lists() {
  if (lists_base != 0) return lists_base;
  const GLuint base = glGenLists(list_count);
  if (base == 0) throw std::bad_alloc();
  glNewList(base + ball_list, GL_COMPILE);
  glutSolidSphere(0.49, 20, 20);
  glEndList();
  glNewList(base + brick_list, GL_COMPILE);
  brick_shape();
  glEndList();
  pad_keys.forget();
  lists_base = base;
  return base;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Texts

std::string time_text(std::chrono::duration<double> span) {
  constexpr double day = 86400.0;
  const double seconds = std::round(span.count());  // halves away from zero
  if (!std::isfinite(seconds)) throw std::range_error("a time span that is not a number");
  double in_day = std::fmod(seconds, day);
  if (in_day < 0.0) in_day += day;
  const auto s = static_cast<long long>(in_day);
  char text[16];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", (s / 3600) % 24, (s / 60) % 60, s % 60);
  return text;
}

std::string time_line(std::string_view label, std::chrono::duration<double> span) {
  return std::string(label) + time_text(span);
}

std::string game_time_line(std::chrono::system_clock::time_point started,
                           std::chrono::system_clock::time_point now) {
  if (started == std::chrono::system_clock::time_point{})
    return std::string(game_time_label) + std::string(no_time_text);
  return time_line(game_time_label, now - started);
}

std::string title_line() {
  return "Multiplayer Tolvaran " + std::string(common::game_version);
}

std::string red_points_line(std::int32_t points) {
  return "Gracz czerwony: " + common::image(points);
}

std::string green_points_line(std::int32_t points) {
  return "Gracz zielony: " + common::image(points);
}

std::string speed_line(common::vector velocity) {
  const float speed = std::round(common::lenght(velocity));  // halves away from zero; never negative
  // NaN fails the comparison too.
  if (!(speed < 2147483648.0f))
    throw std::range_error("ball speed " + std::to_string(speed) + " has no 32-bit image");
  return "Predkosc kulki wynosi:" + common::image(static_cast<std::int32_t>(speed));
}

// ---------------------------------------------------------------------------------------------------------
// Heads-up text

void string_draw(bool on) {
  if (on && !od_en) {
    glDisable(GL_LIGHTING);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT), 0.0, -1.0, 1.0);
    // The marks are bitmaps of one byte a row.
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    od_en = true;
    painter_hpos = first_line_row;
  } else if (!on && od_en) {
    glPopClientAttrib();
    glEnable(GL_LIGHTING);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    od_en = false;
  }
}

void draw_string(std::string_view text) {
  glColor3f(1.0f, 1.0f, 1.0f);
  glRasterPos2i(left_margin, painter_hpos);
  painter_hpos += line_spacing;
  // freeglut sets up the pixel store for every single character it draws, but only once for a string: runs
  // of the font's own letters go as strings. A line break or a NUL would end or break such a string.
  std::string run;
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (polish_letter(code) == nullptr && c != '\n' && c != '\0') {
      run += c;
      continue;
    }
    glutBitmapString(font, reinterpret_cast<const unsigned char*>(run.c_str()));
    run.clear();
    draw_character(code);
  }
  glutBitmapString(font, reinterpret_cast<const unsigned char*>(run.c_str()));
}

void draw_time(std::string_view label, std::chrono::duration<double> span) {
  draw_string(time_line(label, span));
}

// ---------------------------------------------------------------------------------------------------------
// The scene

void draw_floor() {
  glColor3f(0.4f, 0.4f, 0.4f);
  glNormal3f(0.0f, 0.0f, 1.0f);  // lit from above like the tops of the bricks: an even grey
  glBegin(GL_POLYGON);
  glVertex3f(0.0f, 0.0f, -0.05f);
  glVertex3f(20.0f, 0.0f, -0.05f);
  glVertex3f(20.0f, 20.0f, -0.05f);
  glVertex3f(0.0f, 20.0f, -0.05f);
  glEnd();
}

void draw_ball(const common::ball_type& ball) {
  const GLuint base = lists();
  glPushMatrix();
  set_color(ball.color);
  glTranslatef(ball.pos.x, ball.pos.y, 0.5f);
  glCallList(base + ball_list);
  glPopMatrix();
}

void draw_pad(const common::pad_type& pad) {
  const GLuint base = lists();
  glPushMatrix();
  set_color(pad.color);
  glTranslatef(pad.pos.x, pad.pos.y, 0.0f);
  glRotatef(90.0f, 0.0f, 1.0f, 0.0f);  // the cylinder's axis along +x
  glTranslatef(-0.5f, 0.0f, -0.5f * pad.width);
  set_color(pad.color);
  const auto [slot, compile] = pad_keys.choose(std::bit_cast<std::uint32_t>(pad.width));
  const GLuint list = base + first_pad_list + static_cast<GLuint>(slot);
  if (compile) {
    GLUquadric* q = pad_quadric();
    glNewList(list, GL_COMPILE);
    gluCylinder(q, 0.49, 0.49, pad.width, 11, 11);
    gluCylinder(q, 0.49, 0.0, 0.0, 11, 11);  // the near end, a flat disc
    glTranslatef(0.0f, 0.0f, pad.width);
    gluCylinder(q, 0.49, 0.0, 0.0, 11, 11);  // the far end
    glEndList();
  }
  glCallList(list);
  glPopMatrix();
}

void draw_all_bricks(const board::brick_matrix& matrix) {
  const GLuint brick = lists() + brick_list;
  for (int row = 1; row <= board::brick_matrix::side; ++row) {
    glPushMatrix();
    glTranslatef(0.0f, static_cast<GLfloat>(row - 1), 0.0f);
    for (int column = 1; column <= board::brick_matrix::side; ++column) {
      const common::brick& cell = matrix(row, column);
      if (!cell.exists) continue;
      glPushMatrix();
      glTranslatef(static_cast<GLfloat>(column - 1), 0.0f, 0.0f);
      set_color(cell.color);
      glCallList(brick);
      glPopMatrix();
    }
    glPopMatrix();
  }
}

void new_context() {
  lists_base = 0;
}

}  // namespace gl_draw
