#include "startup/multiplayer_tolvaran.hpp"

#include <arpa/inet.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "common/common_data.hpp"
#include "common/seams.hpp"
#include "graphics/process_graphics.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "net/play.hpp"
#include "physics/process_physics.hpp"
#include "sound/game_events.hpp"
#include "sound/sound_output.hpp"
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
common::game_object<common::precise_sleeper> sound_sleeper;

// SIGTERM and SIGINT, which end the game as "Zakoncz" does.
sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// The one thread that takes SIGTERM and SIGINT: every other thread keeps them blocked from its start, so
// the game ends here, on an ordinary thread, through the same steps as the menu's "Zakoncz" (the network
// says goodbye and removes its router's mapping first), and no static destructor ever runs under live
// threads. A signal that comes before this thread waits pending until it does.
class signal_watch {
 public:
  signal_watch(runtime_log::sink& log, common::network_link* network) : log_(log), network_(network) {}
  signal_watch(const signal_watch&) = delete;
  signal_watch& operator=(const signal_watch&) = delete;

  void launch() {
    common::start_thread(thread_, "signals", [this](std::stop_token) { run(); });
  }

 private:
  void run() {
    const sigset_t set = ending_signals();
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {
    }
    log_.info(signal == SIGTERM ? "Otrzymano sygnal SIGTERM: koniec gry"
                                : "Otrzymano sygnal SIGINT: koniec gry");
    graphics::end_game(log_, network_);
  }

  runtime_log::sink& log_;
  common::network_link* network_;
  std::jthread thread_;
};

common::game_object<signal_watch> signals;

// A request to a thread that has ended is an error of the start-up.
void require(bool accepted, const char* request) {
  if (!accepted) throw common::request_refused(std::string(request) + ": the thread has ended");
}

// Brings the waiting threads into play, one after another.
void handshake(runtime_log::sink& log, handshake_parties& threads) {
  require(threads.graphics_start(), "processing_graphics.start");
  require(threads.graphics_wait_ready(), "processing_graphics.wait_ready");
  log.info("Zakonczono inicjalizowanie okna, jest gotowe");
  if (threads.plays_here()) {
    log.info("Uruchamiam symulacje fizyki");
    require(threads.physics_init(), "process_physics.init");
    require(threads.physics_start(), "process_physics.start");
    log.info(
        "Symulacja Fizyki juz dzia\xB3"
        "a");
    log.info("Wlaczanie Gracza zielonego");
    require(threads.green_player_to_computer(), "computer_steering.enable");
  }
  require(threads.input_start(), "processing_input.start");
  require(threads.network_start(), "network.start");
}

// The game's own threads, as main() made them.
class game_threads final : public handshake_parties {
 public:
  bool graphics_start() override { return graphics::processing_graphics->start(); }
  bool graphics_wait_ready() override { return graphics::processing_graphics->wait_ready(); }
  bool physics_init() override { return physics::process_physics->init(); }
  bool physics_start() override { return physics::process_physics->start(); }
  bool green_player_to_computer() override { return graphics::menu(common::menu_command::green_computer); }
  bool input_start() override { return input::processing_input->start(); }
  bool plays_here() const override { return !net::joining.exists(); }
  bool network_start() override {
    if (net::hosting.exists()) return net::hosting->start();
    if (net::joining.exists()) return net::joining->start();
    return true;
  }
};

// The window toolkit's own options: those that take a value, and those that stand alone.
constexpr std::string_view toolkit_options_with_value[] = {"-display", "-geometry"};
constexpr std::string_view toolkit_flags[] = {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"};

bool one_of(std::string_view word, std::span<const std::string_view> words) {
  for (const std::string_view w : words)
    if (word == w) return true;
  return false;
}

std::uint16_t port_number(std::string_view text) {
  unsigned long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || value > 65535) throw usage_error("--port: numer portu to liczba od 1 do 65535");
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (text.empty() || value < 1 || value > 65535)
    throw usage_error("--port: numer portu to liczba od 1 do 65535");
  return static_cast<std::uint16_t>(value);
}

// "1234-5678" or "12345678": the 8 digits, with no copy of them left behind.
net::join_code code_of(std::string_view text) {
  std::array<char, net::join_code::digits> digits{};
  std::size_t n = 0;
  bool fits = text.size() == 8 || (text.size() == 9 && text[4] == '-');
  for (std::size_t i = 0; fits && i < text.size(); ++i) {
    if (text.size() == 9 && i == 4) continue;
    if (text[i] < '0' || text[i] > '9')
      fits = false;
    else
      digits[n++] = text[i];
  }
  if (!fits) throw usage_error("--code: kod to 8 cyfr, na przyklad 1234-5678");
  net::join_code code(std::string_view(digits.data(), digits.size()));
  net::wipe(digits);
  return code;
}

