#include "net/router.hpp"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnpreplyparse.h>
#include <natpmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

namespace net {

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view search_target = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
// Longer than any router's description address; miniupnpc keeps the addresses it builds in 128 bytes.
constexpr std::size_t longest_url = 255;
// Routers beyond the first to answer a multicast search are kept for when the first is no router after all.
constexpr std::size_t most_candidates = 4;
// Rejected answers logged per search: a flood of them must not flood the log.
constexpr int most_rejections_told = 3;
// A router's description runs to some kilobytes and its answers to less: anything longer is no router's.
constexpr std::size_t longest_reply = 128 * 1024;
// However short a lease a router grants, it is not renewed more often than this.
constexpr std::chrono::seconds shortest_renewal{5};

std::string port_text(std::uint16_t port) {
  return "UDP " + std::to_string(port);
}

bool same_letters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A number of at most `digits` decimal digits and nothing else.
std::optional<std::uint32_t> decimal(std::string_view s, std::size_t digits) {
  if (s.empty() || s.size() > digits) return std::nullopt;
  std::uint32_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return n;
}

// "a.b.c.d" in host byte order: four parts of 0 to 255, no sign, no leading zero, nothing around them.
std::optional<std::uint32_t> dotted(std::string_view s) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view digits = s.substr(0, dot);
    const std::optional<std::uint32_t> n = decimal(digits, 3);
    if (!n || *n > 255 || (digits.size() > 1 && digits.front() == '0')) return std::nullopt;
    address = address << 8 | *n;
    s.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return address;
}

struct url_host {
  std::uint32_t address = 0;
  std::uint16_t port = 80;
};

// An address as miniupnpc reads it: "http://a.b.c.d[:port]/path", printable ASCII without blanks. Host names
// are refused: looking one up would ask a name server on the router's word.
std::optional<url_host> http_url(std::string_view url) {
  constexpr std::string_view scheme = "http://";
  if (url.size() > longest_url || !url.starts_with(scheme)) return std::nullopt;
  if (std::any_of(url.begin(), url.end(), [](char c) { return c <= ' ' || c > '~'; })) return std::nullopt;
  url.remove_prefix(scheme.size());
  const std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view authority = url.substr(0, slash);
  url_host host;
  if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    const std::optional<std::uint32_t> port = decimal(authority.substr(colon + 1), 5);
    if (!port || *port == 0 || *port > 65535) return std::nullopt;
    host.port = static_cast<std::uint16_t>(*port);
    authority = authority.substr(0, colon);
  }
  const std::optional<std::uint32_t> address = dotted(authority);
  if (!address) return std::nullopt;
  host.address = *address;
  return host;
}

// What a router says of itself, fit for the log: letters, digits and a few signs, briefly.
std::string plain(std::string_view said) {
  std::string out;
  for (char c : said.substr(0, 32)) {
    const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == ' ' || c == '_' || c == '-' || c == '.';
    out += fits ? c : '?';
  }
  return out;
}

std::string upnp_error_words(int code) {
  switch (code) {
    case 401:
      return "nieznana czynnosc";
    case 402:
      return "zle argumenty";
    case 501:
      return "czynnosc nieudana";
    case 606:
      return "brak uprawnien";
    case 714:
      return "nie ma takiego przekierowania";
    case 718:
      return "port zajety przez inny komputer";
    case 724:
      return "porty musza byc rowne";
    case 725:
      return "tylko stale przekierowania";
    case 728:
      return "brak wolnych przekierowan";
    case 729:
      return "konflikt z innym mechanizmem";
    default:
      return code < 0 ? "brak poprawnej odpowiedzi" : "blad routera";
  }
}

std::string natpmp_result_words(int result) {
  switch (result) {
    case 1:
      return "nieobslugiwana wersja";
    case 2:
      return "brak zgody";
    case 3:
      return "brak polaczenia z internetem";
    case 4:
      return "brak zasobow";
    case 5:
      return "nieobslugiwana operacja";
    default:
      return "blad bramy";
  }
}

int milliseconds_until(steady_clock::time_point t) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
}

