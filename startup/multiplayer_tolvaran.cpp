#include "startup/multiplayer_tolvaran.hpp"

#include <unistd.h>

#include <chrono>

#include "common/common_data.hpp"

namespace startup {

namespace {

constexpr std::string_view main_error_prefix = "Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: ";

}  // namespace

std::vector<std::string> settings_report() {
  using namespace common;
  const auto per_second = std::chrono::seconds(1) / input_clock;
  return {
      "Procedura glowna zostala uruchomiona",
      "Wypisywanie stanu biezacych ustawien",
      "Rozmiar Planszy: " + image(rozmiar_planszy),
      "Symulacja fizyki - interval: " + image(physics_clock.count()) + " ms",
      "Oczekiwany FrameRate: " + image(frame_rate) + "fps",
      "Keyboard/Pad input sampling: " + image(per_second) + " Hz",
      "Inicjalizuje Silnik graficzny",
  };
}

void multiplayer_tolvaran(runtime_log::sink& log) {
  try {
    for (const std::string& line : settings_report()) log.info(line);
    log.info("Zadania uruchomione");
  } catch (...) {
    log.error(common::error_line(main_error_prefix));
  }
}

void static_initialisation(int& argc, char** argv) {
  (void)argc;
  (void)argv;
  runtime_log::log.create().launch();
  common::initialise_common_data();
}

void wait_for_the_end() {
  for (;;) ::pause();
}

}  // namespace startup
