// The sound without a device: the clips the game makes (lengths, clean ends, levels that cannot clip,
// pitches), where a board point is heard from for a camera, and one pass of the sound thread over a speaker
// that only notes what it is asked to play.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "sound/sound_output.hpp"
#include "sound/synthesis.hpp"

namespace {

using sound::event_kind;
using sound::game_event;

int peak(const std::vector<std::int16_t>& clip) {
  int p = 0;
  for (const std::int16_t s : clip) p = std::max(p, std::abs(int{s}));
  return p;
}

// The pitch of a clip whose first harmonic rules, in Hz, over a share of it (0..1): its upward zero
// crossings, each placed between its two samples, counted from the first to the last.
double pitch(const std::vector<std::int16_t>& clip, double from = 0, double to = 1) {
  std::vector<double> crossings;
  for (std::size_t i = std::size_t(from * double(clip.size())) + 1; i < std::size_t(to * double(clip.size()));
       ++i)
    if (clip[i - 1] < 0 && clip[i] >= 0)
      crossings.push_back(double(i) - clip[i] / double(clip[i] - clip[i - 1]));
  return double(crossings.size() - 1) * sound::sample_rate / (crossings.back() - crossings.front());
}

TEST(Synthesis, EveryClipIsShortEndsAtZeroNeverJumpsAndAllVoicesTogetherCannotClip) {
  int loudest = 0;
  for (std::size_t s = 0; s < sound::bank_size; ++s) {
    const auto clip = sound::synthesise(s);
    SCOPED_TRACE(s);
    ASSERT_GE(clip.size(), 100u);
    EXPECT_LE(clip.size(), std::size_t(sound::sample_rate * sound::longest_sound.count() / 1000));
    EXPECT_TRUE(clip.front() == 0 && clip.back() == 0);
    int jump = 0;  // a click is a jump: from one sample to the next a clip moves far less than its peak
    for (std::size_t i = 1; i < clip.size(); ++i) jump = std::max(jump, std::abs(clip[i] - clip[i - 1]));
    EXPECT_LT(jump, peak(clip) / 2);
    EXPECT_GT(peak(clip), sound::full_scale / 20) << "audible";
    loudest = std::max(loudest, peak(clip));
  }
  EXPECT_LE(loudest, std::lround(sound::loudest * sound::full_scale));
  // A voice reaches each speaker at no more than its own gain (at most 1): this is the worst overlap.
  EXPECT_LT(sound::voices * loudest, int{sound::full_scale});
}

TEST(Synthesis, EachEventHasItsClipAndBricksRiseInPitchAboveEverythingElse) {
  using common::ball_owner;
  const auto brick = [](std::int32_t points) {
    return sound::sound_for({event_kind::brick_destroyed, ball_owner::PLAYER1, points, {}});
  };
  EXPECT_TRUE(brick(-4) == 0 && brick(0) == 0 && brick(30) == 30 && brick(31) == 30)
      << "odd points: the ends";
  EXPECT_EQ(sound::sound_for({event_kind::pad_return, ball_owner::PLAYER1, 0, {}}), sound::red_pad_sound);
  EXPECT_EQ(sound::sound_for({event_kind::pad_return, ball_owner::PLAYER2, 0, {}}), sound::green_pad_sound);
  EXPECT_EQ(sound::sound_for({event_kind::ball_lost, ball_owner::PLAYER2, 0, {}}), sound::lost_ball_sound);
  EXPECT_EQ(sound::sound_for({event_kind::new_game, ball_owner::NONE, 0, {}}), sound::new_game_sound);
  EXPECT_EQ(sound::sound_for({event_kind::firm_struck, ball_owner::NONE, 0, {}}), sound::firm_sound);
  EXPECT_FLOAT_EQ(sound::brick_pitch(0), 660.0f);
  EXPECT_FLOAT_EQ(sound::brick_pitch(-1) * 2, sound::brick_pitch(31)) << "an octave, ends included";
  double previous = 0;
  for (std::int32_t points = 0; points <= sound::top_points; points += 3) {
    const double heard = pitch(sound::synthesise(brick(points)), 0, 0.5);  // while it rings loud
    EXPECT_NEAR(heard, sound::brick_pitch(points), sound::brick_pitch(points) * 0.001) << points;
    EXPECT_GT(heard, previous * 1.06) << points;
    previous = heard;
  }
  for (std::size_t s = sound::firm_sound; s < sound::bank_size; ++s)
    EXPECT_LT(pitch(sound::synthesise(s), 0, 0.34), sound::brick_pitch(0) * 0.9) << s;
  // Glides and steps: a lost ball falls away, a new game plays three notes up, a fifth in all.
  const auto lost = sound::synthesise(sound::lost_ball_sound),
             jingle = sound::synthesise(sound::new_game_sound);
  EXPECT_GT(pitch(lost, 0, 0.3), 2 * pitch(lost, 0.6, 0.9));
  const double notes[] = {pitch(jingle, 0.02, 0.32), pitch(jingle, 0.35, 0.65), pitch(jingle, 0.68, 0.98)};
  EXPECT_NEAR(notes[2] / notes[0], 1.5, 0.01);
  EXPECT_NEAR(notes[1] * notes[1], notes[0] * notes[2], notes[0] * notes[2] * 0.01) << "evenly spaced";
  EXPECT_NE(sound::synthesise(sound::red_pad_sound), sound::synthesise(sound::green_pad_sound));
  EXPECT_THROW(sound::synthesise(sound::bank_size), std::out_of_range);
}

// ---------------------------------------------------------------------------------------------------------
// Where sounds are heard from

constexpr common::vector red_end{10.0f, -0.5f}, green_end{10.0f, 20.5f}, middle{10.0f, 10.0f};

TEST(Hearing, AsSeenFromTheCameraOfTheMoment) {
  const auto view = [](float tilt, float turn, double distance) {
    return state::user_view_type{tilt, turn, distance};
  };
  const state::user_view_type fresh;  // the red pad in the lower left of the picture, the green far right
  const float side = std::sin(sound::widest);
  const struct {
    common::vector where;
    state::user_view_type view;
    float x, gain;
  } rows[] = {
      // From the drawing's own matrices (glRotate's and gluLookAt's), multiplied out apart:
      {red_end, fresh, -0.589552f, 1.0f},
      {green_end, fresh, 0.517532f, 0.925803f},
      {red_end, view(0, 270, 50), 0.517532f, 0.925803f},   // turned round: the sides swap
      {red_end, view(90, 90, 50), -0.521266f, 0.932668f},  // stood on edge: the red end comes forward
      {{3, 15}, view(30, 40, 35), 0.601273f, 1.0f},
      {middle, view(0, 90, 100), 0.0f, 0.466430f},  // farther, quieter; nearer than usual, no louder
      {middle, view(0, 90, 20), 0.0f, 1.0f},
      {{10.5f, 10}, view(0, 90, 10.05), 0.207458f, 1.0f},  // nearly straight down
      // Beyond the view's edges, or behind the camera, a sound is heard at its side, no farther:
      {{-200, 10}, fresh, -side, 0.292550f},
      {{10, 40}, fresh, side, 0.795823f},  // beyond the right edge
      {{200, 10}, fresh, side, 0.462910f},
      {{0, 19}, view(0, 90, 3), side, 1.0f},
      {{1, 20}, view(0, 90, 3), -side, 1.0f},
      {{0, 20}, view(0, 90, 3), 0.0f, 1.0f},  // right behind
      {middle, view(0, 90, 10), 0.0f, 1.0f},  // straight down: the camera has no sides
      {{NAN, 5},
       view(0, 90, 100),
       0.0f,
       0.466430f},  // no point at all (from a network host, say): the centre
      {{5, INFINITY}, view(0, 90, 100), 0.0f, 0.466430f},
  };
  for (const auto& row : rows) {
    const sound::heard h = sound::heard_from(row.where, row.view);
    SCOPED_TRACE(testing::Message() << row.where.x << ", " << row.where.y << " tilt " << row.view.tilt
                                    << " turn " << row.view.turn << " distance " << row.view.distance);
    EXPECT_NEAR(h.x, row.x, 2e-5f);
    EXPECT_NEAR(h.gain, row.gain, 2e-5f);
    EXPECT_NEAR(h.z, -std::sqrt(1 - h.x * h.x), 1e-5f);
  }
}

// ---------------------------------------------------------------------------------------------------------
// One pass of the sound thread

// Notes what it is asked ("12 left": clip 12 from the left; "off"), and refuses while every voice is busy.
struct noting_speaker final : sound::speaker {
  bool play(std::size_t s, const sound::heard& h) override {
    if (!busy)
      said.push_back(std::to_string(s) + (h.x < -0.5f ? " left" : h.x > 0.5f ? " right" : " middle"));
    return !busy;
  }
  void silence(bool silent) override { said.push_back(silent ? "off" : "on"); }
  std::vector<std::string> said;
  bool busy = false;
};

TEST(SoundPass, EachNewEventOnceFromWhereItHappenedWhileTheSoundIsOnAndAVoiceFree) {
  sound::event_channel events;
  state::view_monitor view;
  sound::sound_switch on{true};
  sound::sound_player player{events, view, on};
  noting_speaker out;
  const auto record = [&](event_kind kind, std::int32_t points = 0, common::vector where = middle) {
    events.record({kind, common::ball_owner::PLAYER2, points, where});
  };
  record(event_kind::brick_destroyed, 12, red_end);
  record(event_kind::pad_return, 0, green_end);
  record(event_kind::brick_destroyed, 12, green_end);  // the same clip in the same pass: heard once
  record(event_kind::brick_destroyed, 13, green_end);
  EXPECT_EQ(player.pass(out), 3);
  EXPECT_EQ(player.pass(out), 0) << "nothing new";
  view.angle_change(0.0f, 180.0f);  // turned round: the red end sounds from the right
  record(event_kind::brick_destroyed, 12, red_end);
  EXPECT_EQ(player.pass(out), 1);
  on.flip();
  record(event_kind::ball_lost);
  EXPECT_EQ(player.pass(out) + player.pass(out), 0);
  on.flip();
  EXPECT_EQ(player.pass(out), 0) << "nothing saved for later";
  record(event_kind::new_game);
  EXPECT_EQ(player.pass(out), 1);
  out.busy = true;
  record(event_kind::firm_struck);
  record(event_kind::ball_lost);
  EXPECT_EQ(player.pass(out), 0);
  out.busy = false;
  for (std::size_t n = 0; n < sound::event_channel::capacity + 5; ++n) record(event_kind::firm_struck);
  EXPECT_EQ(player.pass(out), 1);
  const auto clip = [](std::size_t s, const char* side) { return std::to_string(s) + side; };
  EXPECT_EQ(out.said, (std::vector<std::string>{
                          "12 left", clip(sound::green_pad_sound, " right"), "13 right", "12 right", "off",
                          "on", clip(sound::new_game_sound, " middle"), clip(sound::firm_sound, " middle")}));
  EXPECT_EQ(player.unheard(), 2u + 5u) << "2 for want of a voice, 5 the channel dropped";
}

}  // namespace
