// The main procedure: the settings report, the handshake in its order, and a refused request that stops it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/multiplayer_tolvaran.hpp"
#include "support/recording_log.hpp"

namespace {

using testing_support::recording_log;

// Threads that note each request in the log they share with the main procedure, so that one list shows the
// order of requests and log lines; the one named `refusing` has ended.
class scripted_threads final : public startup::handshake_parties {
 public:
  scripted_threads(recording_log& log, std::string refusing) : log_(log), refusing_(std::move(refusing)) {}

  bool graphics_start() override { return request("processing_graphics.start"); }
  bool graphics_wait_ready() override { return request("processing_graphics.wait_ready"); }
  bool physics_init() override { return request("process_physics.init"); }
  bool physics_start() override { return request("process_physics.start"); }
  bool green_player_to_computer() override { return request("computer_steering.enable"); }
  bool input_start() override { return request("processing_input.start"); }

 private:
  bool request(const std::string& name) {
    log_.info("-> " + name);
    return name != refusing_;
  }
  recording_log& log_;
  std::string refusing_;
};

// The handshake after the report, with each request in its place.
const std::vector<std::string> handshake{
    "-> processing_graphics.start",
    "-> processing_graphics.wait_ready",
    "Zakonczono inicjalizowanie okna, jest gotowe",
    "Uruchamiam symulacje fizyki",
    "-> process_physics.init",
    "-> process_physics.start",
    "Symulacja Fizyki juz dzia\xB3"
    "a",
    "Wlaczanie Gracza zielonego",
    "-> computer_steering.enable",
    "-> processing_input.start",
    "Zadania uruchomione",
};

TEST(MainProcedure, ReportsTheSettingsThenBringsTheThreadsIntoPlayInOrder) {
  recording_log log;
  scripted_threads threads(log, "");
  startup::multiplayer_tolvaran(log, threads);
  std::vector<std::string> expected = testing_support::settings_report_lines;
  expected.insert(expected.end(), handshake.begin(), handshake.end());
  EXPECT_EQ(log.messages(), expected);
  EXPECT_EQ(log.size(), expected.size());
  for (const auto& entry : log.entries()) EXPECT_EQ(entry.kind, runtime_log::rodzaj_wpisu::INFO);
}

TEST(MainProcedure, ARefusedRequestIsLoggedAndTheLaterStepsAreSkipped) {
  for (const std::string& step : handshake) {
    if (!step.starts_with("-> ")) continue;
    const std::string name = step.substr(3);
    SCOPED_TRACE(name);
    recording_log log;
    scripted_threads threads(log, name);
    startup::multiplayer_tolvaran(log, threads);
    std::vector<std::string> expected = testing_support::settings_report_lines;
    for (const std::string& line : handshake) {
      expected.push_back(line);
      if (line == step) break;
    }
    expected.push_back(
        "Nastapil wyjatek w module synchronizacji uruchomienia, nazwa: common::request_refused jego "
        "opis: " +
        name + ": the thread has ended");
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(log.entries().back().kind, runtime_log::rodzaj_wpisu::ERROR);
  }
}

}  // namespace
