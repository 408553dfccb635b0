// The main procedure: the settings report, the handshake in its order, and a refused request that stops it.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
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
  scripted_threads(recording_log& log, std::string refusing, bool guest = false)
      : log_(log), refusing_(std::move(refusing)), guest_(guest) {}

  bool graphics_start() override { return request("processing_graphics.start"); }
  bool graphics_wait_ready() override { return request("processing_graphics.wait_ready"); }
  bool physics_init() override { return request("process_physics.init"); }
  bool physics_start() override { return request("process_physics.start"); }
  bool green_player_to_computer() override { return request("computer_steering.enable"); }
  bool input_start() override { return request("processing_input.start"); }
  bool plays_here() const override { return !guest_; }
  bool network_start() override { return request("network.start"); }

 private:
  bool request(const std::string& name) {
    log_.info("-> " + name);
    return name != refusing_;
  }
  recording_log& log_;
  std::string refusing_;
  bool guest_;
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
    "-> network.start",
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

TEST(MainProcedure, AGuestOverTheNetworkStartsNoPhysicsNorComputerPlayer) {
  recording_log log;
  scripted_threads threads(log, "", true);
  startup::multiplayer_tolvaran(log, threads);
  std::vector<std::string> expected = testing_support::settings_report_lines;
  for (const std::string& line : handshake)
    if (line.find("fizyki") == std::string::npos && line.find("Fizyki") == std::string::npos &&
        line.find("physics") == std::string::npos && line.find("zielonego") == std::string::npos &&
        line.find("computer") == std::string::npos)
      expected.push_back(line);
  EXPECT_EQ(log.messages(), expected);
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

// One command line each: what it asks for, or the mistake it is refused for.
struct command_line_rule {
  std::vector<const char*> words;  // after the program's name
  std::string refused;             // the start of the usage error; empty: accepted
  startup::command_line::role play = startup::command_line::role::alone;
  std::uint16_t port = startup::default_port;
  std::string address{}, code{};
  std::vector<std::string> toolkit{};  // after the program's name
  bool mute = false, help = false, router = true;
};

TEST(CommandLine, GameOptionsXOptionsAndMistakes) {
  using role = startup::command_line::role;
  const std::vector<command_line_rule> rules{
      {{}, ""},
      {{"-display", ":3", "-geometry", "+1+2", "-iconic", "-direct", "-indirect", "-sync", "-gldebug"},
       "",
       role::alone,
       startup::default_port,
       "",
       "",
       {"-display", ":3", "-geometry", "+1+2", "-iconic", "-direct", "-indirect", "-sync", "-gldebug"}},
      {{"--mute", "-display", ":1"},
       "",
       role::alone,
       startup::default_port,
       "",
       "",
       {"-display", ":1"},
       true},
      {{"--help"}, "", role::alone, startup::default_port, "", "", {}, false, true},
      {{"-h"}, "", role::alone, startup::default_port, "", "", {}, false, true},
      {{"--host"}, "", role::host},
      {{"--host", "--port", "1", "--code", "1234-5678"}, "", role::host, 1, "", "12345678"},
      {{"--host", "--port=65535", "--code=87654321"}, "", role::host, 65535, "", "87654321"},
      {{"--join", "gospodarz.lan", "--code", "0000-0001"},
       "",
       role::guest,
       startup::default_port,
       "gospodarz.lan",
       "00000001"},
      {{"--join=::1", "--port", "9", "--code", "99999999"}, "", role::guest, 9, "::1", "99999999"},
      // Without an address the host is looked for on the network; a word that starts with '-' is no address.
      {{"--join", "--code", "12345678"}, "", role::guest, startup::default_port, "", "12345678"},
      {{"--join", "-display", ":1", "--code", "12345678", "--port=7"},
       "",
       role::guest,
       7,
       "",
       "12345678",
       {"-display", ":1"}},
      {{"--code", "12345678", "--join"}, "", role::guest, startup::default_port, "", "12345678"},
      {{"--host", "--no-router"}, "", role::host, startup::default_port, "", "", {}, false, false, false},
      {{"--no-router"}, "--no-router tylko z --host"},
      {{"--join", "a", "--code", "12345678", "--no-router"}, "--no-router tylko z --host"},
      {{"--host", "--no-router", "--no-router"}, "--no-router: opcja podana dwa razy"},
      {{"--host", "--no-router=1"}, "--no-router: opcja bez wartosci"},
      {{"--join=", "--code", "12345678"}, "--join: brak adresu"},
      {{"--join=-x", "--code", "12345678"}, "--join: brak adresu"},
      {{"--bogus"}, "--bogus: nieznana opcja"},
      {{"-mute"}, "-mute: nieznana opcja"},
      {{"gra"}, "gra: nieoczekiwany argument"},
      {{"-display"}, "-display: brak wartosci"},
      {{"--mute=1"}, "--mute: opcja bez wartosci"},
      {{"--mute", "--mute"}, "--mute: opcja podana dwa razy"},
      {{"--host", "--join", "a", "--code", "12345678"}, "--host i --join"},
      {{"--port", "5000"}, "--port i --code tylko"},
      {{"--code", "12345678"}, "--port i --code tylko"},
      {{"--join", "a"}, "--join: potrzebny jest kod"},
      {{"--join"}, "--join: potrzebny jest kod"},
      {{"--join", "--join", "--code", "12345678"}, "--join: opcja podana dwa razy"},
      {{"--host", "--port", "0"}, "--port: numer portu"},
      {{"--host", "--port", "65536"}, "--port: numer portu"},
      {{"--host", "--port", "99999999999999999999"}, "--port: numer portu"},
      {{"--host", "--port", "-1"}, "--port: numer portu"},
      {{"--host", "--port="}, "--port: numer portu"},
      {{"--host", "--code", "1234567"}, "--code: kod to 8 cyfr"},
      {{"--host", "--code", "123456789"}, "--code: kod to 8 cyfr"},
      {{"--host", "--code", "123-45678"}, "--code: kod to 8 cyfr"},
      {{"--host", "--code", "1234-567a"}, "--code: kod to 8 cyfr"},
      {{"--host", "--code", "1234+5678"}, "--code: kod to 8 cyfr"},
  };
  for (const command_line_rule& r : rules) {
    std::vector<const char*> argv{"/usr/games/multiplayer_tolvaran"};
    argv.insert(argv.end(), r.words.begin(), r.words.end());
    std::string seen;
    for (const char* w : r.words) seen += std::string(w) + " ";
    SCOPED_TRACE(seen);
    if (!r.refused.empty()) {
      try {
        startup::read_command_line(argv);
        ADD_FAILURE() << "accepted";
      } catch (const startup::usage_error& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(r.refused)) << e.what();
      }
      continue;
    }
    const startup::command_line got = startup::read_command_line(argv);
    std::vector<std::string> toolkit{argv[0]};
    toolkit.insert(toolkit.end(), r.toolkit.begin(), r.toolkit.end());
    EXPECT_EQ(got.play, r.play);
    EXPECT_EQ(got.port, r.port);
    EXPECT_EQ(got.address, r.address);
    EXPECT_EQ(got.code ? std::string(got.code->view()) : "", r.code);
    EXPECT_EQ(got.toolkit, toolkit);
    EXPECT_EQ(std::pair(got.mute, got.help), std::pair(r.mute, r.help));
    EXPECT_EQ(got.router, r.router);
  }
  // "--code -": the code from the input, so that the process list never shows it.
  for (const auto& [input, code] : {std::pair("1234-5678\n", "12345678"),
                                    {"87654321\r\n", "87654321"},
                                    {"12345678", "12345678"},
                                    {"1234-567\n", ""},
                                    {"", ""}}) {
    std::istringstream in(input);
    const std::vector<const char*> words{"gra", "--host", "--code", "-"};
    try {
      const startup::command_line got = startup::read_command_line(words, in);
      EXPECT_EQ(std::string(got.code->view()), code) << input;
    } catch (const startup::usage_error& e) {
      EXPECT_EQ(std::string(code), "") << e.what();
      EXPECT_TRUE(std::string(e.what()).starts_with("--code: kod to 8 cyfr")) << e.what();
    }
  }
  const std::string usage = startup::usage("gra");
  EXPECT_TRUE(usage.starts_with("Uzycie: gra [--mute] [opcje X]\n")) << usage;
  EXPECT_NE(usage.find("(domyslnie 47630)"), std::string::npos);
  EXPECT_NE(usage.find(" --join [ADRES] [--port N] --code KOD"), std::string::npos) << usage;
  EXPECT_NE(usage.find("  --no-router "), std::string::npos) << usage;
}

