#include "sound/sound_output.hpp"

#include <AL/al.h>
#include <AL/alc.h>

#include <array>
#include <bitset>
#include <optional>
#include <vector>

#include "sound/synthesis.hpp"

namespace sound {

// ---------------------------------------------------------------------------------------------------------
// One pass

sound_player::sound_player(const event_channel& events, const state::view_monitor& view,
                           const sound_switch& on)
    : events_(events), view_(view), on_(on) {}

int sound_player::pass(speaker& out) {
  const bool silent = !on_.on();
  if (silent != silent_) {
    out.silence(silent);
    silent_ = silent;
  }
  std::bitset<bank_size> played;
  std::optional<state::user_view_type> view;  // read once a pass, and only when there is something to place
  int started = 0;
  while (const std::optional<game_event> event = events_.next()) {
    const std::size_t sound = sound_for(*event);
    if (silent || played.test(sound)) continue;
    played.set(sound);
    if (!view) view = view_.get();
    if (out.play(sound, heard_from(event->where, *view)))
      ++started;
    else
      ++unheard_;
  }
  return started;
}

// ---------------------------------------------------------------------------------------------------------
// OpenAL

namespace {

// The game's bank on one device, with a source for each voice. Sources and the listener sit still; each
// clip gets its direction and loudness from the board as it starts.
class openal_speaker final : public speaker {
 public:
  // The bank is made before the device opens: an opened device plays (silence, until a clip starts) from
  // that moment on.
  explicit openal_speaker(const std::vector<std::vector<std::int16_t>>& bank) {
    device_ = alcOpenDevice(nullptr);
    if (device_ == nullptr) throw no_sound("nie mozna otworzyc urzadzenia");
    const ALCchar* name = alcIsExtensionPresent(device_, "ALC_ENUMERATE_ALL_EXT") == ALC_TRUE
                              ? alcGetString(device_, ALC_ALL_DEVICES_SPECIFIER)
                              : alcGetString(device_, ALC_DEVICE_SPECIFIER);
    name_ = name != nullptr ? name : "";
    // The log is in the game's code page; a device's name may come in any.
    for (char& c : name_)
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    if (name_ == "No Output") fail("urzadzenie " + name_ + " niczego nie odtwarza");
    context_ = alcCreateContext(device_, nullptr);
    if (context_ == nullptr || alcMakeContextCurrent(context_) != ALC_TRUE)
      fail("nie mozna utworzyc kontekstu OpenAL");
    // Loudness by distance comes from the board (sound/hearing.hpp), not from OpenAL.
    alDistanceModel(AL_NONE);
    alGenBuffers(static_cast<ALsizei>(bank_size), buffers_.data());
    for (std::size_t s = 0; s < bank_size; ++s)
      alBufferData(buffers_[s], AL_FORMAT_MONO16, bank.at(s).data(),
                   static_cast<ALsizei>(bank[s].size() * sizeof(std::int16_t)), sample_rate);
    alGenSources(voices, sources_.data());
    for (const ALuint source : sources_) alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
    if (const ALenum error = alGetError(); error != AL_NO_ERROR)
      fail(std::string("OpenAL: ") + describe(alGetString(error)));
  }
  openal_speaker(const openal_speaker&) = delete;
  openal_speaker& operator=(const openal_speaker&) = delete;
  ~openal_speaker() override { close(); }

  bool play(std::size_t sound, const heard& where) override {
    for (const ALuint source : sources_) {
      ALint state = AL_PLAYING;
      alGetSourcei(source, AL_SOURCE_STATE, &state);
      if (state == AL_PLAYING) continue;
      alSourcei(source, AL_BUFFER, static_cast<ALint>(buffers_.at(sound)));
      alSource3f(source, AL_POSITION, where.x, 0.0f, where.z);
      alSourcef(source, AL_GAIN, where.gain);
      alSourcePlay(source);
      return true;
    }
    return false;
  }

  void silence(bool silent) override { alListenerf(AL_GAIN, silent ? 0.0f : 1.0f); }

  const std::string& name() const { return name_; }

 private:
  static std::string describe(const ALchar* text) { return text != nullptr ? text : "?"; }

  [[noreturn]] void fail(const std::string& why) {
    close();
    throw no_sound(why);
  }

  void close() noexcept {
    if (context_ != nullptr) {
      alDeleteSources(voices, sources_.data());
      alDeleteBuffers(static_cast<ALsizei>(bank_size), buffers_.data());
      alcMakeContextCurrent(nullptr);
      alcDestroyContext(context_);
      context_ = nullptr;
    }
    if (device_ != nullptr) alcCloseDevice(device_);
    device_ = nullptr;
  }

  ALCdevice* device_ = nullptr;
  ALCcontext* context_ = nullptr;
  std::string name_;
  std::array<ALuint, bank_size> buffers_{};
  std::array<ALuint, voices> sources_{};
};

}  // namespace

opened_speaker open_speaker() {
  std::vector<std::vector<std::int16_t>> bank;
  for (std::size_t s = 0; s < bank_size; ++s) bank.push_back(synthesise(s));
  auto out = std::make_unique<openal_speaker>(bank);
  std::string device = out->name();
  return {std::move(out), std::move(device)};
}

// ---------------------------------------------------------------------------------------------------------
// The thread

sound_thread::sound_thread(const event_channel& events, const state::view_monitor& view,
                           const sound_switch& on, runtime_log::sink& log, common::clock& clock,
                           common::sleeper& sleeper)
    : player_(events, view, on), on_(on), log_(log), clock_(clock), sleeper_(sleeper) {}

void sound_thread::launch() {
  common::start_thread(thread_, "sound", [this](std::stop_token stop) { run(stop); });
}

bool sound_thread::start() {
  return box_.call(true);
}

void sound_thread::run(std::stop_token stop) {
  common::box_closer closer(box_);
  if (box_.accept(stop, [](bool) {}) != common::accepted::request) return;
  box_.close();
  // Like the physics: on a busy machine its few microseconds a pass come when due, not a time slice later.
  common::ask_for_short_slices();
  try {
    const opened_speaker opened = open_speaker();
    log_.info("Dzwiek: urzadzenie " + opened.device + (on_.on() ? "" : ", wyciszony"));
    while (!stop.stop_requested()) {
      const common::steady_time next = clock_.now() + pass_period;
      player_.pass(*opened.out);
      sleeper_.rest_until(next);
    }
  } catch (const no_sound& missing) {
    log_.warning(std::string(no_sound_warning) + missing.what());
  } catch (...) {
    // The game plays on without its sound, whatever took it.
    try {
      log_.warning(common::error_line(no_sound_warning));
    } catch (...) {
    }
  }
}

}  // namespace sound