// The code's characters among the arguments, overwritten: /proc shows the arguments as they now stand.
void blank_code(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    std::string_view word = argv[i];
    char* value = nullptr;
    if (word == "--code" && i + 1 < argc && argv[i + 1] != nullptr)
      value = argv[i + 1];
    else if (word.starts_with("--code="))
      value = argv[i] + 7;
    if (value != nullptr && std::string_view(value) != "-")
      for (char* c = value; *c != '\0'; ++c) *c = '*';
  }
}

// A dotted IPv4 address of the loopback network (host byte order), for a seam.
std::uint32_t loopback_address(std::string_view text, const char* variable) {
  in_addr a{};
  const std::string copy(text);
  if (::inet_pton(AF_INET, copy.c_str(), &a) != 1 || ntohl(a.s_addr) >> 24 != 127)
    throw usage_error(std::string(variable) + "=" + copy + ": potrzebny adres 127.x.x.x");
  return ntohl(a.s_addr);
}

}  // namespace

command_line read_command_line(std::span<const char* const> arguments, std::istream& code_input) {
  command_line options;
  options.toolkit.emplace_back(arguments.empty() || arguments[0] == nullptr ? "multiplayer_tolvaran"
                                                                            : arguments[0]);
  bool host = false, join = false, port = false, code = false, no_router = false;
  const auto once = [](bool& seen, std::string_view option) {
    if (seen) throw usage_error(std::string(option) + ": opcja podana dwa razy");
    seen = true;
  };
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view word = arguments[i] != nullptr ? arguments[i] : "";
    // A game option's value follows it, or an '=' joins the two.
    const std::size_t equals = word.starts_with("--") ? word.find('=') : std::string_view::npos;
    const std::string_view option = word.substr(0, equals);
    const auto value = [&]() -> std::string_view {
      if (equals != std::string_view::npos) return word.substr(equals + 1);
      if (i + 1 >= arguments.size() || arguments[i + 1] == nullptr)
        throw usage_error(std::string(option) + ": brak wartosci");
      return arguments[++i];
    };
    const auto no_value = [&] {
      if (equals != std::string_view::npos) throw usage_error(std::string(option) + ": opcja bez wartosci");
    };
    if (option == "--help" || option == "-h") {
      no_value();
      options.help = true;
    } else if (option == "--mute") {
      no_value();
      once(options.mute, option);
    } else if (option == "--host") {
      no_value();
      once(host, option);
    } else if (option == "--join") {
      once(join, option);
      // The address may be left out: the host is then looked for on this network.
      if (equals != std::string_view::npos || (i + 1 < arguments.size() && arguments[i + 1] != nullptr &&
                                               !std::string_view(arguments[i + 1]).starts_with('-')))
        options.address = value();
      if (equals != std::string_view::npos && (options.address.empty() || options.address.starts_with('-')))
        throw usage_error("--join: brak adresu gospodarza");
    } else if (option == "--no-router") {
      no_value();
      once(no_router, option);
      options.router = false;
    } else if (option == "--port") {
      once(port, option);
      options.port = port_number(value());
    } else if (option == "--code") {
      once(code, option);
      const std::string_view given = value();
      if (given == "-") {
        // From standard input, so that the code never shows among the program's arguments (ps).
        std::string line;
        std::getline(code_input, line);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        try {
          options.code = code_of(line);
        } catch (...) {
          net::wipe(line);
          throw;
        }
        net::wipe(line);
      } else {
        options.code = code_of(given);
      }
    } else if (one_of(word, toolkit_options_with_value)) {
      if (i + 1 >= arguments.size() || arguments[i + 1] == nullptr)
        throw usage_error(std::string(word) + ": brak wartosci");
      options.toolkit.emplace_back(word);
      options.toolkit.emplace_back(arguments[++i]);
    } else if (one_of(word, toolkit_flags)) {
      options.toolkit.emplace_back(word);
    } else if (word.starts_with('-')) {
      throw usage_error(std::string(word) + ": nieznana opcja");
    } else {
      throw usage_error(std::string(word) + ": nieoczekiwany argument");
    }
  }
  if (host && join) throw usage_error("--host i --join: mozna tylko jedno");
  if ((port || code) && !host && !join) throw usage_error("--port i --code tylko z --host albo --join");
  if (no_router && !host) throw usage_error("--no-router tylko z --host");
  if (join && !code) throw usage_error("--join: potrzebny jest kod gospodarza (--code)");
  options.play = host   ? command_line::role::host
                 : join ? command_line::role::guest
                        : command_line::role::alone;
  return options;
}