class socket_guard {
 public:
  explicit socket_guard(int fd) : fd_(fd) {}
  ~socket_guard() {
    if (fd_ >= 0) ::close(fd_);
  }
  socket_guard(const socket_guard&) = delete;
  socket_guard& operator=(const socket_guard&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// ---------------------------------------------------------------------------------------------------------
// HTTP with the router, bounded: miniupnpc's own requests wait up to 5 s for each piece of an answer and
// take pieces for as long as they come, so a router that answers a byte at a time would hold the host's
// thread for ever. miniupnpc still reads what the router says: its description and its SOAP answers.

struct http_reply {
  int status = 0;
  std::string body;
};

enum class reply_state : std::uint8_t { incomplete, complete, broken };

std::optional<std::string_view> header_value(std::string_view head, std::string_view name) {
  std::size_t end = head.find('\n');
  while (end != std::string_view::npos) {
    head.remove_prefix(end + 1);
    end = head.find('\n');
    const std::string_view line = head.substr(0, end);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && same_letters(trimmed(line.substr(0, colon)), name))
      return trimmed(line.substr(colon + 1));
  }
  return std::nullopt;
}

// A chunked body: sizes in hex on lines of their own, each chunk followed by a line end, a size 0 last.
reply_state unchunk(std::string_view raw, std::string& body) {
  body.clear();
  for (;;) {
    const std::size_t line_end = raw.find("\r\n");
    if (line_end == std::string_view::npos) return reply_state::incomplete;
    std::string_view size_text = raw.substr(0, line_end);
    size_text = trimmed(size_text.substr(0, size_text.find(';')));
    if (size_text.empty() || size_text.size() > 6) return reply_state::broken;
    std::size_t size = 0;
    for (char c : size_text) {
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return reply_state::broken;
      size = size * 16 + static_cast<std::size_t>(digit);
    }
    raw.remove_prefix(line_end + 2);
    if (size == 0) return reply_state::complete;  // what trails the last chunk tells nothing we need
    if (raw.size() < size + 2) return reply_state::incomplete;
    if (raw.substr(size, 2) != "\r\n") return reply_state::broken;
    body.append(raw.substr(0, size));
    raw.remove_prefix(size + 2);
  }
}

// An HTTP/1.x reply read so far; `ended` when the router closed the connection.
reply_state read_reply(std::string_view raw, bool ended, http_reply& out) {
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return ended ? reply_state::broken : reply_state::incomplete;
  const std::string_view head = raw.substr(0, head_end + 2);
  const std::string_view status = head.substr(0, head.find("\r\n"));
  const std::optional<std::uint32_t> code =
      status.size() >= 12 ? decimal(status.substr(9, 3), 3) : std::nullopt;
  if (!status.starts_with("HTTP/1.") || status[8] != ' ' || !code) return reply_state::broken;
  out.status = static_cast<int>(*code);
  const std::string_view rest = raw.substr(head_end + 4);
  const std::optional<std::string_view> encoding = header_value(head, "transfer-encoding");
  if (encoding && same_letters(*encoding, "chunked")) {
    const reply_state s = unchunk(rest, out.body);
    return s == reply_state::incomplete && ended ? reply_state::broken : s;
  }
  if (const std::optional<std::string_view> length = header_value(head, "content-length")) {
    const std::optional<std::uint32_t> n = decimal(*length, 7);
    if (!n) return reply_state::broken;
    if (rest.size() < *n) return ended ? reply_state::broken : reply_state::incomplete;
    out.body = rest.substr(0, *n);
    return reply_state::complete;
  }
  if (!ended) return reply_state::incomplete;
  out.body = rest;
  return reply_state::complete;
}

bool wait_for(int fd, short events, steady_clock::time_point deadline) {
  for (;;) {
    const int wait = milliseconds_until(deadline);
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, wait);
    if (n > 0) return true;
    if ((n == 0 && wait == 0) || (n < 0 && errno != EINTR)) return false;
    if (steady_clock::now() >= deadline) return false;
  }
}

