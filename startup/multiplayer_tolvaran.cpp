#include "startup/multiplayer_tolvaran.hpp"

#include <malloc.h>
#include <unistd.h>

#include <chrono>

#include "common/common_data.hpp"
#include "common/seams.hpp"
#include "graphics/process_graphics.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "physics/process_physics.hpp"
#include "state/game_state.hpp"

namespace startup {

namespace {

constexpr std::string_view main_error_prefix =
    "Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: ";

// Time for the periodic threads. Each has a sleeper of its own: a sleeper learns its thread's wake-ups.
common::game_object<common::steady_clock_source> steady_clock;
common::game_object<common::precise_sleeper> physics_sleeper;
common::game_object<common::precise_sleeper> input_sleeper;
common::game_object<common::precise_sleeper> redraw_sleeper;

// A request to a thread that has ended is an error of the start-up.
void require(bool accepted, const char* request) {
  if (!accepted) throw common::request_refused(std::string(request) + ": the thread has ended");
}

// Brings the waiting threads into play, one after another.
void handshake(runtime_log::sink& log, handshake_parties& threads) {
  require(threads.graphics_start(), "processing_graphics.start");
  require(threads.graphics_wait_ready(), "processing_graphics.wait_ready");
  log.info("Zakonczono inicjalizowanie okna, jest gotowe");
  log.info("Uruchamiam symulacje fizyki");
  require(threads.physics_init(), "process_physics.init");
  require(threads.physics_start(), "process_physics.start");
  log.info(
      "Symulacja Fizyki juz dzia\xB3"
      "a");
  log.info("Wlaczanie Gracza zielonego");
  require(threads.green_player_to_computer(), "computer_steering.enable");
  require(threads.input_start(), "processing_input.start");
}

// The game's own threads, as main() made them.
class game_threads final : public handshake_parties {
 public:
  bool graphics_start() override { return graphics::processing_graphics->start(); }
  bool graphics_wait_ready() override { return graphics::processing_graphics->wait_ready(); }
  bool physics_init() override { return physics::process_physics->init(); }
  bool physics_start() override { return physics::process_physics->start(); }
  bool green_player_to_computer() override { return graphics::menu(graphics::green_computer_entry); }
  bool input_start() override { return input::processing_input->start(); }
};

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

void multiplayer_tolvaran(runtime_log::sink& log, handshake_parties& threads) {
  try {
    for (const std::string& line : settings_report()) log.info(line);
    handshake(log, threads);
    log.info("Zadania uruchomione");
  } catch (...) {
    log.error(common::error_line(main_error_prefix));
  }
}

void multiplayer_tolvaran(runtime_log::sink& log) {
  game_threads threads;
  multiplayer_tolvaran(log, threads);
}

void static_initialisation(int& argc, char** argv) {
  // The renderer takes and gives back blocks of half a megabyte and more (frame buffers whenever the window
  // changes size, the brick field's compiled picture whenever bricks fall). Under glibc's sliding threshold
  // those blocks soon come from the heap, whose holes are not handed back, and resident memory creeps up by
  // some 10 MB over the first minutes of play; mapped apart, each goes back to the system when freed.
  mallopt(M_MMAP_THRESHOLD, 512 * 1024);

  // The log first: from here on every thread can report.
  runtime_log::log_thread& log = runtime_log::log.create();
  log.launch();
  common::initialise_common_data();

  // The shared state, before any thread that uses it. The board monitor seeds its serve generator from the
  // clock and owns the brick generator, which re-seeds itself at every generation.
  state::board_monitor& board = state::board_state.create(log);
  state::view_monitor& view = state::view_state.create();
  state::players_monitor& players = state::players_state.create();
  input::keyboard_monitor& keys = input::keyboard_state.create();

  common::clock& clock = steady_clock.create();
  common::sleeper& physics_time = physics_sleeper.create();

  // The workers, each waiting at its first request.
  physics::process_physics.create(physics::world{board, players, log, physics_time}, clock, physics_time)
      .launch();
  input::processing_input.create(input::world{keys, players, board, view}, log, clock, input_sleeper.create())
      .launch();
  computer::computer_thread& computer =
      computer::computer_steering.create(computer::world{board, keys}, log, clock);
  computer.launch();
  graphics::processing_graphics.create(graphics::world{board, players, view, keys, computer, log}, argc, argv)
      .launch();
  graphics::redrawing.create(clock, redraw_sleeper.create()).launch();
}

void wait_for_the_end() {
  for (;;) ::pause();
}

}  // namespace startup
