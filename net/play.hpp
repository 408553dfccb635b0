// The two sides of a game over the network, each a thread around ENet: `host_role` on the computer whose game
// it is, `guest_role` on the computer that joins it as the green player. Each thread body opens its wire and
// then only waits for it and hands what happens to its pass (net/pass.hpp), where the game's rules are.
//
// The host's thread (`net-host`) listens on its UDP port and shows the join code and this computer's
// addresses on the window's message line (printed once on standard output too; the log only notes that the
// game waits). It answers the probes of guests looking for a game on the local network. Then it asks its
// home router to forward its port (net/router.hpp; a few seconds at most, while the window plays on), shows
// the address a friend across the internet joins at or what to do by hand, keeps the mapping's lease renewed
// between its passes, and removes the mapping when the game ends (the farewell) or its thread fails.
//
// The guest's thread (`net-guest`) joins and writes the host's game into the guest's monitors in place of a
// physics thread (none runs on a guest). Without the host's address it first looks for hosts waiting on the
// local network and tries those free to play, one after another, until one takes its code. Its menu's new
// board, pause and resume go to the host; the steering entries have no say on a guest. When the host ends or
// is lost, or refuses the guest, the guest shows why on its message line, logs it, and a few seconds later
// ends: with status 0 when the host ended the game, 1 otherwise.
//
// Both are the window's `network_link`: the game's end ("Zakoncz", the close button) says goodbye first.
//
// Thread use: `launch` and `start` from the main thread at start-up; `takes_menu_command` and `game_ends`
// from the graphics thread (and the host's own menu hook); the figures from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/common_data.hpp"
#include "common/menu_command.hpp"
#include "common/network_link.hpp"
#include "common/rendezvous.hpp"
#include "input/computer_steering.hpp"
#include "input/process_input.hpp"
#include "log/runtime_log.hpp"
#include "net/discovery.hpp"
#include "net/pass.hpp"
#include "net/router.hpp"
#include "net/session.hpp"
#include "sound/game_events.hpp"
#include "state/game_state.hpp"

namespace net {

inline constexpr std::string_view net_error_prefix = "Nastapil wyjatek w module gry przez siec, nazwa: ";

// The line a waiting host shows: "Kod dolaczenia: 1234-5678   adresy: 192.0.2.5, 198.51.100.7   port UDP
// 47630".
std::string waiting_line(std::string_view code, const std::vector<std::string>& addresses,
                         std::uint16_t port);
// The two heads-up lines a waiting host shows, '\n' between them, each within the 600-pixel window: the
// `waiting_line` with this computer's first two addresses (a third would not fit), then what its router said
// (`router`) and that on this network the code alone will do.
std::string waiting_lines(std::string_view code, const std::vector<std::string>& addresses,
                          std::uint16_t port, std::string_view router);
// What the waiting lines say of the router while it is being asked, and when the player said not to ask.
std::string router_asking_line(std::uint16_t port);
std::string no_router_line(std::uint16_t port);

// The hosts a guest without an address tries, in the order they answered: those of this version with no
// guest yet, and a host on this computer (a loopback address or one of `own`) once, although it answers
// from every address it has.
std::vector<lan_host> hosts_to_try(const std::vector<lan_host>& found, std::span<const std::uint32_t> own);
// A host found on the network as a player reads it: "stol (192.0.2.5)", and why it cannot be joined.
std::string host_text(const lan_host& host);
// The guest's line when no host on the network took its code: the hosts it found (three at most), or that
// it found none on `port`.
std::string no_host_line(const std::vector<lan_host>& found, std::uint16_t port);

// How a guest without its host's address looks for one on the local network.
struct host_search {
  // Where the probes go; none: each network's broadcast address and 127.0.0.1.
  std::vector<std::uint32_t> targets;
  std::chrono::milliseconds limit{1000};
  // Where the hosts found are listed when none took the code; none: nowhere but the message line.
  std::ostream* out = nullptr;
};

class host_role final : public common::network_link {
 public:
  // No `code`: one is drawn at random. Without `router` settings the router is not asked (--no-router); its
  // log hook is the host's log.
  host_role(host_world w, std::uint16_t port, std::optional<join_code> code,
            std::optional<router_settings> router = std::nullopt);
  host_role(const host_role&) = delete;
  host_role& operator=(const host_role&) = delete;

