// The game's sounds, made by the game itself at start-up: a bank of short mono clips, one for each brick's
// points (its pitch rising with the points) and one each for a firm brick struck, the red pad's and the green
// pad's return, a lost ball and a new game; and which clip an event of play sounds with.
//
// Every clip is at most 150 ms long and starts and ends on a zero sample, so starting or ending one never
// clicks. The levels are chosen for the mix: no more than `voices` clips play at once, and even that many of
// the loudest, all at their peaks on one side, stay below full scale.
//
// The clips keep their bricks apart from the rest by pitch: everything but a brick sounds below
// `brick_pitch(0)`, so a brick stands out of the din of walls and pads.
//
// Thread use: plain functions over values; any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sound/game_events.hpp"

namespace sound {

inline constexpr int sample_rate = 44100;  // samples a second, mono
inline constexpr std::chrono::milliseconds longest_sound{150};
inline constexpr std::int16_t full_scale = 32767;
// The most clips that play at once; an event that finds them all busy goes unheard.
inline constexpr int voices = 6;
// The loudest clip's peak, as a share of full scale: `voices` of them together stay below it.
inline constexpr float loudest = 0.16f;

// A brick's points run from 0 to this; anything beyond (from a network host, say) sounds like its end.
inline constexpr std::int32_t top_points = 30;

// The bank: the bricks first, by points, then the other sounds.
inline constexpr std::size_t firm_sound = top_points + 1;
inline constexpr std::size_t red_pad_sound = firm_sound + 1;
inline constexpr std::size_t green_pad_sound = firm_sound + 2;
inline constexpr std::size_t lost_ball_sound = firm_sound + 3;
inline constexpr std::size_t new_game_sound = firm_sound + 4;
inline constexpr std::size_t bank_size = new_game_sound + 1;

// The clip an event sounds with.
std::size_t sound_for(const game_event& event);

// The pitch of a brick's ring, in Hz: an octave from 660 Hz at 0 points to 1320 Hz at `top_points`.
float brick_pitch(std::int32_t points);

// One clip of the bank, 16-bit mono at `sample_rate`.
std::vector<std::int16_t> synthesise(std::size_t sound);

}  // namespace sound
