// A log that keeps what it is told, so tests can check the game's reports byte for byte.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/runtime_log.hpp"

namespace testing_support {

class recording_log final : public runtime_log::sink {
 public:
  struct entry {
    runtime_log::rodzaj_wpisu kind;
    std::string message;
    friend bool operator==(const entry&, const entry&) = default;
  };

  void info(std::string_view message) override { add(runtime_log::rodzaj_wpisu::INFO, message); }
  void warning(std::string_view message) override { add(runtime_log::rodzaj_wpisu::WARNING, message); }
  void error(std::string_view message) override { add(runtime_log::rodzaj_wpisu::ERROR, message); }
  bool flush() override { return true; }
  bool last_entry(std::string_view message) override {
    add(runtime_log::rodzaj_wpisu::INFO, message);
    std::scoped_lock lock(mutex_);
    ended_ = true;
    return true;
  }

  std::vector<entry> entries() const {
    std::scoped_lock lock(mutex_);
    return entries_;
  }
  std::vector<std::string> messages() const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> out;
    for (const entry& e : entries_) out.push_back(e.message);
    return out;
  }
  std::size_t size() const {
    std::scoped_lock lock(mutex_);
    return entries_.size();
  }
  void clear() {
    std::scoped_lock lock(mutex_);
    entries_.clear();
  }

 private:
  void add(runtime_log::rodzaj_wpisu kind, std::string_view message) {
    std::scoped_lock lock(mutex_);
    if (!ended_) entries_.push_back({kind, std::string(message)});
  }

  mutable std::mutex mutex_;
  std::vector<entry> entries_;
  bool ended_ = false;  // after the last entry, reports are dropped as the game's log drops them
};

// The main procedure's report of the settings, the first lines of every run of the game.
inline const std::vector<std::string> settings_report_lines{
    "Procedura glowna zostala uruchomiona",
    "Wypisywanie stanu biezacych ustawien",
    "Rozmiar Planszy:  20",
    "Symulacja fizyki - interval:  1 ms",
    "Oczekiwany FrameRate:  35fps",
    "Keyboard/Pad input sampling:  100 Hz",
    "Inicjalizuje Silnik graficzny",
};

inline recording_log::entry info(std::string message) {
  return {runtime_log::rodzaj_wpisu::INFO, std::move(message)};
}
inline recording_log::entry warning(std::string message) {
  return {runtime_log::rodzaj_wpisu::WARNING, std::move(message)};
}
inline recording_log::entry error(std::string message) {
  return {runtime_log::rodzaj_wpisu::ERROR, std::move(message)};
}

}  // namespace testing_support