  void launch();
  // The thread listens and waits for a guest; false when it has ended.
  bool start();

  bool takes_menu_command(common::menu_command c) override;
  void game_ends() noexcept override;

  bool guest_plays() const { return guest_plays_.load(std::memory_order_acquire); }
  // Bytes the host has sent, and the datagrams it has been sent, so far.
  std::uint64_t bytes_sent() const { return bytes_sent_.load(std::memory_order_relaxed); }
  std::uint64_t datagrams_received() const { return datagrams_received_.load(std::memory_order_relaxed); }

 private:
  enum class request : std::uint8_t { start, farewell };
  void run(std::stop_token stop);
  void serve(std::stop_token stop);
  // Shows and prints the waiting lines, then asks the router to forward the port and prints what it said;
  // the port's mapper, none with no router to ask.
  std::unique_ptr<port_mapper> announce(std::string_view code, const std::vector<std::string>& addresses,
                                        common::clock& clock);

  host_world world_;
  std::uint16_t port_;
  std::optional<join_code> code_;  // wiped when the thread ends
  std::optional<router_settings> router_;
  common::request_box<request> box_;
  std::atomic<bool> guest_plays_{false};
  std::atomic<std::uint64_t> bytes_sent_{0};
  std::atomic<std::uint64_t> datagrams_received_{0};
  std::jthread thread_;
};

class guest_role final : public common::network_link {
 public:
  // An empty `address`: the host is looked for on the local network as `search` says.
  guest_role(guest_world w, std::string address, std::uint16_t port, const join_code& code,
             std::chrono::milliseconds show_ending = std::chrono::seconds(3), host_search search = {});
  guest_role(const guest_role&) = delete;
  guest_role& operator=(const guest_role&) = delete;

  void launch();
  // The thread connects to the host and joins; false when it has ended.
  bool start();

  bool takes_menu_command(common::menu_command c) override;
  void game_ends() noexcept override;

  bool playing() const { return playing_.load(std::memory_order_acquire); }
  // How often the host has put its ball somewhere rather than moved it (modulo 256), as last told.
  std::uint8_t host_jumps() const { return host_jumps_.load(std::memory_order_acquire); }

 private:
  struct request {
    enum class kind : std::uint8_t { start, menu, farewell } what;
    common::menu_command command = common::menu_command::pause;
  };
  void run(std::stop_token stop);
  // Joins the host at `address` and plays until the game ends. With `another_to_try`, a wrong code ends
  // nothing: false returns for the next host to be tried. An attempt the host never challenged (a bad line
  // lost its handshake) is made afresh, up to `join_attempts` in all.
  bool play(std::stop_token stop, const std::string& address, bool another_to_try = false);
  // Looks for hosts on the local network and plays with the first that takes the code.
  void play_found_host(std::stop_token stop);
  // Shows why the game ends, and a moment later ends it.
  void finish(guest_session::ending why, std::uint16_t host_version);
  void finish(const std::string& why, int status);

  guest_world world_;
  std::string address_;
  std::uint16_t port_;
  join_code code_;  // wiped once joined, or when the game ends
  std::chrono::milliseconds show_ending_;
  host_search search_;
  common::request_box<request> box_;
  std::atomic<bool> playing_{false};
  std::atomic<std::uint8_t> host_jumps_{0};
  std::jthread thread_;
};

// The game's single network thread, created at start-up when the command line asks for one.
inline common::game_object<host_role> hosting;
inline common::game_object<guest_role> joining;

}  // namespace net