std::string usage(std::string_view program) {
  const std::string p(program);
  return "Uzycie: " + p +
         " [--mute] [opcje X]\n"
         "        " +
         p +
         " --host [--port N] [--code KOD] [--no-router] [--mute] [opcje X]\n"
         "        " +
         p +
         " --join [ADRES] [--port N] --code KOD [--mute] [opcje X]\n"
         "\n"
         "  --host        gra przez siec: drugi komputer dolacza jako gracz zielony\n"
         "  --join ADRES  dolacza jako gracz zielony do gry komputera ADRES (nazwa lub adres IPv4;\n"
         "                gra przez siec nie zna IPv6); bez adresu szuka gospodarza w tej sieci\n"
         "  --port N      port UDP gry przez siec (domyslnie " +
         std::to_string(default_port) +
         ")\n"
         "  --code KOD    kod dolaczenia: 8 cyfr, np. 1234-5678; bez niego gospodarz losuje kod;\n"
         "                --code - czyta kod z wejscia, by nie bylo go widac na liscie procesow\n"
         "  --no-router   gospodarz nie prosi routera (UPnP, NAT-PMP) o przekierowanie portu\n"
         "  --mute        bez dzwieku; w grze klawisz m wlacza i wylacza dzwiek\n"
         "  --help        ten opis\n"
         "\n"
         "Gospodarz pokazuje w oknie (i raz na wyjsciu) kod, swoje adresy i port, a pod nimi adres\n"
         "z internetu, pod ktory router przekierowal port, albo dlaczego nie i co zrobic recznie\n"
         "(przekierowac port UDP na routerze). Przekaz kod drugiemu graczowi glosem lub na czacie;\n"
         "w tej samej sieci wystarczy mu sam kod, przez internet potrzebny jest jeszcze adres.\n"
         "U gospodarza zapora musi przepuszczac port UDP gry.\n"
         "\n"
         "Opcje X trafiaja do okna: -display EKRAN, -geometry GEOMETRIA, -iconic, -direct, -indirect,\n"
         "-sync, -gldebug.\n";
}

network_seams read_network_seams(const std::function<const char*(const char*)>& variable) {
  network_seams seams;
  const auto value = [&](const char* name) -> std::optional<std::string> {
    const char* v = variable(name);
    if (v == nullptr || *v == '\0') return std::nullopt;
    return std::string(v);
  };
  if (const auto search = value("TOLVARAN_ROUTER_SEARCH")) {
    const std::size_t colon = search->find(':');
    const std::string address = search->substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : search->substr(colon + 1);
    try {
      seams.router_search = std::pair(loopback_address(address, "TOLVARAN_ROUTER_SEARCH"), port_number(port));
    } catch (const usage_error&) {
      throw usage_error("TOLVARAN_ROUTER_SEARCH=" + *search + ": potrzebny adres 127.x.x.x:port");
    }
  }
  if (const auto gateway = value("TOLVARAN_NATPMP_GATEWAY"))
    seams.natpmp_gateway = loopback_address(*gateway, "TOLVARAN_NATPMP_GATEWAY");
  if (const auto lease = value("TOLVARAN_ROUTER_LEASE")) {
    constexpr long longest = 86400;
    long seconds = 0;
    for (const char c : *lease)
      seconds = c < '0' || c > '9' || seconds > longest ? longest + 1 : seconds * 10 + (c - '0');
    if (seconds < 1 || seconds > longest)
      throw usage_error("TOLVARAN_ROUTER_LEASE=" + *lease + ": liczba sekund od 1 do 86400");
    seams.lease = std::chrono::seconds(seconds);
  }
  if (const auto targets = value("TOLVARAN_LAN_TARGETS")) {
    for (std::size_t at = 0; at <= targets->size();) {
      const std::size_t comma = std::min(targets->find(',', at), targets->size());
      seams.lan_targets.push_back(
          loopback_address(std::string_view(*targets).substr(at, comma - at), "TOLVARAN_LAN_TARGETS"));
      at = comma + 1;
    }
  }
  return seams;
}

std::optional<net::router_settings> router_settings(const command_line& options) {
  if (!options.router) return std::nullopt;
  net::router_settings settings;
  if (options.seams.router_search)
    settings.search = {options.seams.router_search->first, options.seams.router_search->second};
  settings.gateway = options.seams.natpmp_gateway;
  if (options.seams.lease.count() > 0) settings.lease = options.seams.lease;
  return settings;
}

