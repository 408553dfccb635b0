// Finding a host on the local network: the probe and the answer as bytes, a host that never answers with more
// than it was asked and no faster than its rate, and a guest that takes only answers to its own probe. The
// datagrams go to loopback addresses only.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "net/discovery.hpp"
#include "net/transport.hpp"
#include "support/net_peer.hpp"

namespace {

using namespace net;
using namespace std::chrono_literals;
using testing_support::free_udp_port;
using testing_support::udp_socket;

constexpr std::uint32_t loopback = 0x7F000001;

nonce_bytes counting_nonce(std::uint8_t from) {
  nonce_bytes n{};
  for (auto& b : n) b = from++;
  return n;
}

answer sample_answer(std::string_view name, std::uint16_t port, bool busy) {
  answer a{protocol_version, counting_nonce(1), port, busy};
  a.name_length = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), a.name.begin());
  return a;
}

bytes patched(bytes b, std::size_t at, std::initializer_list<std::uint8_t> values) {
  std::copy(values.begin(), values.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  return b;
}
bytes resized(bytes b, std::size_t size, std::uint8_t fill = 0) {
  b.resize(size, fill);
  return b;
}

// Fills every draw with one byte, so that a round's nonce is known.
struct fixed_entropy final : entropy {
  std::uint8_t value = 0x5A;
  void fill(std::span<std::uint8_t> out) override { std::fill(out.begin(), out.end(), value); }
};

TEST(NetDiscovery, ProbesAndAnswersComeBackAsTheyWereSent) {
  const std::vector<std::pair<lan_datagram, std::size_t>> rows{
      {probe{protocol_version, counting_nonce(0)}, probe_size},
      {sample_answer("", 1, false), 27},
      {sample_answer(" ~", 65535, true), 29},  // the ends of printable ASCII
      {sample_answer(std::string(max_host_name, 'k'), 47630, false), longest_answer},
  };
  for (const auto& [sent, size] : rows) {
    const bytes wire = encode_lan(sent);
    const auto got = decode_lan(wire);
    ASSERT_TRUE(got.ok()) << "datagram " << sent.index() << " of " << size << " bytes";
    EXPECT_EQ(got.value(), sent);
    EXPECT_EQ(wire.size(), size);
    EXPECT_TRUE(looks_like_lan(wire));
  }
  // Alike in every version as far as the nonce; a probe's padding is zeros.
  const bytes asking = encode_lan(probe{protocol_version, counting_nonce(100)});
  EXPECT_EQ(bytes(asking.begin(), asking.begin() + 8),
            (bytes{6, 'T', 'L', 'V', 'R', protocol_version, 0, 100}));
  EXPECT_EQ(bytes(asking.begin() + 23, asking.end()), bytes(probe_size - 23, 0));
  EXPECT_EQ(encode_lan(sample_answer("a", 2, true))[0], 7);
}

struct bad_bytes {
  const char* what;
  bytes input;
  fault expected;
};

TEST(NetDiscovery, BytesThatDoNotFitAreRefusedForTheirReason) {
  const bytes asking = encode_lan(probe{protocol_version, counting_nonce(0)});
  const bytes told = encode_lan(sample_answer("abc", 47630, true));  // port at 23, busy at 25, name at 26
  const std::vector<bad_bytes> rows{
      {"nothing", {}, fault::truncated},
      {"a probe cut short", resized(asking, probe_size - 1), fault::truncated},
      {"a probe with a byte more", resized(asking, probe_size + 1), fault::malformed},
      {"a probe padded with something", patched(asking, probe_size - 1, {1}), fault::malformed},
      {"a probe without its magic", patched(asking, 4, {'r'}), fault::malformed},
      {"another type", patched(asking, 0, {8}), fault::malformed},
      {"a join hello's type", patched(asking, 0, {1}), fault::malformed},
      {"an answer cut short", resized(told, told.size() - 1), fault::truncated},
      {"an answer with a byte more", resized(told, told.size() + 1, 'x'), fault::malformed},
      {"an answer from port 0", patched(told, 23, {0, 0}), fault::malformed},
      {"an answer neither busy nor free", patched(told, 25, {2}), fault::malformed},
      {"a name longer than a name may be", resized(patched(told, 26, {33}), 27 + 33, 'x'), fault::malformed},
      {"a control byte in the name", patched(told, 27, {0x1F}), fault::malformed},
      {"a delete in the name", patched(told, 27, {0x7F}), fault::malformed},
      {"a byte beyond ASCII in the name", patched(told, 29, {0xC5}), fault::malformed},
      {"more than any version sends", resized(asking, max_lan_datagram + 1), fault::oversized},
      {"another version's probe cut short", resized(patched(asking, 5, {9}), probe_size - 1),
       fault::truncated},
      {"another version's answer without its nonce", resized(patched(told, 5, {9}), 22), fault::truncated},
  };
  for (const auto& [what, input, expected] : rows) {
    const auto got = decode_lan(input);
    ASSERT_FALSE(got.ok()) << what;
    EXPECT_EQ(got.why(), expected) << what;
  }

  // Another version is told apart whatever follows its nonce, up to the longest datagram of any version.
  const auto other_probe = decode_lan(resized(patched(asking, 5, {9}), max_lan_datagram, 0xEE));
  ASSERT_TRUE(other_probe.ok());
  EXPECT_EQ(std::get<probe>(other_probe.value()), (probe{9, counting_nonce(0)}));
  const auto other_answer = decode_lan(resized(patched(told, 5, {0, 1}), 23));
  ASSERT_TRUE(other_answer.ok());
  EXPECT_EQ(std::get<answer>(other_answer.value()), (answer{256, counting_nonce(1)}));
}

TEST(NetDiscovery, AGuestTakesOnlyTheAnswerToItsOwnProbe) {
  const answer a = sample_answer("salon", 47630, false);
  const nonce_bytes asked = a.nonce;
  nonce_bytes other = asked;
  other[15] ^= 1;
  EXPECT_EQ(answer_to(asked, encode_lan(a)), a);
  EXPECT_FALSE(answer_to(other, encode_lan(a))) << "an answer to another probe";
  EXPECT_FALSE(answer_to(asked, encode_lan(probe{protocol_version, asked}))) << "a probe";
  EXPECT_FALSE(answer_to(asked, resized(encode_lan(a), 40))) << "malformed";

  // What ENet sends, or the join's first datagram, is no business of discovery's.
  EXPECT_FALSE(looks_like_lan(bytes{6, 'T', 'L', 'V'}));
  EXPECT_FALSE(looks_like_lan(bytes{0x0F, 0xFF, 0x80, 0x00, 0x82, 0xFF}));
  EXPECT_FALSE(looks_like_lan(patched(encode_lan(a), 0, {5})));
  EXPECT_FALSE(looks_like_lan(patched(encode_lan(a), 0, {8})));
  EXPECT_TRUE(looks_like_lan(bytes{7, 'T', 'L', 'V', 'R'})) << "cut short, but meant as an answer";
}

TEST(NetDiscovery, AHostsNameIsCutAndCleaned) {
  const std::vector<std::pair<std::string, std::string>> rows{
      {"", ""},
      {"kuchnia-2", "kuchnia-2"},
      {std::string(max_host_name + 1, 'a') + "b", std::string(max_host_name, 'a')},
      {"dom\tpc\x7F", "dom?pc?"},
      {"\xC5\xBC\xC3\xB3\xC5\x82w", "??????w"},
  };
  for (const auto& [name, clean] : rows) {
    EXPECT_EQ(lan_name(name), clean) << name;
    const std::optional<answer> told =
        answer_to({}, lan_responder(name, 1).take(encode_lan(probe{}), {}).reply);
    ASSERT_TRUE(told) << name;
    EXPECT_EQ(told->name_view(), clean);
  }
  EXPECT_LE(host_name().size(), max_host_name);
}

// Whatever it is sent, and whatever it is called, a host never sends back more than it got.
TEST(NetDiscovery, AnAnswerIsNeverLongerThanTheProbeThatAskedForIt) {
  common::steady_time now{};
  for (std::size_t name = 0; name <= max_host_name + 1; name += 11) {
    lan_responder host(std::string(name, 'n'), 65535);
    host.busy(name % 2 == 0);
    for (const std::uint16_t version : {protocol_version, std::uint16_t(protocol_version + 1)}) {
      const bytes asking =
          patched(encode_lan(probe{}), 5, {std::uint8_t(version), std::uint8_t(version >> 8)});
      for (std::size_t size = 0; size <= max_lan_datagram + 1; ++size) {
        const bytes got = resized(asking, size);
        now += 1s;  // never short of tokens
        const lan_responder::verdict v = host.take(got, now);
        EXPECT_LE(v.reply.size(), size) << "version " << version << ", " << size << " bytes";
        EXPECT_EQ(v.ours, size >= 5) << size;
        const bool answerable = size >= probe_size &&
                                (version == protocol_version ? size == probe_size : size <= max_lan_datagram);
        EXPECT_EQ(!v.reply.empty(), answerable) << "version " << version << ", " << size << " bytes";
      }
    }
  }
}

TEST(NetDiscovery, TheRateOfAnswersKeepsItsBurstAndItsPace) {
  common::manual_time clock;
  token_bucket bucket(50ms, 40);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(bucket.take(clock.now())) << i;
  EXPECT_FALSE(bucket.take(clock.now()));
  clock.advance(50ms - 1ns);
  EXPECT_FALSE(bucket.take(clock.now()));
  clock.advance(1ns);
  EXPECT_TRUE(bucket.take(clock.now()));
  EXPECT_FALSE(bucket.take(clock.now()));
  // Idle for an hour: a burst of 40 again, no more.
  clock.advance(1h);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(bucket.take(clock.now())) << i;
  EXPECT_FALSE(bucket.take(clock.now()));
  // Just short of refilling the whole burst.
  clock.advance(40 * 50ms - 1ns);
  for (int i = 0; i < 39; ++i) EXPECT_TRUE(bucket.take(clock.now())) << i;
  EXPECT_FALSE(bucket.take(clock.now()));
  // A clock that goes back refills nothing, and the way forward again counts from the latest reading.
  EXPECT_FALSE(bucket.take(clock.now() - 10s));
  clock.advance(1ns);
  EXPECT_TRUE(bucket.take(clock.now()));
  EXPECT_FALSE(bucket.take(clock.now()));

  lan_responder host("kuchnia", 47630);
  const bytes asking = encode_lan(probe{});
  common::steady_time now = clock.now();
  for (int i = 0; i < lan_responder::answer_burst; ++i) EXPECT_FALSE(host.take(asking, now).reply.empty());
  const lan_responder::verdict refused = host.take(asking, now);
  EXPECT_TRUE(refused.ours) << "a probe over the rate is still kept from ENet";
  EXPECT_TRUE(refused.reply.empty());
  EXPECT_FALSE(host.take(asking, now + lan_responder::answer_interval).reply.empty());
  EXPECT_EQ(host.answered(), 41u);
  EXPECT_EQ(host.over_rate(), 1u);
  EXPECT_TRUE(host.take(encode_lan(sample_answer("x", 1, false)), now + 1h).reply.empty()) << "an answer";
  EXPECT_EQ(host.answered(), 41u);
}

TEST(NetDiscovery, ADirectedBroadcastIsTheNetworksLastAddress) {
  const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::optional<std::uint32_t>>> rows{
      {0xC0A80105, 0xFFFFFF00, 0xC0A801FF},  // 192.168.1.5/24
      {0x0A010203, 0xFF000000, 0x0AFFFFFF},  // 10.1.2.3/8
      {0xAC100504, 0xFFF00000, 0xAC1FFFFF},  // 172.16.5.4/12
      {0xC0A80105, 0xFFFFFFFC, 0xC0A80107},  // a /30: four addresses, the last for broadcast
      {0xC0A80105, 0xFFFFFFFE, std::nullopt}, {0xC0A80105, 0xFFFFFFFF, std::nullopt},
  };
  for (const auto& [address, mask, expected] : rows)
    EXPECT_EQ(directed_broadcast(address, mask), expected)
        << address_text(address) << " " << address_text(mask);
}

// A host waiting on a loopback port, as the game's host thread keeps it, serviced by the test's one thread.
struct waiting_host {
  explicit waiting_host(std::string_view name) : port(free_udp_port()), responder(name, port) {
    wire->answer_probes(&responder);
  }
  // Services the transport until it has taken `datagrams` in all; false when an event came up meanwhile.
  bool takes(std::uint64_t datagrams) {
    for (int i = 0; i < 200 && wire->datagrams_received() < datagrams; ++i)
      if (wire->service(5ms)) return false;
    return wire->datagrams_received() == datagrams;
  }
  std::uint16_t port;
  std::unique_ptr<transport> wire = transport::listen(port);
  lan_responder responder;
};

TEST(NetDiscovery, AGuestFindsAHostOnThisComputerAndENetNeverSeesTheProbe) {
  waiting_host kitchen("kuchnia"), lounge("salon");
  fixed_entropy random;
  {
    lan_search search(kitchen.port, random);
    search.probe(std::array{loopback});
    ASSERT_TRUE(kitchen.takes(1)) << "the probe made an event";
    search.collect(std::chrono::steady_clock::now() + 10s, 1);
    EXPECT_EQ(search.hosts(), (std::vector<lan_host>{{loopback, kitchen.port, "kuchnia", protocol_version}}));
    EXPECT_EQ(search.ignored(), 0u);
    EXPECT_EQ(kitchen.responder.answered(), 1u);
    EXPECT_EQ(kitchen.wire->bytes_sent(), longest_answer - max_host_name + 7);
  }
  // The host on the other port was never asked.
  EXPECT_FALSE(lounge.wire->service(0ms));
  EXPECT_EQ(lounge.wire->datagrams_received(), 0u);
  EXPECT_EQ(lounge.responder.answered(), 0u);

  // Once a guest plays, the host says so.
  kitchen.responder.busy(true);
  random.value = 0xA5;
  lan_search again(kitchen.port, random);
  again.probe(std::array{loopback});
  ASSERT_TRUE(kitchen.takes(2));
  again.collect(std::chrono::steady_clock::now() + 10s, 1);
  ASSERT_EQ(again.hosts().size(), 1u);
  EXPECT_TRUE(again.hosts()[0].busy);

  // A real guest still gets through to ENet.
  const auto guest = transport::connect("127.0.0.1", kitchen.port);
  bool connected = false;
  for (int i = 0; i < 200 && !connected; ++i) {
    guest->service(0ms);
    const auto e = kitchen.wire->service(5ms);
    connected = e && e->what == transport::event::kind::connected;
  }
  EXPECT_TRUE(connected);
  EXPECT_EQ(kitchen.responder.answered(), 2u);
}

TEST(NetDiscovery, AFilteredAddressGetsNoAnswer) {
  waiting_host kitchen("kuchnia");
  int filtered = 0;
  kitchen.wire->filter([&](const endpoint& from) {
    ++filtered;
    return from.address == loopback;
  });
  fixed_entropy random;
  lan_search search(kitchen.port, random);
  search.probe(std::array{loopback});
  ASSERT_TRUE(kitchen.takes(1));
  EXPECT_EQ(filtered, 1);
  EXPECT_EQ(kitchen.responder.answered(), 0u);
  EXPECT_EQ(kitchen.wire->bytes_sent(), 0u);
}

TEST(NetDiscovery, AGuestIgnoresAnswersToOtherProbesAndAnswersTwice) {
  udp_socket kitchen(1), lounge(2, kitchen.port()), attic(3, kitchen.port()), stranger(1);
  fixed_entropy random;
  lan_search search(kitchen.port(), random);
  search.probe(std::array{loopback});

  pollfd p{kitchen.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  std::array<std::uint8_t, 600> got{};
  const ssize_t size = ::recv(kitchen.fd(), got.data(), got.size(), 0);
  ASSERT_EQ(size, static_cast<ssize_t>(probe_size));
  EXPECT_EQ(std::get<probe>(decode_lan(std::span(got.data(), probe_size)).value()).nonce, search.nonce());
  nonce_bytes drawn;
  drawn.fill(random.value);
  EXPECT_EQ(search.nonce(), drawn);

  answer a = sample_answer("kuchnia", kitchen.port(), false);
  a.nonce = search.nonce();
  answer stale = a;
  stale.nonce[0] ^= 0x80;
  const sockaddr_in to = udp_socket::at(1, search.local_port());
  const auto send = [&](udp_socket& from, const bytes& d) { from.send_to(to, d.data(), d.size()); };
  send(stranger, encode_lan(a));  // not from the port asked
  send(kitchen, encode_lan(stale));
  send(kitchen, bytes{});
  send(kitchen, resized(encode_lan(a), 100));
  send(kitchen, encode_lan(a));
  answer again = sample_answer("inny", kitchen.port(), true);
  again.nonce = a.nonce;
  send(kitchen, encode_lan(again));  // the same address once more
  a.name_length = 5;
  send(lounge, encode_lan(a));  // from another address: a second host
  send(attic, encode_lan(a));   // a third, left unread by a search for two
  search.collect(std::chrono::steady_clock::now() + 10s, 2);
  EXPECT_EQ(search.hosts(),
            (std::vector<lan_host>{{loopback, kitchen.port(), "kuchnia", protocol_version},
                                   {loopback + 1, kitchen.port(), "kuchn", protocol_version}}));
  EXPECT_EQ(search.ignored(), 5u);
  search.collect(std::chrono::steady_clock::now() + 10s, 3);
  ASSERT_EQ(search.hosts().size(), 3u);
  EXPECT_EQ(search.hosts()[2].address, loopback + 2);
}

TEST(NetDiscovery, ASearchThatNobodyAnswersEndsAtItsDeadline) {
  fixed_entropy random;
  lan_search search(free_udp_port(), random);
  search.probe(std::array{loopback});
  search.collect(std::chrono::steady_clock::now() + 20ms, 1);
  EXPECT_TRUE(search.hosts().empty());
  search.collect(std::chrono::steady_clock::now(), 1);  // a deadline passed already
  EXPECT_TRUE(search.hosts().empty());
}

TEST(NetDiscovery, FindHostsAsksAndReturnsTheHostsThatAnswered) {
  const std::uint16_t port = free_udp_port();
  std::promise<void> listening;
  std::uint64_t answered = 0;
  std::jthread host([&](std::stop_token stop) {
    std::unique_ptr<transport> wire;
    try {
      wire = transport::listen(port);
    } catch (...) {
      listening.set_exception(std::current_exception());
      return;
    }
    lan_responder responder("kuchnia", port);
    wire->answer_probes(&responder);
    listening.set_value();
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < give_up) wire->service(5ms);
    answered = responder.answered();
  });
  listening.get_future().get();
  const std::vector<lan_host> found = find_hosts(port, std::array{loopback}, 10s, 1);
  host.request_stop();
  host.join();
  EXPECT_EQ(found, (std::vector<lan_host>{{loopback, port, "kuchnia", protocol_version}}));
  EXPECT_EQ(answered, 1u);
}

}  // namespace