// The tests' seams in the environment: loopback addresses alone, each limit at its edge, every mistake
// refused. What was read is shown as "search gateway lease targets", host byte order in hex.
TEST(NetworkSeams, LoopbackAddressesAloneAndEveryMistakeRefused) {
  struct row {
    std::map<std::string, std::string> set;
    std::string read;  // or the start of the usage error
  };
  const std::string search = "TOLVARAN_ROUTER_SEARCH", gateway = "TOLVARAN_NATPMP_GATEWAY",
                    lease = "TOLVARAN_ROUTER_LEASE", targets = "TOLVARAN_LAN_TARGETS";
  const std::vector<row> rows{
      {{}, "- 0 0"},
      {{{search, ""}, {targets, ""}}, "- 0 0"},
      {{{search, "127.0.0.7:1900"}}, "7f000007:1900 0 0"},
      {{{search, "127.255.255.254:65535"},
        {gateway, "127.0.0.9"},
        {lease, "1"},
        {targets, "127.0.0.1,127.0.0.2"}},
       "7ffffffe:65535 7f000009 1 7f000001 7f000002"},
      {{{lease, "86400"}}, "- 0 86400"},
      {{{search, "128.0.0.1:1900"}}, "TOLVARAN_ROUTER_SEARCH=128.0.0.1:1900: potrzebny adres 127"},
      {{{search, "126.255.255.255:1900"}}, "TOLVARAN_ROUTER_SEARCH=126.255.255.255:1900"},
      {{{search, "239.255.255.250:1900"}}, "TOLVARAN_ROUTER_SEARCH=239.255.255.250:1900"},
      {{{search, "127.0.0.7"}}, "TOLVARAN_ROUTER_SEARCH=127.0.0.7: potrzebny"},
      {{{search, "127.0.0.7:0"}}, "TOLVARAN_ROUTER_SEARCH=127.0.0.7:0"},
      {{{search, "127.0.0.7:65536"}}, "TOLVARAN_ROUTER_SEARCH=127.0.0.7:65536"},
      {{{gateway, "192.168.1.1"}}, "TOLVARAN_NATPMP_GATEWAY=192.168.1.1: potrzebny adres 127"},
      {{{lease, "0"}}, "TOLVARAN_ROUTER_LEASE=0: liczba sekund"},
      {{{lease, "86401"}}, "TOLVARAN_ROUTER_LEASE=86401"},
      {{{lease, "99999999999999999999"}}, "TOLVARAN_ROUTER_LEASE=9"},
      {{{targets, "127.0.0.1,192.168.1.255"}}, "TOLVARAN_LAN_TARGETS=192.168.1.255"},
      {{{targets, "127.0.0.1,"}}, "TOLVARAN_LAN_TARGETS=: potrzebny"},
  };
  for (const row& r : rows) {
    std::string seen;
    for (const auto& [name, value] : r.set) seen += name + "=" + value + " ";
    SCOPED_TRACE(seen);
    std::string read;
    try {
      const startup::network_seams got = startup::read_network_seams([&](const char* name) -> const char* {
        const auto v = r.set.find(name);
        return v == r.set.end() ? nullptr : v->second.c_str();
      });
      std::ostringstream shown;
      shown << std::hex;
      if (got.router_search)
        shown << got.router_search->first << ':' << std::dec << got.router_search->second << std::hex;
      else
        shown << '-';
      shown << ' ' << got.natpmp_gateway << ' ' << std::dec << got.lease.count() << std::hex;
      for (const std::uint32_t t : got.lan_targets) shown << ' ' << t;
      read = shown.str();
    } catch (const startup::usage_error& e) {
      read = e.what();
    }
    if (r.read.starts_with("TOLVARAN_"))
      EXPECT_TRUE(read.starts_with(r.read)) << read;
    else
      EXPECT_EQ(read, r.read);
  }
}

}  // namespace
