#include "sound/synthesis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sound {

namespace {

// How a clip is made: a tone gliding (or stepping) from one pitch to another, with a few harmonics, under
// an envelope that rises in `attack`, decays with `decay` and falls back to zero in `release`.
struct recipe {
  float seconds;
  float pitch_from;                // Hz
  float pitch_to;                  // Hz
  int steps;                       // 0: a smooth glide; n: n notes, evenly spaced in pitch
  std::array<float, 3> harmonics;  // weights of the 1st, 2nd and 3rd harmonic
  float decay;                     // s, the time the tone takes to fall to 1/e
  float level;                     // peak, as a share of `loudest`
};

constexpr float attack = 0.003f;
constexpr float release = 0.008f;

recipe recipe_of(std::size_t sound) {
  if (sound <= static_cast<std::size_t>(top_points)) {
    const float pitch = brick_pitch(static_cast<std::int32_t>(sound));
    return {0.12f, pitch, pitch, 0, {1.0f, 0.25f, 0.0f}, 0.035f, 1.0f};  // a glassy ring
  }
  switch (sound) {
    case firm_sound:  // a dull knock
      return {0.06f, 220.0f, 140.0f, 0, {1.0f, 0.3f, 0.0f}, 0.015f, 0.7f};
    case red_pad_sound:  // a low, round bounce
      return {0.08f, 294.0f, 294.0f, 0, {1.0f, 0.4f, 0.0f}, 0.03f, 0.8f};
    case green_pad_sound:  // a higher, pure one that lifts a little
      return {0.08f, 440.0f, 494.0f, 0, {1.0f, 0.0f, 0.0f}, 0.03f, 0.8f};
    case lost_ball_sound:  // falling away
      return {0.15f, 520.0f, 110.0f, 0, {1.0f, 0.0f, 0.0f}, 0.12f, 1.0f};
    case new_game_sound:  // three notes up
      return {0.15f, 392.0f, 587.0f, 3, {1.0f, 0.0f, 0.0f}, 0.25f, 0.8f};
    default:
      throw std::out_of_range("no such sound in the bank");
  }
}

// The tone's pitch at `t` of a clip: glides are exponential, as the ear hears pitch.
float pitch_at(const recipe& r, float t) {
  float share = t / r.seconds;
  if (r.steps > 1) share = std::floor(share * static_cast<float>(r.steps)) / static_cast<float>(r.steps - 1);
  return r.pitch_from * std::pow(r.pitch_to / r.pitch_from, std::min(share, 1.0f));
}

// The tone's shape at a point of its turn (0..1): its harmonics added up.
float tone(const recipe& r, double turn) {
  const float angle = 2.0f * std::numbers::pi_v<float> * static_cast<float>(turn - std::floor(turn));
  float sum = 0.0f;
  for (std::size_t h = 0; h < r.harmonics.size(); ++h)
    sum += r.harmonics[h] * std::sin(static_cast<float>(h + 1) * angle);
  return sum;
}

// A half cosine from 0 up to 1 over `span` seconds.
float rise(float t, float span) {
  return t >= span ? 1.0f : 0.5f - 0.5f * std::cos(std::numbers::pi_v<float> * t / span);
}

}  // namespace

std::size_t sound_for(const game_event& event) {
  switch (event.kind) {
    case event_kind::brick_destroyed:
      return static_cast<std::size_t>(std::clamp(event.points, 0, top_points));
    case event_kind::firm_struck:
      return firm_sound;
    case event_kind::pad_return:
      return event.player == common::ball_owner::PLAYER2 ? green_pad_sound : red_pad_sound;
    case event_kind::ball_lost:
      return lost_ball_sound;
    case event_kind::new_game:
    default:
      return new_game_sound;
  }
}

float brick_pitch(std::int32_t points) {
  const float share = static_cast<float>(std::clamp(points, 0, top_points)) / static_cast<float>(top_points);
  return 660.0f * std::exp2(share);
}

std::vector<std::int16_t> synthesise(std::size_t sound) {
  const recipe r = recipe_of(sound);
  const auto length = static_cast<std::size_t>(r.seconds * static_cast<float>(sample_rate));
  const float tick = 1.0f / static_cast<float>(sample_rate);
  const float end = static_cast<float>(length - 1) * tick;
  std::vector<float> wave(length);
  double phase = 0.0;  // in turns; carried across the pitch's changes, so a step is never a jump
  for (std::size_t i = 0; i < length; ++i) {
    const float t = static_cast<float>(i) * tick;
    wave[i] = tone(r, phase) * rise(t, attack) * rise(end - t, release) * std::exp(-t / r.decay);
    phase += static_cast<double>(pitch_at(r, t) * tick);
  }
  float peak = 0.0f;
  for (const float w : wave) peak = std::max(peak, std::abs(w));
  const float scale = peak > 0.0f ? r.level * loudest * static_cast<float>(full_scale) / peak : 0.0f;
  std::vector<std::int16_t> samples(length);
  for (std::size_t i = 0; i < length; ++i)
    samples[i] = static_cast<std::int16_t>(std::lround(wave[i] * scale));
  return samples;
}

}  // namespace sound
