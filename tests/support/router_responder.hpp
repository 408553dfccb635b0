// Stand-ins for a home router, for tests of the host's port mapping: `upnp_responder`, a UPnP Internet
// Gateway Device that answers the search, serves its description and the SOAP actions a mapping needs, and
// `natpmp_responder`, a NAT-PMP gateway. Each lives on a loopback address of its own with a thread of the
// test that answers until the test ends it (the destructor) or its time limit passes; each records every
// request with the moment it came, and can be told to refuse or to say nothing. Nothing is ever sent beyond
// 127.0.0.x.
//
// Thread use: construct, configure, read and destroy from the test's thread; the responder's own thread
// only answers. Configuration may change while it runs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "net/router.hpp"

namespace testing_support {

using responder_clock = std::chrono::steady_clock;

inline std::uint32_t loopback(int last) {
  return 0x7F000000u + static_cast<std::uint32_t>(last);
}

inline sockaddr_in loopback_at(std::uint32_t address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  return a;
}

// A socket bound to 127.0.0.`first`..`last`, the first address whose `port` is free (0: any port).
inline int bound_socket(int type, int first, int last, std::uint16_t port, std::uint32_t& address) {
  for (int local = first; local <= last; ++local) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    const sockaddr_in a = loopback_at(loopback(local), port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
      address = loopback(local);
      return fd;
    }
    ::close(fd);
  }
  throw std::runtime_error("no free loopback address for a router stand-in");
}