command_line& command_line_or_exit(int argc, char** argv) {
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc > 0 ? argc : 0));
  const std::string program = arguments.empty() || arguments[0] == nullptr
                                  ? "multiplayer_tolvaran"
                                  : std::filesystem::path(arguments[0]).filename().string();
  try {
    // Never destroyed: the window toolkit keeps pointers into it while the game runs.
    command_line& options = *new command_line(read_command_line(arguments));
    options.seams = read_network_seams([](const char* name) { return std::getenv(name); });
    // The network's transport (ENet 1.3) speaks IPv4 only.
    if (options.play == command_line::role::guest && options.address.find(':') != std::string::npos)
      throw usage_error("--join " + options.address + ": adres IPv6, a gra przez siec zna tylko IPv4");
    if (options.help) {
      std::fputs(usage(program).c_str(), stdout);
      std::fflush(stdout);
      std::_Exit(0);
    }
    blank_code(argc, argv);
    return options;
  } catch (const usage_error& mistake) {
    std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), mistake.what(), usage(program).c_str());
    std::fflush(stderr);
    std::_Exit(2);
  }
}

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
  // The sound last, once the game is up: it opens its device on its own thread, and its line (or its
  // warning) follows the start-up in the log. An ended sound thread leaves the game silent.
  if (sound::sound_output.exists()) sound::sound_output->start();
}

namespace {

// Everything main() does before the main procedure, for the game the command line asks for.
void initialise(int& argc, char** argv, const command_line& options) {
  // The renderer takes and gives back blocks of half a megabyte and more (frame buffers whenever the window
  // changes size, the brick field's compiled picture whenever bricks fall). Under glibc's sliding threshold
  // those blocks soon come from the heap, whose holes are not handed back, and resident memory creeps up by
  // some 10 MB over the first minutes of play; mapped apart, each goes back to the system when freed.
  mallopt(M_MMAP_THRESHOLD, 512 * 1024);

  // Before any thread: each thread starts with its creator's mask, and only `signals` takes these.
  const sigset_t ending = ending_signals();
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

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
  sound::event_channel& events = sound::game_events.create();
  sound::sound_switch& sound = sound::sound_on.create(!options.mute);

  common::clock& clock = steady_clock.create();
  common::sleeper& physics_time = physics_sleeper.create();

  // The workers, each waiting at its first request. A guest shows its host's game: no physics runs there,
  // and its keys move no pad of its own.
  using role = command_line::role;
  if (options.play != role::guest)
    physics::process_physics
        .create(physics::world{board, players, log, physics_time, &events}, clock, physics_time)
        .launch();
  input::processing_input
      .create(input::world{keys, players, board, view, options.play != role::guest}, log, clock,
              input_sleeper.create())
      .launch();
  computer::computer_thread& computer =
      computer::computer_steering.create(computer::world{board, keys}, log, clock);
  computer.launch();
  common::network_link* network = nullptr;
  if (options.play == role::host) {
    net::host_role& host =
        net::hosting.create(net::host_world{board, players, keys, computer, log, &events,
                                            [](common::menu_command c) { graphics::menu(c); },
                                            [] { return physics::process_physics->ticks(); }, std::cout},
                            options.port, options.code, router_settings(options));
    host.launch();
    network = &host;
  } else if (options.play == role::guest) {
    const auto end = [&log](int status) { graphics::end_game(log, nullptr, status); };
    net::host_search search;
    search.targets = options.seams.lan_targets;
    search.out = &std::cout;
    net::guest_role& guest =
        net::joining.create(net::guest_world{board, players, keys, log, &events, end}, options.address,
                            options.port, *options.code, std::chrono::seconds(3), search);
    guest.launch();
    network = &guest;
  }
  graphics::processing_graphics
      .create(graphics::world{board, players, view, keys, computer, log, &events, &sound, network}, argc,
              argv)
      .launch();
  graphics::redrawing.create(clock, redraw_sleeper.create()).launch();
  // It hears the events from here on, the first new game's among them.
  sound::sound_output.create(events, view, sound, log, clock, sound_sleeper.create()).launch();
  signals.create(log, network).launch();
}

}  // namespace

void static_initialisation(int& argc, char** argv, bool mute) {
  command_line options;
  options.mute = mute;
  initialise(argc, argv, options);
}

void static_initialisation(command_line& options) {
  // The toolkit may take its options out of the vector it is given; both live until the process ends.
  auto& words = *new std::vector<char*>();
  for (const std::string& word : options.toolkit) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  int& count = *new int(static_cast<int>(options.toolkit.size()));
  initialise(count, words.data(), options);
  if (options.code) options.code->wipe();  // the network thread has its own copy
}

void wait_for_the_end() {
  if (graphics::processing_graphics.exists()) {
    // Without its window nobody can play the game or end it: once the window has gone for good, the game
    // ends with status 1, after the reasons (the window's and the start-up's) are written.
    graphics::processing_graphics->wait_until_gone();
    if (runtime_log::log.exists()) runtime_log::log->flush();
    std::fflush(stdout);
    std::_Exit(1);
  }
  for (;;) ::pause();
}

}  // namespace startup
