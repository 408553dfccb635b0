#include "net/discovery.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <stdexcept>

namespace net {

namespace {

// Beside the join exchange's types (net/codec.cpp), which never share a first byte with these.
enum class type : std::uint8_t { probe = 6, answer = 7 };

// Type, magic word, version, nonce: alike in every version.
constexpr std::size_t head_size = 1 + magic.size() + 2 + std::tuple_size_v<nonce_bytes>;

bool printable(std::uint8_t c) {
  return c >= 0x20 && c <= 0x7E;
}

using reader = byte_reader;

void put16(bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

bytes head(type t, std::uint16_t version, const nonce_bytes& nonce) {
  bytes out{static_cast<std::uint8_t>(t)};
  out.insert(out.end(), magic.begin(), magic.end());
  put16(out, version);
  out.insert(out.end(), nonce.begin(), nonce.end());
  return out;
}

struct lan_encoder {
  bytes operator()(const probe& m) const {
    bytes out = head(type::probe, m.version, m.nonce);
    out.resize(probe_size, 0);
    return out;
  }
  bytes operator()(const answer& m) const {
    bytes out = head(type::answer, m.version, m.nonce);
    put16(out, m.port);
    out.push_back(m.busy ? 1 : 0);
    const std::size_t length = std::min<std::size_t>(m.name_length, max_host_name);
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), m.name.begin(), m.name.begin() + static_cast<std::ptrdiff_t>(length));
    return out;
  }
};

decoded<lan_datagram> decode_probe(reader& r, std::uint16_t version, const nonce_bytes& nonce,
                                   std::size_t size) {
  if (version != protocol_version) {
    if (size < probe_size) r.fail(fault::truncated);  // too short in any version
    r.skip_rest();
  } else {
    for (std::size_t i = head_size; i < probe_size; ++i)
      if (r.u8() != 0) r.fail(fault::malformed);
  }
  return r.finish<lan_datagram>(probe{version, nonce});
}

decoded<lan_datagram> decode_answer(reader& r, std::uint16_t version, const nonce_bytes& nonce) {
  answer m;
  m.version = version;
  m.nonce = nonce;
  if (version != protocol_version) {
    r.skip_rest();
    return r.finish<lan_datagram>(m);
  }
  m.port = r.u16();
  if (m.port == 0) r.fail(fault::malformed);
  const std::uint8_t busy = r.u8();
  if (busy > 1) r.fail(fault::malformed);
  m.busy = busy == 1;
  m.name_length = r.u8();
  if (m.name_length > max_host_name) r.fail(fault::malformed);
  for (std::size_t i = 0; i < m.name_length && i < max_host_name; ++i) {
    const std::uint8_t c = r.u8();
    // A guest shows the name as it came: control bytes and other encodings have no business in it.
    if (!printable(c)) r.fail(fault::malformed);
    m.name[i] = static_cast<char>(c);
  }
  return r.finish<lan_datagram>(m);
}

}  // namespace

bytes encode_lan(const lan_datagram& d) {
  return std::visit(lan_encoder{}, d);
}

decoded<lan_datagram> decode_lan(std::span<const std::uint8_t> in) {
  if (in.size() > max_lan_datagram) return {fault::oversized};
  reader r(in);
  const std::uint8_t t = r.u8();
  if (t != static_cast<std::uint8_t>(type::probe) && t != static_cast<std::uint8_t>(type::answer))
    r.fail(fault::malformed);
  r.magic_word();
  const std::uint16_t version = r.u16();
  nonce_bytes nonce{};
  r.raw(nonce);
  if (t == static_cast<std::uint8_t>(type::probe)) return decode_probe(r, version, nonce, in.size());
  return decode_answer(r, version, nonce);
}

bool looks_like_lan(std::span<const std::uint8_t> in) {
  if (in.size() < 1 + magic.size()) return false;
  if (in[0] != static_cast<std::uint8_t>(type::probe) && in[0] != static_cast<std::uint8_t>(type::answer))
    return false;
  return std::equal(magic.begin(), magic.end(), in.begin() + 1);
}

std::optional<answer> answer_to(const nonce_bytes& asked, std::span<const std::uint8_t> in) {
  const auto got = decode_lan(in);
  if (!got.ok()) return std::nullopt;
  const answer* a = std::get_if<answer>(&got.value());
  if (a == nullptr || a->nonce != asked) return std::nullopt;
  return *a;
}