// One request and its reply, all within `deadline`. `local` gets the address this computer spoke from.
std::optional<http_reply> exchange(const url_host& to, std::string_view request,
                                   steady_clock::time_point deadline, std::uint32_t* local = nullptr) {
  const socket_guard s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.fd() < 0) return std::nullopt;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(to.address);
  a.sin_port = htons(to.port);
  if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS || !wait_for(s.fd(), POLLOUT, deadline)) return std::nullopt;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return std::nullopt;
  }
  if (local != nullptr) {
    sockaddr_in here{};
    socklen_t size = sizeof here;
    if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&here), &size) != 0) return std::nullopt;
    *local = ntohl(here.sin_addr.s_addr);
  }
  while (!request.empty()) {
    const ssize_t n = ::send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    if (n > 0) {
      request.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return std::nullopt;
    } else if (!wait_for(s.fd(), POLLOUT, deadline)) {
      return std::nullopt;
    }
  }
  std::string raw;
  http_reply reply;
  for (;;) {
    if (!wait_for(s.fd(), POLLIN, deadline)) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(s.fd(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return std::nullopt;
    raw.append(buffer, static_cast<std::size_t>(n));
    if (raw.size() > longest_reply) return std::nullopt;
    const reply_state state = read_reply(raw, n == 0, reply);
    if (state == reply_state::complete) return reply;
    if (state == reply_state::broken) return std::nullopt;
  }
}

std::string host_header(const url_host& h) {
  return address_text(h.address) + ":" + std::to_string(h.port);
}

// The path of an address http_url accepted.
std::string_view url_path(std::string_view url) {
  url.remove_prefix(std::string_view("http://").size());
  return url.substr(url.find('/'));
}

struct candidate {
  std::string location;
  std::uint32_t router = 0;
};

// Sends our own M-SEARCH, as miniupnpc's search goes to the multicast group whatever it is told, and keeps
// the answers that name a description on their own address.
std::vector<candidate> search(const router_settings& settings, steady_clock::time_point deadline,
                              const std::function<void(std::string_view)>& say) {
  std::vector<candidate> found;
  const socket_guard s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.fd() < 0) return found;
  const bool multicast = (settings.search.address >> 28) == 0xE;
  if (multicast) {
    const unsigned char hops = 2;  // the router, and one more for a second in line
    ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(settings.search.address);
  to.sin_port = htons(settings.search.port);
  // A search sent to one device wants its answer at once; the group's members may wait up to MX seconds.
  const std::string request = "M-SEARCH * HTTP/1.1\r\nHOST: " + address_text(settings.search.address) + ":" +
                              std::to_string(settings.search.port) + "\r\nMAN: \"ssdp:discover\"\r\n" +
                              (multicast ? "MX: 1\r\n" : "") + "ST: " + std::string(search_target) +
                              "\r\n\r\n";
  const auto send = [&] {
    ::sendto(s.fd(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  send();
  // A datagram may be lost: the search goes out once more halfway when nothing answered.
  const auto halfway = steady_clock::now() + (deadline - steady_clock::now()) / 2;
  bool sent_again = false;
  int rejected = 0;
  while (found.empty()) {
    const auto now = steady_clock::now();
    // Halfway, or later on a busy machine: unanswered, the search always goes out twice.
    if (!sent_again && now >= halfway) {
      send();
      sent_again = true;
    }
    if (now >= deadline) break;
    pollfd p{s.fd(), POLLIN, 0};
    if (::poll(&p, 1, milliseconds_until(sent_again ? deadline : halfway)) <= 0) continue;
    // What is already here is read, so that a second router's answer is kept with the first; a flood of
    // datagrams is read a few at a time between looks at the clock.
    for (int read = 0; read < 64; ++read) {
      char buffer[1536];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n =
          ::recvfrom(s.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 0) break;
      const std::uint32_t sender = ntohl(from.sin_addr.s_addr);
      if (!multicast && sender != settings.search.address) continue;
      std::optional<std::string> location = ssdp_location({buffer, static_cast<std::size_t>(n)}, sender);
      if (!location) {
        if (rejected++ < most_rejections_told)
          say("Router UPnP: pominieto odpowiedz z " + address_text(sender) + " (opis nie na jej adresie)");
        continue;
      }
      const bool known = std::any_of(found.begin(), found.end(),
                                     [&](const candidate& c) { return c.location == *location; });
      if (!known && found.size() < most_candidates) found.push_back({std::move(*location), sender});
    }
  }
  return found;
}

// One NAT-PMP exchange at a time with the gateway, on libnatpmp's resend schedule (250 ms, doubling) but
// within our own deadline.
class natpmp_client {
 public:
  struct answer {
    enum class kind : std::uint8_t { answered, silent, refused };
    kind what = kind::silent;
    natpmpresp_t response{};
    int result = 0;  // refused: the gateway's result code
  };

  explicit natpmp_client(std::uint32_t gateway) : ready_(initnatpmp(&p_, 1, htonl(gateway)) == 0) {}
  ~natpmp_client() {
    if (ready_) closenatpmp(&p_);
  }
  natpmp_client(const natpmp_client&) = delete;
  natpmp_client& operator=(const natpmp_client&) = delete;

  bool ready() const { return ready_; }

  answer public_address(steady_clock::time_point deadline) {
    return ask([this] { return sendpublicaddressrequest(&p_); }, NATPMP_RESPTYPE_PUBLICADDRESS, deadline);
  }
  answer map(std::uint16_t port, std::uint16_t external, std::chrono::seconds lifetime,
             steady_clock::time_point deadline) {
    return ask(
        [&] {
          return sendnewportmappingrequest(&p_, NATPMP_PROTOCOL_UDP, port, external,
                                           static_cast<std::uint32_t>(lifetime.count()));
        },
        NATPMP_RESPTYPE_UDPPORTMAPPING, deadline);
  }

 private:
  template <class Send>
  answer ask(Send send, int type, steady_clock::time_point deadline) {
    answer a;
    if (!ready_ || send() < 0) return a;
    for (;;) {
      a.response = {};
      const int r = readnatpmpresponseorretry(&p_, &a.response);
      if (r == 0) {
        if (a.response.type == type) {
          a.what = answer::kind::answered;
          return a;
        }
        // A late answer to an earlier request ended the one pending: ask again, while there is time.
        if (steady_clock::now() >= deadline || send() < 0) return a;
        continue;
      }
      const bool gateway_said_no = a.response.resultcode != 0 &&
                                   (r == NATPMP_ERR_UNSUPPORTEDVERSION || r == NATPMP_ERR_NOTAUTHORIZED ||
                                    r == NATPMP_ERR_NETWORKFAILURE || r == NATPMP_ERR_OUTOFRESOURCES ||
                                    r == NATPMP_ERR_UNSUPPORTEDOPCODE || r == NATPMP_ERR_UNDEFINEDERROR);
      if (gateway_said_no) {
        a.what = answer::kind::refused;
        a.result = a.response.resultcode;
        return a;
      }
      // Another sender, or a datagram that is no answer: not the gateway's word.
      const bool stray = r == NATPMP_ERR_WRONGPACKETSOURCE || r == NATPMP_ERR_UNSUPPORTEDVERSION ||
                         r == NATPMP_ERR_UNSUPPORTEDOPCODE;
      if (r != NATPMP_TRYAGAIN && !stray) return a;  // refused connection, nine tries unanswered
      if (steady_clock::now() >= deadline) return a;
      timeval resend{};
      int wait = milliseconds_until(deadline);
      if (getnatpmprequesttimeout(&p_, &resend) == 0) {
        const std::int64_t ms =
            std::max<std::int64_t>(0, resend.tv_sec * 1000 + (resend.tv_usec + 999) / 1000);
        wait = static_cast<int>(std::min<std::int64_t>(wait, ms));
      }
      pollfd p{p_.s, POLLIN, 0};
      ::poll(&p, 1, wait);
    }
  }

  natpmp_t p_{};
  bool ready_;
};

std::optional<std::uint32_t> routing_table_gateway(const std::string& path) {
  std::ifstream file(path);
  const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return default_gateway(table);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

struct port_mapper::upnp_link {
  url_host control;
  std::string control_path;
  std::string service;  // WANIPConnection or WANPPPConnection, as the description names it
  std::string lan;      // this computer's address as the router sees it

  struct answer {
    int code = UPNPCOMMAND_HTTP_ERROR;  // 0, the router's UPnP error code, or miniupnpc's for no answer
    std::vector<std::string> values;    // those asked for, empty when absent
  };

  // One SOAP action, its reply read by miniupnpc's parser.
  answer act(std::string_view action,
             std::initializer_list<std::pair<std::string_view, std::string>> arguments,
             std::initializer_list<const char*> wanted, steady_clock::time_point deadline) const {
    std::string body =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        std::string(action) + " xmlns:u=\"" + service + "\">";
    for (const auto& [name, value] : arguments)
      body += "<" + std::string(name) + ">" + value + "</" + std::string(name) + ">";
    body += "</u:" + std::string(action) + "></s:Body></s:Envelope>\r\n";
    const std::string request = "POST " + control_path + " HTTP/1.1\r\nHost: " + host_header(control) +
                                "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + service +
                                "#" + std::string(action) +
                                "\"\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body;
    answer a;
    const std::optional<http_reply> reply = exchange(control, request, deadline);
    if (!reply) return a;
    NameValueParserData parsed{};
    ParseNameValue(reply->body.data(), static_cast<int>(reply->body.size()), &parsed);
    if (const char* error = GetValueFromNameValueList(&parsed, "errorCode")) {
      const std::optional<std::uint32_t> code = decimal(error, 4);
      a.code = code && *code != 0 ? static_cast<int>(*code) : UPNPCOMMAND_INVALID_RESPONSE;
    } else if (reply->status == 200) {
      a.code = UPNPCOMMAND_SUCCESS;
      for (const char* name : wanted) {
        const char* value = GetValueFromNameValueList(&parsed, name);
        a.values.emplace_back(value != nullptr ? value : "");
      }
    }
    ClearNameValueList(&parsed);
    return a;
  }

  int add(std::uint16_t port, std::chrono::seconds lease, steady_clock::time_point deadline) const {
    const std::string p = std::to_string(port);
    return act("AddPortMapping",
               {{"NewRemoteHost", ""},
                {"NewExternalPort", p},
                {"NewProtocol", "UDP"},
                {"NewInternalPort", p},
                {"NewInternalClient", lan},
                {"NewEnabled", "1"},
                {"NewPortMappingDescription", std::string(mapping_description)},
                {"NewLeaseDuration", std::to_string(lease.count())}},
               {}, deadline)
        .code;
  }
  int remove(std::uint16_t port, steady_clock::time_point deadline) const {
    return act("DeletePortMapping",
               {{"NewRemoteHost", ""}, {"NewExternalPort", std::to_string(port)}, {"NewProtocol", "UDP"}}, {},
               deadline)
        .code;
  }
};

namespace {

// The router's description, read by miniupnpc: its WAN connection service and where to control it, which
// must be the router's own address.
std::unique_ptr<port_mapper::upnp_link> describe(const std::string& location, std::uint32_t router,
                                                 steady_clock::time_point deadline,
                                                 const std::function<void(std::string_view)>& say) {
  const std::string from = address_text(router);
  const url_host host = *http_url(location);
  const std::string request = "GET " + std::string(url_path(location)) +
                              " HTTP/1.1\r\nHost: " + host_header(host) + "\r\nConnection: close\r\n\r\n";
  std::uint32_t lan = 0;
  const std::optional<http_reply> reply = exchange(host, request, deadline, &lan);
  if (!reply || reply->status != 200) {
    say("Router UPnP: opis z " + from + " nieosiagalny");
    return nullptr;
  }
  IGDdatas data{};
  parserootdesc(reply->body.data(), static_cast<int>(reply->body.size()), &data);
  // The service's name goes into a request header: nothing but a known name and a version of digits.
  const std::string_view service(data.first.servicetype);
  const bool connection = service.starts_with("urn:schemas-upnp-org:service:WANIPConnection:") ||
                          service.starts_with("urn:schemas-upnp-org:service:WANPPPConnection:");
  if (!connection || !decimal(service.substr(service.rfind(':') + 1), 3)) {
    say("Router UPnP: " + from + " nie jest routerem (brak WANIPConnection i WANPPPConnection)");
    return nullptr;
  }
  UPNPUrls urls{};
  GetUPNPUrls(&urls, &data, location.c_str(), 0);
  const std::string control = urls.controlURL != nullptr ? urls.controlURL : "";
  FreeUPNPUrls(&urls);
  const std::optional<url_host> control_host = http_url(control);
  if (!control_host || control_host->address != router) {
    say("Router UPnP: " + from + " podaje sterowanie pod innym adresem, pominiety");
    return nullptr;
  }
  auto link = std::make_unique<port_mapper::upnp_link>();
  link->control = *control_host;
  link->control_path = url_path(control);
  link->service = service;
  link->lan = address_text(lan);
  return link;
}

}  // namespace

port_mapper::port_mapper(router_settings settings, common::clock& clock)
    : settings_(std::move(settings)), clock_(clock) {}

port_mapper::~port_mapper() {
  try {
    close();
  } catch (...) {
    // Only the log hook can throw; the mapping is removed all the same or its lease runs out.
  }
}

void port_mapper::say(std::string_view line) const {
  if (settings_.log) settings_.log(line);
}

void port_mapper::granted(common::steady_time at, std::chrono::seconds lease) {
  renewal_ = lease == 0s ? common::steady_time::max()
                         : at + std::max<std::chrono::seconds>(lease / 2, shortest_renewal);
}

router_outcome port_mapper::open(std::uint16_t port) {
  close();
  const auto start = steady_clock::now();
  const router_outcome upnp = try_upnp(port, start);
  if (upnp.mapped()) {
    outcome_ = upnp;
  } else {
    const router_outcome natpmp = try_natpmp(port);
    // A refusal says more than silence: a UPnP router that refused is told unless NAT-PMP mapped.
    outcome_ = natpmp.mapped() || upnp.what != router_outcome::kind::refused ? natpmp : upnp;
  }
  open_ = outcome_.mapped();
  if (open_) granted(clock_.now(), outcome_.lease);
  return outcome_;
}

router_outcome port_mapper::try_upnp(std::uint16_t port, common::steady_time start) {
  router_outcome out;
  out.protocol = router_protocol::upnp;
  out.port = port;
  const auto late = [&] { return steady_clock::now() >= start + settings_.upnp_limit; };
  say("Router UPnP: szukanie routera pod " + address_text(settings_.search.address) + ":" +
      std::to_string(settings_.search.port));
  const std::vector<candidate> found =
      search(settings_, start + settings_.search_wait, [this](std::string_view line) { say(line); });
  if (found.empty()) {
    say("Router UPnP: zaden router nie odpowiedzial");
    return out;
  }
  // Each request ends by its own wait, and by the time UPnP as a whole may take.
  const auto by = [&] {
    return std::min(steady_clock::now() + settings_.upnp_wait, start + settings_.upnp_limit);
  };
  const auto say_line = [this](std::string_view line) { say(line); };
  for (const candidate& c : found) {
    if (late()) break;
    const std::string router = address_text(c.router);
    say("Router UPnP: odpowiedzial " + router + ", opis " + c.location);
    std::unique_ptr<upnp_link> link = describe(c.location, c.router, by(), say_line);
    if (!link) continue;

    if (late()) break;
    const upnp_link::answer state = link->act("GetStatusInfo", {}, {"NewConnectionStatus"}, by());
    if (state.code != UPNPCOMMAND_SUCCESS) {
      say("Router UPnP: " + router + " nie podal stanu polaczenia (blad " + std::to_string(state.code) + ")");
    } else if (state.values[0] != "Connected" && state.values[0] != "Up") {
      say("Router UPnP: " + router + " nie jest polaczony z internetem (stan " + plain(state.values[0]) +
          ")");
    }

    if (late()) break;
    const upnp_link::answer told = link->act("GetExternalIPAddress", {}, {"NewExternalIPAddress"}, by());
    std::string external;  // as checked, never as told
    if (told.code == UPNPCOMMAND_SUCCESS) {
      const std::uint32_t address = dotted(told.values[0]).value_or(0);
      if (address != 0) external = address_text(address);
    }
    say(external.empty() ? "Router UPnP: router nie podal adresu zewnetrznego"
                         : "Router UPnP: adres zewnetrzny " + external);

    if (late()) break;
    std::chrono::seconds lease = settings_.lease;
    say("Router UPnP: przekierowanie portu " + port_text(port) + " na " + link->lan + " na " +
        std::to_string(lease.count()) + " s");
    int r = link->add(port, lease, by());
    if (r == 725 && !late()) {
      say("Router UPnP: router przyjmuje tylko stale przekierowania: prosba bez terminu, usuniete na koniec");
      lease = 0s;
      r = link->add(port, lease, by());
    }
    if (r == UPNPCOMMAND_SUCCESS) {
      say("Router UPnP: przekierowano port " + port_text(port) + " na " + link->lan);
      out.what = router_outcome::kind::mapped;
      out.external_port = port;
      out.external_address = external;
      out.lease = lease;
      upnp_ = std::move(link);
      return out;
    }
    say("Router UPnP: odmowa przekierowania, blad " + std::to_string(r) + " (" + upnp_error_words(r) + ")");
    if (r > 0) {
      out.what = router_outcome::kind::refused;
      out.error = r;
    }
    return out;
  }
  if (late()) say("Router UPnP: czas na UPnP minal");
  return out;
}

router_outcome port_mapper::try_natpmp(std::uint16_t port) {
  router_outcome out;
  out.protocol = router_protocol::natpmp;
  out.port = port;
  const std::optional<std::uint32_t> gateway = settings_.gateway != 0
                                                   ? std::optional<std::uint32_t>(settings_.gateway)
                                                   : routing_table_gateway(settings_.route_table);
  if (!gateway) {
    say("Router NAT-PMP: brak bramy domyslnej");
    return out;
  }
  gateway_ = *gateway;
  const auto deadline = steady_clock::now() + settings_.natpmp_wait;
  natpmp_client client(gateway_);
  say("Router NAT-PMP: pytanie bramy " + address_text(gateway_) + " o adres zewnetrzny");
  const auto refused = [&](const natpmp_client::answer& a) {
    say("Router NAT-PMP: odmowa, kod " + std::to_string(a.result) + " (" + natpmp_result_words(a.result) +
        ")");
    out.what = router_outcome::kind::refused;
    out.error = a.result;
    return out;
  };
  const natpmp_client::answer address = client.public_address(deadline);
  if (address.what == natpmp_client::answer::kind::refused) return refused(address);
  if (address.what == natpmp_client::answer::kind::silent) {
    say("Router NAT-PMP: brama nie odpowiada");
    return out;
  }
  const std::uint32_t external = ntohl(address.response.pnu.publicaddress.addr.s_addr);
  if (external != 0) say("Router NAT-PMP: adres zewnetrzny " + address_text(external));

  say("Router NAT-PMP: przekierowanie portu " + port_text(port) + " na " +
      std::to_string(settings_.lease.count()) + " s");
  const natpmp_client::answer mapping = client.map(port, port, settings_.lease, deadline);
  if (mapping.what == natpmp_client::answer::kind::refused) return refused(mapping);
  const auto& given = mapping.response.pnu.newportmapping;
  if (mapping.what == natpmp_client::answer::kind::silent || given.privateport != port ||
      given.mappedpublicport == 0 || given.lifetime == 0) {
    say("Router NAT-PMP: brak poprawnej odpowiedzi na prosbe o przekierowanie");
    return out;
  }
  out.what = router_outcome::kind::mapped;
  out.external_port = given.mappedpublicport;
  out.external_address = external != 0 ? address_text(external) : std::string();
  out.lease = std::min<std::chrono::seconds>(settings_.lease, std::chrono::seconds(given.lifetime));
  say("Router NAT-PMP: przekierowano port " + port_text(port) + " (zewnetrzny " +
      std::to_string(out.external_port) + ") na " + std::to_string(given.lifetime) + " s");
  return out;
}

bool port_mapper::renew() {
  if (!open_) return false;
  const common::steady_time now = clock_.now();
  bool renewed = false;
  if (outcome_.protocol == router_protocol::upnp) {
    say("Router UPnP: odnowienie przekierowania portu " + port_text(outcome_.port));
    const int r = upnp_->add(outcome_.port, outcome_.lease, steady_clock::now() + settings_.upnp_wait);
    renewed = r == UPNPCOMMAND_SUCCESS;
    if (!renewed)
      say("Router UPnP: odnowienie nieudane, blad " + std::to_string(r) + " (" + upnp_error_words(r) + ")");
  } else {
    say("Router NAT-PMP: odnowienie przekierowania portu " + port_text(outcome_.port));
    natpmp_client client(gateway_);
    const natpmp_client::answer a = client.map(outcome_.port, outcome_.external_port, settings_.lease,
                                               steady_clock::now() + settings_.natpmp_wait);
    const auto& given = a.response.pnu.newportmapping;
    renewed = a.what == natpmp_client::answer::kind::answered && given.privateport == outcome_.port &&
              given.mappedpublicport != 0 && given.lifetime != 0;
    if (renewed) {
      if (given.mappedpublicport != outcome_.external_port)
        say("Router NAT-PMP: nowy port zewnetrzny " + std::to_string(given.mappedpublicport));
      outcome_.external_port = given.mappedpublicport;
      outcome_.lease = std::min<std::chrono::seconds>(settings_.lease, std::chrono::seconds(given.lifetime));
    } else {
      say("Router NAT-PMP: odnowienie nieudane");
    }
  }
  if (renewed) {
    granted(now, outcome_.lease);
  } else {
    // Tried again well before the lease runs out, and after it too: a router that restarted forgot it.
    renewal_ = now + std::max<std::chrono::seconds>(outcome_.lease / 8, shortest_renewal);
  }
  return renewed;
}

void port_mapper::close() {
  if (!open_) return;
  open_ = false;
  renewal_ = common::steady_time::max();
  if (outcome_.protocol == router_protocol::upnp) {
    const std::unique_ptr<upnp_link> link = std::move(upnp_);
    say("Router UPnP: usuniecie przekierowania portu " + port_text(outcome_.port));
    const int r = link->remove(outcome_.port, steady_clock::now() + settings_.upnp_wait);
    if (r != UPNPCOMMAND_SUCCESS)
      say("Router UPnP: usuniecie nieudane, blad " + std::to_string(r) + " (" + upnp_error_words(r) + ")");
  } else {
    say("Router NAT-PMP: usuniecie przekierowania portu " + port_text(outcome_.port));
    natpmp_client client(gateway_);
    // A removal names no external port; a lost answer only leaves the lease to run out.
    const natpmp_client::answer a =
        client.map(outcome_.port, 0, 0s, steady_clock::now() + settings_.close_wait);
    if (a.what != natpmp_client::answer::kind::answered) say("Router NAT-PMP: usuniecie niepotwierdzone");
  }
}

// ---------------------------------------------------------------------------------------------------------

std::string router_line(const router_outcome& o) {
  const std::string by_hand = "przekieruj recznie port " + port_text(o.port);
  switch (o.what) {
    case router_outcome::kind::mapped: {
      const std::string opened = "router otworzyl port " + port_text(o.external_port);
      const std::optional<std::uint32_t> address = dotted(o.external_address);
      if (!address) return opened;
      if (unreachable_from_internet(*address))
        return opened + ", ale sam jest za innym routerem (" + o.external_address + ")";
      return "z internetu: " + o.external_address + ", port " + port_text(o.external_port);
    }
    case router_outcome::kind::refused:
      if (o.protocol == router_protocol::upnp && o.error == 718)
        return "port " + port_text(o.port) + " na routerze zajal inny komputer: wybierz inny (--port)";
      return std::string("router odmowil (") + (o.protocol == router_protocol::upnp ? "UPnP" : "NAT-PMP") +
             ", blad " + std::to_string(o.error) + "): " + by_hand;
    case router_outcome::kind::no_router:
      break;
  }
  return "router nie odpowiada: " + by_hand;
}

std::optional<std::string> ssdp_location(std::string_view answer, std::uint32_t from) {
  std::size_t end = answer.find('\n');
  const std::string_view status = trimmed(answer.substr(0, end));
  // "HTTP/1.1 200 OK"; the reason phrase is the router's own.
  if (!status.starts_with("HTTP/1.") || status.size() < 12 || status.substr(8, 4) != " 200" ||
      (status.size() > 12 && status[12] != ' '))
    return std::nullopt;
  std::optional<std::string_view> location;
  while (end != std::string_view::npos) {
    answer.remove_prefix(end + 1);
    end = answer.find('\n');
    const std::string_view line = answer.substr(0, end);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !same_letters(trimmed(line.substr(0, colon)), "location"))
      continue;
    if (location) return std::nullopt;  // two places: neither is believed
    location = trimmed(line.substr(colon + 1));
  }
  if (!location) return std::nullopt;
  const std::optional<url_host> host = http_url(*location);
  if (!host || host->address != from) return std::nullopt;
  return std::string(*location);
}

std::optional<std::uint32_t> default_gateway(std::string_view table) {
  std::optional<std::uint32_t> best;
  std::uint32_t best_metric = 0;
  std::size_t end = table.find('\n');  // the first line names the columns
  while (end != std::string_view::npos) {
    table.remove_prefix(end + 1);
    end = table.find('\n');
    std::string_view line = table.substr(0, end);
    std::vector<std::string_view> fields;
    while (!line.empty() && fields.size() < 8) {
      const std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string_view::npos) break;
      line.remove_prefix(start);
      const std::size_t stop = std::min(line.find_first_of(" \t"), line.size());
      fields.push_back(line.substr(0, stop));
      line.remove_prefix(stop);
    }
    if (fields.size() < 8) continue;
    const auto hex = [](std::string_view s) -> std::optional<std::uint32_t> {
      if (s.empty() || s.size() > 8) return std::nullopt;
      std::uint32_t n = 0;
      for (char c : s) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        n = n << 4 | static_cast<std::uint32_t>(digit);
      }
      return n;
    };
    const auto destination = hex(fields[1]), gateway = hex(fields[2]), flags = hex(fields[3]),
               mask = hex(fields[7]);
    const std::optional<std::uint32_t> metric = decimal(fields[6], 10);
    constexpr std::uint32_t up = 0x1, via_gateway = 0x2;  // RTF_UP, RTF_GATEWAY
    if (!destination || !gateway || !flags || !mask || !metric || *destination != 0 || *mask != 0 ||
        *gateway == 0 || (*flags & (up | via_gateway)) != (up | via_gateway))
      continue;
    // The kernel prints the address's bytes as a number of this machine's byte order.
    if (!best || *metric < best_metric) {
      best = ntohl(*gateway);
      best_metric = *metric;
    }
  }
  return best;
}

bool unreachable_from_internet(std::uint32_t a) {
  const auto in = [a](std::uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
  return in(0x00000000u, 8) || in(0x0A000000u, 8) || in(0x64400000u, 10) || in(0x7F000000u, 8) ||
         in(0xA9FE0000u, 16) || in(0xAC100000u, 12) || in(0xC0A80000u, 16);
}

}  // namespace net