inline std::uint16_t bound_port(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

// A UDP port of 127.0.0.1 that nothing listens on at the moment: a search sent there goes unanswered.
inline std::uint16_t silent_udp_port() {
  std::uint32_t address = 0;
  const int fd = bound_socket(SOCK_DGRAM, 1, 1, 0, address);
  const std::uint16_t port = bound_port(fd);
  ::close(fd);
  return port;
}

// The value of <name>...</name> in a SOAP body, none when absent.
inline std::optional<std::string> soap_argument(std::string_view body, std::string_view name) {
  const std::string open = "<" + std::string(name) + ">", close = "</" + std::string(name) + ">";
  const std::size_t start = body.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t end = body.find(close, start + open.size());
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(body.substr(start + open.size(), end - start - open.size()));
}

class upnp_responder {
 public:
  static constexpr std::string_view ip_connection = "urn:schemas-upnp-org:service:WANIPConnection:1";

  struct request {
    std::string action;  // "search", "description", or the SOAP action: "AddPortMapping", ...
    std::uint16_t external_port = 0;
    std::string protocol;
    std::uint16_t internal_port = 0;
    std::string internal_client;
    std::string description;
    std::optional<std::uint32_t> lease;
    responder_clock::time_point at;
  };

  // On the first free address of 127.0.0.`first`..`last`; it ends by itself after `lifetime`.
  explicit upnp_responder(int first, int last = 0, std::string external_address = "203.0.113.7",
                          std::chrono::seconds lifetime = std::chrono::minutes(10))
      : external_address_(std::move(external_address)) {
    udp_ = bound_socket(SOCK_DGRAM, first, std::max(first, last), 0, address_);
    const int local = static_cast<int>(address_ & 0xFF);  // the search's address serves HTTP too
    tcp_ = bound_socket(SOCK_STREAM, local, local, 0, address_);
    if (::listen(tcp_, 8) != 0) throw std::runtime_error("the router stand-in cannot listen");
    ::fcntl(tcp_, F_SETFL, O_NONBLOCK);
    location_ =
        "http://" + net::address_text(address_) + ":" + std::to_string(bound_port(tcp_)) + "/rootDesc.xml";
    const auto end = responder_clock::now() + lifetime;
    thread_ = std::jthread([this, end](std::stop_token stop) { run(stop, end); });
  }
  upnp_responder(const upnp_responder&) = delete;
  upnp_responder& operator=(const upnp_responder&) = delete;
  ~upnp_responder() {
    thread_.request_stop();
    thread_.join();
    ::close(udp_);
    ::close(tcp_);
  }

  // Where the game sends its search, and the address of the router.
  net::endpoint search_address() const { return {address_, bound_port(udp_)}; }
  std::uint32_t address() const { return address_; }
  std::uint16_t http_port() const { return bound_port(tcp_); }

  // The search goes unanswered.
  void stay_silent(bool silent = true) {
    std::scoped_lock lock(mutex_);
    silent_ = silent;
  }
  // The action is answered with a SOAP fault of this UPnP error code; 0: answered again.
  void refuse(const std::string& action, int code) {
    std::scoped_lock lock(mutex_);
    faults_[action] = code;
  }
  // AddPortMapping with any lease but 0 is refused with 725.
  void only_permanent_leases(bool only = true) {
    std::scoped_lock lock(mutex_);
    only_permanent_ = only;
  }
  // Answers the search with this description address instead of its own.
  void answer_location(std::string url) {
    std::scoped_lock lock(mutex_);
    location_ = std::move(url);
  }
  // GetStatusInfo tells this state of the connection.
  void connection_status(std::string status) {
    std::scoped_lock lock(mutex_);
    status_ = std::move(status);
  }
  // The action's request is read and the connection closed without a word.
  void hang_up(const std::string& action) {
    std::scoped_lock lock(mutex_);
    hang_ups_.push_back(action);
  }
  // Replies come in chunks rather than with their length told first.
  void chunked(bool chunks = true) { chunked_ = chunks; }
  // Replies come a byte every 50 ms, as a router that holds its client would send them.
  void drip(bool slowly = true) { drip_ = slowly; }
  // The description carries this many bytes more, in an element no client reads.
  void pad_description(std::size_t bytes) { padding_ = bytes; }
  // The description names this type for its connection service.
  void service_type(std::string type) {
    std::scoped_lock lock(mutex_);
    service_ = std::move(type);
  }
  // The description names this base for its control addresses.
  void url_base(std::string base) {
    std::scoped_lock lock(mutex_);
    url_base_ = std::move(base);
  }

  std::vector<request> requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
  }
  std::vector<request> requests(std::string_view action) const {
    std::vector<request> out;
    for (request& r : requests())
      if (r.action == action) out.push_back(std::move(r));
    return out;
  }
  // The mappings in force: external port and protocol to the internal client.
  std::map<std::pair<std::uint16_t, std::string>, std::string> mappings() const {
    std::scoped_lock lock(mutex_);
    return mappings_;
  }

 private:
  void run(std::stop_token stop, responder_clock::time_point end) {
    while (!stop.stop_requested() && responder_clock::now() < end) {
      pollfd p[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      if (p[0].revents & POLLIN) answer_search();
      if (p[1].revents & POLLIN) {
        const int connection = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
          try {
            serve(connection, stop);
          } catch (const std::exception&) {
            // a request it cannot read goes unanswered
          }
          ::close(connection);
        }
      }
    }
  }

  void answer_search() {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n <= 0) return;
    const std::string_view text(buffer, static_cast<std::size_t>(n));
    std::string answer;
    {
      std::scoped_lock lock(mutex_);
      request r;
      r.action = "search";
      r.at = responder_clock::now();
      requests_.push_back(r);
      const bool asks_for_us = text.starts_with("M-SEARCH * HTTP/1.1\r\n") &&
                               text.find("\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n") !=
                                   std::string_view::npos &&
                               text.find("\r\nMAN: \"ssdp:discover\"\r\n") != std::string_view::npos;
      if (silent_ || !asks_for_us) return;
      answer =
          "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
          "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
          "USN: uuid:00000000-0000-0000-0000-000000000001::urn:schemas-upnp-org:device:"
          "InternetGatewayDevice:1\r\nEXT:\r\nSERVER: Linux/6 UPnP/1.1 stand-in/1\r\nLOCATION: " +
          location_ + "\r\n\r\n";
    }
    if (ntohl(from.sin_addr.s_addr) >> 24 != 127) return;  // loopback only, whoever asks
    ::sendto(udp_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }

  // Reads one HTTP request within a bound and answers it.
  void serve(int connection, const std::stop_token& stop) {
    std::string in;
    const auto give_up = responder_clock::now() + std::chrono::seconds(2);
    std::size_t body_at = std::string::npos, length = 0;
    while (responder_clock::now() < give_up && in.size() < 65536) {
      if (body_at == std::string::npos) {
        body_at = in.find("\r\n\r\n");
        if (body_at != std::string::npos) {
          body_at += 4;
          const std::string head = lower(in.substr(0, body_at));
          if (const std::size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
            length = std::stoul(head.substr(at + 17));
        }
      }
      if (body_at != std::string::npos && in.size() >= body_at + length) break;
      pollfd p{connection, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      in.append(buffer, static_cast<std::size_t>(n));
    }
    if (body_at == std::string::npos) return;
    const std::string body = in.substr(body_at);
    std::string reply;
    if (in.starts_with("GET ")) {
      std::scoped_lock lock(mutex_);
      request r;
      r.action = "description";
      r.at = responder_clock::now();
      record(std::move(r));
      reply = http(200, description());
    } else if (in.starts_with("POST /ctl/IPConn ")) {  // the description's control address, no other
      reply = control(lower(in.substr(0, body_at)), body);
    } else if (in.starts_with("POST ")) {
      reply = http(404, "");
    } else {
      reply = http(405, "");
    }
    const bool slowly = drip_;
    std::size_t sent = 0;
    while (sent < reply.size() && !stop.stop_requested()) {
      const ssize_t n =
          ::send(connection, reply.data() + sent, slowly ? 1 : reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
      if (slowly) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::string control(const std::string& head, const std::string& body) {
    const std::size_t at = head.find("\r\nsoapaction:");
    if (at == std::string::npos) return http(400, "");
    const std::size_t hash = head.find('#', at), end = head.find("\r\n", at + 2);
    if (hash == std::string::npos || hash > end) return http(400, "");
    std::string action = head.substr(hash + 1, end - hash - 1);
    action.erase(std::remove(action.begin(), action.end(), '"'), action.end());
    const std::string named = head.substr(at + 13, hash - at - 13);
    action = original_case(action);

    request r;
    r.action = action;
    r.at = responder_clock::now();
    const auto number = [&](std::string_view name) -> std::uint32_t {
      const std::optional<std::string> v = soap_argument(body, name);
      return v && !v->empty() ? static_cast<std::uint32_t>(std::stoul(*v)) : 0;
    };
    r.external_port = static_cast<std::uint16_t>(number("NewExternalPort"));
    r.internal_port = static_cast<std::uint16_t>(number("NewInternalPort"));
    r.protocol = soap_argument(body, "NewProtocol").value_or("");
    r.internal_client = soap_argument(body, "NewInternalClient").value_or("");
    r.description = soap_argument(body, "NewPortMappingDescription").value_or("");
    if (soap_argument(body, "NewLeaseDuration")) r.lease = number("NewLeaseDuration");

    std::scoped_lock lock(mutex_);
    // The action is of the service the description named, as a router checks.
    if (named.find(lower(service_)) == std::string::npos) return http(400, "");
    record(r);
    if (std::find(hang_ups_.begin(), hang_ups_.end(), action) != hang_ups_.end()) return "";
    if (const auto f = faults_.find(action); f != faults_.end() && f->second != 0) return fault(f->second);
    if (action == "GetStatusInfo")
      return success(action, "<NewConnectionStatus>" + status_ +
                                 "</NewConnectionStatus>"
                                 "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                                 "<NewUptime>4242</NewUptime>");
    if (action == "GetExternalIPAddress")
      return success(action, "<NewExternalIPAddress>" + external_address_ + "</NewExternalIPAddress>");
    if (action == "AddPortMapping") {
      if (only_permanent_ && r.lease.value_or(0) != 0) return fault(725);
      mappings_[{r.external_port, r.protocol}] = r.internal_client;
      return success(action, "");
    }
    if (action == "DeletePortMapping") {
      if (mappings_.erase({r.external_port, r.protocol}) == 0) return fault(714);
      return success(action, "");
    }
    return fault(401);
  }

  void record(request r) { requests_.push_back(std::move(r)); }

  std::string description() const {
    const std::string base = url_base_.empty() ? "" : "<URLBase>" + url_base_ + "</URLBase>";
    return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
           "<specVersion><major>1</major><minor>0</minor></specVersion>" +
           base + (padding_ == 0 ? "" : "<padding>" + std::string(padding_, 'x') + "</padding>") +
           "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
           "<friendlyName>Router stand-in</friendlyName><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
           "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
           "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
           "<serviceList><service><serviceType>" +
           service_ +
           "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
           "<controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
           "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList></device></deviceList>"
           "</device></deviceList></device></root>\r\n";
  }

  std::string success(const std::string& action, const std::string& arguments) const {
    return http(
        200,
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
            action + "Response xmlns:u=\"" + service_ + "\">" + arguments + "</u:" + action +
            "Response></s:Body></s:Envelope>\r\n");
  }
  std::string fault(int code) const {
    return http(
        500,
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
        "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
            std::to_string(code) +
            "</errorCode><errorDescription>refused</errorDescription></UPnPError></detail>"
            "</s:Fault></s:Body></s:Envelope>\r\n");
  }
  std::string http(int status, const std::string& body) const {
    const char* reason = status == 200   ? "OK"
                         : status == 500 ? "Internal Server Error"
                         : status == 404 ? "Not Found"
                                         : "Bad Request";
    const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                             "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\n";
    if (!chunked_) return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::string out = head + "Transfer-Encoding: chunked\r\n\r\n";
    // Sizes in hex digits of both cases, as routers write them.
    constexpr std::size_t piece = 0xABC;
    bool upper = false;
    for (std::size_t at = 0; at < body.size(); at += piece, upper = !upper) {
      const std::size_t n = std::min(piece, body.size() - at);
      char size[16];
      std::snprintf(size, sizeof size, upper ? "%zX\r\n" : "%zx\r\n", n);
      out += size + body.substr(at, n) + "\r\n";
    }
    return out + "0\r\n\r\n";
  }
  static std::string lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }
  // The SOAP actions' names, back from the lower case the headers were searched in.
  static std::string original_case(const std::string& action) {
    for (std::string_view known : {"GetStatusInfo", "GetExternalIPAddress", "AddPortMapping",
                                   "DeletePortMapping", "GetCommonLinkProperties", "GetConnectionTypeInfo"})
      if (lower(std::string(known)) == action) return std::string(known);
    return action;
  }

  std::string external_address_;
  std::uint32_t address_ = 0;
  int udp_ = -1;
  int tcp_ = -1;
  mutable std::mutex mutex_;
  std::string location_;
  std::string url_base_;
  std::string service_{ip_connection};
  bool silent_ = false;
  bool only_permanent_ = false;
  std::string status_ = "Connected";
  std::vector<std::string> hang_ups_;
  std::atomic<bool> chunked_{false};
  std::atomic<bool> drip_{false};
  std::atomic<std::size_t> padding_{0};
  std::map<std::string, int> faults_;
  std::vector<request> requests_;
  std::map<std::pair<std::uint16_t, std::string>, std::string> mappings_;
  std::jthread thread_;
};

class natpmp_responder {
 public:
  struct request {
    std::vector<std::uint8_t> bytes;  // as they came
    responder_clock::time_point at;
  };

  // On port 5351 of the first free address of 127.0.0.`first`..`last`; it ends by itself after `lifetime`.
  explicit natpmp_responder(int first, int last = 0, std::uint32_t external_address = 0xCB007107u,
                            std::chrono::seconds lifetime = std::chrono::minutes(10))
      : external_(external_address) {
    udp_ = bound_socket(SOCK_DGRAM, first, std::max(first, last), net::natpmp_port, address_);
    const auto end = responder_clock::now() + lifetime;
    thread_ = std::jthread([this, end](std::stop_token stop) { run(stop, end); });
  }
  natpmp_responder(const natpmp_responder&) = delete;
  natpmp_responder& operator=(const natpmp_responder&) = delete;
  ~natpmp_responder() {
    thread_.request_stop();
    thread_.join();
    ::close(udp_);
  }

  // The gateway to give the game.
  std::uint32_t address() const { return address_; }

  void stay_silent(bool silent = true) {
    std::scoped_lock lock(mutex_);
    silent_ = silent;
  }
  // Requests of this opcode (0: the public address, 1: a UDP mapping) go unanswered.
  void ignore(std::uint8_t op) {
    std::scoped_lock lock(mutex_);
    ignored_.push_back(op);
  }
  // Requests of this opcode are answered with this result code.
  void refuse(std::uint8_t op, std::uint16_t result) {
    std::scoped_lock lock(mutex_);
    refusals_[op] = result;
  }
  // The first `count` requests go unanswered, as if lost on the way.
  void lose_first(int count) {
    std::scoped_lock lock(mutex_);
    to_lose_ = count;
  }
  // Each answer comes after two datagrams that are no answers: one of another version, one of a request's
  // opcode.
  void send_junk_first(bool junk = true) { junk_ = junk; }
  // Mappings are answered for another port of this computer than the one asked for.
  void answer_another_port(bool other = true) { another_port_ = other; }
  // Mappings get this public port and lifetime rather than the ones asked for (0: as asked).
  void grant(std::uint16_t public_port, std::uint32_t lifetime) {
    std::scoped_lock lock(mutex_);
    granted_port_ = public_port;
    granted_lifetime_ = lifetime;
  }

  std::vector<request> requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
  }

 private:
  void run(std::stop_token stop, responder_clock::time_point end) {
    while (!stop.stop_requested() && responder_clock::now() < end) {
      pollfd p{udp_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) answer();
    }
  }

  void answer() {
    std::uint8_t in[64];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(udp_, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n <= 0) return;
    std::vector<std::uint8_t> out;
    {
      std::scoped_lock lock(mutex_);
      requests_.push_back({{in, in + n}, responder_clock::now()});
      if (silent_ || in[0] != 0) return;
      const std::uint8_t op = n >= 2 ? in[1] : 0xFF;
      const bool address_request = op == 0 && n == 2;
      const bool mapping_request = (op == 1 || op == 2) && n == 12;
      if (!address_request && !mapping_request) return;
      if (std::find(ignored_.begin(), ignored_.end(), op) != ignored_.end()) return;
      if (to_lose_ > 0) {
        --to_lose_;
        return;
      }
      const auto refusal = refusals_.find(op);
      const std::uint16_t result = refusal == refusals_.end() ? 0 : refusal->second;
      out = {0, static_cast<std::uint8_t>(128 + op)};
      put16(out, result);
      put32(out, 4242);  // seconds since the gateway started
      if (address_request) {
        put32(out, external_);
      } else {
        const std::uint16_t port = static_cast<std::uint16_t>(in[4] << 8 | in[5]);
        const std::uint16_t asked = static_cast<std::uint16_t>(in[6] << 8 | in[7]);
        const std::uint32_t lifetime =
            static_cast<std::uint32_t>(in[8]) << 24 | in[9] << 16 | in[10] << 8 | in[11];
        const bool removal = lifetime == 0;
        put16(out, another_port_ ? static_cast<std::uint16_t>(port + 1) : port);
        put16(out, removal ? 0 : granted_port_ != 0 ? granted_port_ : asked != 0 ? asked : port);
        put32(out, removal ? 0 : granted_lifetime_ != 0 ? granted_lifetime_ : lifetime);
      }
    }
    if (ntohl(from.sin_addr.s_addr) >> 24 != 127) return;
    const auto send = [&](const std::vector<std::uint8_t>& d) {
      ::sendto(udp_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    };
    if (junk_) {
      std::vector<std::uint8_t> other_version = out, request_opcode = out;
      other_version[0] = 1;
      request_opcode[1] = static_cast<std::uint8_t>(request_opcode[1] - 128);
      send(other_version);
      send(request_opcode);
    }
    send(out);
  }

  static void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  }
  static void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v));
  }

  std::uint32_t external_;
  std::uint32_t address_ = 0;
  int udp_ = -1;
  mutable std::mutex mutex_;
  bool silent_ = false;
  std::map<std::uint8_t, std::uint16_t> refusals_;
  std::vector<std::uint8_t> ignored_;
  std::atomic<bool> another_port_{false};
  std::atomic<bool> junk_{false};
  int to_lose_ = 0;
  std::uint16_t granted_port_ = 0;
  std::uint32_t granted_lifetime_ = 0;
  std::vector<request> requests_;
  std::jthread thread_;
};

}  // namespace testing_support