std::string lan_name(std::string_view name) {
  std::string out(name.substr(0, max_host_name));
  for (char& c : out)
    if (!printable(static_cast<std::uint8_t>(c))) c = '?';
  return out;
}

std::string host_name() {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return {};
  return lan_name(name.data());
}

// ---------------------------------------------------------------------------------------------------------

lan_responder::lan_responder(std::string_view name, std::uint16_t port) {
  const std::string clean = lan_name(name);
  answer_.port = port;
  answer_.name_length = static_cast<std::uint8_t>(clean.size());
  std::copy(clean.begin(), clean.end(), answer_.name.begin());
}

lan_responder::verdict lan_responder::take(std::span<const std::uint8_t> datagram, common::steady_time now) {
  verdict v;
  if (!looks_like_lan(datagram)) return v;
  v.ours = true;
  const auto got = decode_lan(datagram);
  if (!got.ok()) return v;
  const probe* asked = std::get_if<probe>(&got.value());
  if (asked == nullptr) return v;
  if (!bucket_.take(now)) {
    ++over_rate_;
    return v;
  }
  answer a = answer_;
  a.nonce = asked->nonce;
  v.reply = encode_lan(a);
  ++answered_;
  return v;
}

// ---------------------------------------------------------------------------------------------------------

lan_search::lan_search(std::uint16_t port, entropy& random)
    : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), port_(port) {
  if (socket_ < 0) throw std::runtime_error("no UDP socket to look for hosts");
  const int yes = 1;
  sockaddr_in here{};
  here.sin_family = AF_INET;
  here.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof here;
  if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes) != 0 ||
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&here), sizeof here) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&here), &size) != 0) {
    ::close(socket_);
    throw std::runtime_error("no UDP socket to look for hosts");
  }
  local_port_ = ntohs(here.sin_port);
  random.fill(nonce_);
}

lan_search::~lan_search() {
  ::close(socket_);
}

void lan_search::probe(std::span<const std::uint32_t> targets) {
  const bytes asking = encode_lan(net::probe{protocol_version, nonce_});
  for (const std::uint32_t target : targets) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(target);
    to.sin_port = htons(port_);
    // A network that cannot be reached now simply has no host to answer.
    (void)::sendto(socket_, asking.data(), asking.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
  }
}

void lan_search::collect(common::steady_time deadline, std::size_t most) {
  // One byte more than any datagram of ours, so that a longer one is seen to be longer.
  std::array<std::uint8_t, max_lan_datagram + 1> buffer{};
  while (hosts_.size() < most) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    pollfd p{socket_, POLLIN, 0};
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<decltype(wait)>(wait, INT_MAX)));
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t got = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &size);
    if (got < 0) continue;
    take(std::span(buffer.data(), static_cast<std::size_t>(got)),
         endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
  }
}

void lan_search::take(std::span<const std::uint8_t> datagram, const endpoint& from) {
  const std::optional<answer> a = from.port == port_ ? answer_to(nonce_, datagram) : std::nullopt;
  const bool known =
      std::any_of(hosts_.begin(), hosts_.end(), [&](const lan_host& h) { return h.address == from.address; });
  if (!a || known) {
    ++ignored_;
    return;
  }
  hosts_.push_back({from.address, a->port, std::string(a->name_view()), a->version, a->busy});
}

std::vector<lan_host> find_hosts(std::uint16_t port, std::span<const std::uint32_t> targets,
                                 std::chrono::milliseconds limit, std::size_t most) {
  system_entropy random;
  lan_search search(port, random);
  search.probe(targets);
  search.collect(std::chrono::steady_clock::now() + limit, most);
  return search.hosts();
}

std::optional<std::uint32_t> directed_broadcast(std::uint32_t address, std::uint32_t mask) {
  if (~mask <= 1) return std::nullopt;
  return address | ~mask;
}

std::vector<std::uint32_t> broadcast_addresses() {
  std::vector<std::uint32_t> found;
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return found;
  for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0 ||
        (a->ifa_flags & IFF_BROADCAST) == 0)
      continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask);
    const std::optional<std::uint32_t> b =
        directed_broadcast(ntohl(in->sin_addr.s_addr), ntohl(mask->sin_addr.s_addr));
    if (b && std::find(found.begin(), found.end(), *b) == found.end()) found.push_back(*b);
  }
  ::freeifaddrs(all);
  return found;
}

}  // namespace net
