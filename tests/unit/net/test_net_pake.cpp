// The join's key exchange: CPace over ristretto255 gives the published vectors of draft-irtf-cfrg-cpace-21
// (appendix A's string functions, B.3's run, B.3.10 and B.3.11's points), and the game's join on top of it
// confirms only the same code, session id and channel on both sides, and never sends or takes the identity.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <new>
#include <numeric>
#include <optional>
#include <string>

#include "net/pake.hpp"

namespace {

using namespace net;
using cpace::octets;
using cpace::octets_of;
using role = cpace_party::role;
using stage = cpace_party::stage;

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}
template <std::size_t N>
std::array<std::uint8_t, N> array_of(std::string_view hex) {
  const auto bytes = from_hex(hex);
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(bytes.size(), N) << hex;
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
  return out;
}
std::string hex(octets bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) out += {digits[b >> 4], digits[b & 0xF]};
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The draft's vectors (B.3, ristretto255 with SHA-512)

const std::string prs = "Password";
const auto ci = from_hex("0b415f696e69746961746f720b425f726573706f6e646572");
const auto sid = from_hex("7e4b4791d6a8ef019b936c79fb7f2c57");
const auto ada = octets_of("ADa");
const auto adb = octets_of("ADb");
const auto ya = array_of<32>("da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08");
const auto yb = array_of<32>("d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d");
const auto point_a = array_of<32>("d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157");
const auto point_b = array_of<32>("3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258");
const auto transcript_ir = from_hex(
    "20d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b915703414461203ea7e0b19560d7c0b0f5734f63b9"
    "55286dfa8232b5ebe63324e2d9e7433f725803414462");
const auto isk_ir = array_of<64>(
    "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd2b38950a39dfd5d4a79164614c2984f7daa460b5"
    "88c1e80c3fa2068af7900447");

TEST(PakeDraft, StringFunctionsGiveTheDraftsBytes) {
  std::vector<std::uint8_t> counting(128);
  std::iota(counting.begin(), counting.end(), 0);
  const octets first127 = octets(counting).first(127);
  struct row {
    const char* what;
    cpace::wiped_bytes got;
    std::string expected;
  };
  const row rows[] = {
      {"prepend_len(b'')", cpace::prepend_len({}), "00"},
      {"prepend_len(b'1234')", cpace::prepend_len(octets_of("1234")), "0431323334"},
      {"prepend_len(range(127))", cpace::prepend_len(first127), "7f" + hex(first127)},
      {"prepend_len(range(128)): two length bytes", cpace::prepend_len(counting), "8001" + hex(counting)},
      {"lv_cat", cpace::lv_cat({octets_of("1234"), octets_of("5"), {}, octets_of("678")}),
       "043132333401350003363738"},
      {"transcript_ir 1",
       cpace::transcript_ir(octets_of("123"), octets_of("PartyA"), octets_of("234"), octets_of("PartyB")),
       "03313233065061727479410332333406506172747942"},
      {"transcript_ir 2",
       cpace::transcript_ir(octets_of("3456"), octets_of("PartyA"), octets_of("2345"), octets_of("PartyB")),
       "043334353606506172747941043233343506506172747942"},
      {"transcript_oc: B's message is the larger",
       cpace::transcript_oc(octets_of("123"), octets_of("PartyA"), octets_of("234"), octets_of("PartyB")),
       "6f6303323334065061727479420331323306506172747941"},
      {"transcript_oc: A's message is the larger",
       cpace::transcript_oc(octets_of("3456"), octets_of("PartyA"), octets_of("2345"), octets_of("PartyB")),
       "6f63043334353606506172747941043233343506506172747942"},
  };
  for (const auto& [what, got, expected] : rows) EXPECT_EQ(hex(got), expected) << what;
}

TEST(PakeDraft, Ristretto255RunGivesTheDraftsVectors) {
  const auto g = cpace::calculate_generator(octets_of(prs), ci, sid);
  ASSERT_TRUE(g);
  const auto from_a = cpace::scalar_mult_vfy(ya, *g);
  const auto from_b = cpace::scalar_mult_vfy(yb, *g);
  const auto k_of_a = cpace::scalar_mult_vfy(ya, point_b);
  const auto k_of_b = cpace::scalar_mult_vfy(yb, point_a);
  ASSERT_TRUE(from_a && from_b && k_of_a && k_of_b);
  const auto transcript_oc = cpace::transcript_oc(point_a, ada, point_b, adb);
  struct row {
    const char* what;
    std::string got;
    std::string expected;
  };
  const row rows[] = {
      {"generator string", hex(cpace::generator_string(octets_of(cpace::dsi), octets_of(prs), ci, sid, 128)),
       "11435061636552697374726574746f3235350850617373776f726464"
       "00000000000000000000000000000000000000000000000000000000"
       "00000000000000000000000000000000000000000000000000000000"
       "00000000000000000000000000000000000000000000000000000000"
       "00000000000000000000000000000000180b415f696e69746961746f"
       "720b425f726573706f6e646572107e4b4791d6a8ef019b936c79fb7f"
       "2c57"},
      {"generator g", hex(*g), "222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56"},
      {"Ya", hex(*from_a), hex(point_a)},
      {"Yb", hex(*from_b), hex(point_b)},
      {"K = ya * Yb", hex(*k_of_a), "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f"},
      {"K = yb * Ya", hex(*k_of_b), "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f"},
      {"transcript_ir", hex(cpace::transcript_ir(point_a, ada, point_b, adb)), hex(transcript_ir)},
      {"ISK, initiator-responder", hex(cpace::isk_of(sid, *k_of_a, transcript_ir)), hex(isk_ir)},
      {"transcript_oc", hex(transcript_oc),
       "6f6320d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b915703414461203ea7e0b19560d7c0b0f57"
       "3"
       "4f63b955286dfa8232b5ebe63324e2d9e7433f725803414462"},
      {"ISK, ordered concatenation", hex(cpace::isk_of(sid, *k_of_a, transcript_oc)),
       "544199d71f62f8d9a1fee55727e24fe4a45844593c2b6013c4fa3969d0e5debb2244675c0b43397cbb68d342b01fc0f98fc96"
       "1"
       "469a25134de9f0f813c1a57476"},
  };
  for (const auto& [what, got, expected] : rows) EXPECT_EQ(got, expected) << what;
  // The points in the other order are another transcript: another key.
  EXPECT_NE(cpace::isk_of(sid, *k_of_a, cpace::transcript_ir(point_b, adb, point_a, ada)), isk_ir);
}

TEST(PakeDraft, ScalarMultTakesOnlyCanonicalElements) {
  const auto s = array_of<32>("7cd0e075fa7955ba52c02759a6c90dbbfc10e6d40aea8d283e407d88cf538a05");
  const auto x = array_of<32>("2c3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c");
  cpace::point top_bit = x;
  top_bit[31] |= 0x80;
  cpace::point all_ff{};
  all_ff.fill(0xFF);
  struct row {
    const char* what;
    cpace::point input;
    std::optional<std::string> expected;  // none: G.I, the exchange aborts
  };
  const row rows[] = {
      {"valid X (B.3.10)", x, "7c13645fe790a468f62c39beb7388e541d8405d1ade69d1778c5fe3e7f6b600e"},
      {"Y_i1: X's encoding made negative (B.3.11)",
       array_of<32>("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"), std::nullopt},
      {"Y_i2: the identity (B.3.11)", cpace::point{}, std::nullopt},
      {"X with bit 255 set", top_bit, std::nullopt},
      {"32 bytes of 0xFF", all_ff, std::nullopt},
      {"the field's prime, which encodes zero non-canonically",
       array_of<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"), std::nullopt},
      {"the prime plus one, even and above the field",
       array_of<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"), std::nullopt},
  };
  for (const auto& [what, input, expected] : rows) {
    const auto got = cpace::scalar_mult_vfy(s, input);
    EXPECT_EQ(got ? hex(*got) : "G.I", expected.value_or("G.I")) << what;
  }
}

// The game's tags and keys from the draft's ISK: what the parties of the draft's run must give.
template <std::size_t N>
std::array<std::uint8_t, N> expected_from_isk(std::string_view label) {
  const auto wide = cpace::expand(isk_ir, label, sid, transcript_ir);
  std::array<std::uint8_t, N> out{};
  std::copy_n(wide.begin(), N, out.begin());
  return out;
}

TEST(PakeDraft, PartiesOfTheDraftsRunReachItsKey) {
  cpace_party guest(role::guest), host(role::host);
  EXPECT_EQ(guest.start(prs, sid, ci, ya, ada), point_a);
  EXPECT_EQ(host.start(prs, sid, ci, yb, adb), point_b);
  ASSERT_TRUE(guest.finish(point_b, adb));
  ASSERT_TRUE(host.finish(point_a, ada));
  EXPECT_EQ(guest.my_confirmation(), expected_from_isk<32>(cpace::guest_confirms));
  EXPECT_EQ(host.my_confirmation(), expected_from_isk<32>(cpace::host_confirms));
  const join_tag guest_tag = *guest.my_confirmation(), host_tag = *host.my_confirmation();
  const auto guest_keys = guest.check(host_tag);
  const auto host_keys = host.check(guest_tag);
  ASSERT_TRUE(guest_keys && host_keys);
  EXPECT_EQ(guest_keys->send, expected_from_isk<32>(cpace::guest_to_host));
  EXPECT_EQ(guest_keys->receive, expected_from_isk<32>(cpace::host_to_guest));
  EXPECT_EQ(host_keys->send, guest_keys->receive);
  EXPECT_EQ(host_keys->receive, guest_keys->send);
  EXPECT_NE(guest_keys->send, guest_keys->receive);
  EXPECT_EQ(guest.current(), stage::confirmed);
  EXPECT_FALSE(guest.my_confirmation()) << "the tags are forgotten once checked";
}

// ---------------------------------------------------------------------------------------------------------
// The game's join

const std::string code = "12345678";
const join_nonce guest_nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const join_nonce host_nonce{0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
                            0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00};

std::array<std::uint8_t, 32> random_bytes(std::uint8_t seed) {
  std::array<std::uint8_t, 32> r{};
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + 1);
  return r;
}

// What one side believes of the join.
struct view {
  std::string digits = code;
  join_sid sid = join_session_id(guest_nonce, host_nonce);
  std::uint16_t version = protocol_version;
  role as;
  std::array<std::uint8_t, 32> random;
};
view guest_view() {
  return {.as = role::guest, .random = random_bytes(1)};
}
view host_view() {
  return {.as = role::host, .random = random_bytes(2)};
}

struct join_result {
  std::optional<join_tag> guest_tag, host_tag;
  std::optional<confirmed_keys> guest_keys, host_keys;
};

// The three datagrams, each side checking the other's tag whatever the other found.
join_result join(const view& g, const view& h) {
  cpace_party guest(g.as), host(h.as);
  const auto point_a = guest.start(g.digits, g.sid, join_channel(g.version), g.random);
  const auto point_b = host.start(h.digits, h.sid, join_channel(h.version), h.random);
  EXPECT_TRUE(point_a && point_b);
  if (!point_a || !point_b) return {};
  EXPECT_TRUE(host.finish(*point_a));
  EXPECT_TRUE(guest.finish(*point_b));
  join_result r{guest.my_confirmation(), host.my_confirmation(), {}, {}};
  if (r.host_tag) r.guest_keys = guest.check(*r.host_tag);
  if (r.guest_tag) r.host_keys = host.check(*r.guest_tag);
  return r;
}

TEST(PakeJoin, ConfirmsOnlyTheSameCodeSessionAndChannel) {
  struct row {
    const char* what;
    view guest, host;
    bool confirmed;
  };
  view other_code = host_view(), other_sid = host_view(), swapped_nonces = host_view(),
       other_version = host_view(), guest_twice = host_view(), host_twice = guest_view();
  other_code.digits = "12345679";
  other_sid.sid = join_session_id(guest_nonce, join_nonce{});
  swapped_nonces.sid = join_session_id(host_nonce, guest_nonce);
  other_version.version = protocol_version + 1;
  guest_twice.as = role::guest;  // both put their own point first: the points swapped in one transcript
  host_twice.as = role::host;
  const row rows[] = {
      {"the same code, session and channel", guest_view(), host_view(), true},
      {"another code", guest_view(), other_code, false},
      {"another session id", guest_view(), other_sid, false},
      {"the nonces in the other order", guest_view(), swapped_nonces, false},
      {"another protocol version", guest_view(), other_version, false},
      {"two guests", guest_view(), guest_twice, false},
      {"two hosts", host_twice, host_view(), false},
  };
  const join_result right = join(guest_view(), host_view());
  for (const auto& [what, guest, host, confirmed] : rows) {
    const join_result r = join(guest, host);
    EXPECT_EQ(r.guest_keys.has_value(), confirmed) << what;
    EXPECT_EQ(r.host_keys.has_value(), confirmed) << what;
    // Both sides finished: each one's tag went out, and the other refused it.
    EXPECT_TRUE(r.guest_tag && r.host_tag) << what;
  }
  ASSERT_TRUE(right.guest_keys && right.host_keys);
  EXPECT_EQ(right.guest_keys->send, right.host_keys->receive);
  EXPECT_EQ(right.guest_keys->receive, right.host_keys->send);
  EXPECT_NE(right.guest_keys->send, right.guest_keys->receive);
}

TEST(PakeJoin, TagsFromAnotherJoinOrReflectedFail) {
  const view g = guest_view(), h = host_view();
  view h_later = h, g_later = g;
  h_later.sid = g_later.sid =
      join_session_id(guest_nonce, join_nonce{9});  // the same scalars, a new host nonce
  const join_result earlier = join(g, h);
  ASSERT_TRUE(earlier.guest_tag && earlier.host_tag);

  struct row {
    const char* what;
    role checker;
    bool later_join;  // the checker is in a join with other nonces
    join_tag tag;
  };
  const row rows[] = {
      {"the guest's tag of an earlier join, replayed to the host", role::host, true, *earlier.guest_tag},
      {"the host's tag of an earlier join, replayed to the guest", role::guest, true, *earlier.host_tag},
      {"the guest's own tag, reflected to it", role::guest, false, *earlier.guest_tag},
      {"the host's own tag, reflected to it", role::host, false, *earlier.host_tag},
  };
  for (const auto& [what, checker, later_join, tag] : rows) {
    cpace_party guest(role::guest), host(role::host);
    const view& gv = later_join ? g_later : g;
    const view& hv = later_join ? h_later : h;
    const auto point_a = guest.start(gv.digits, gv.sid, join_channel(), gv.random);
    const auto point_b = host.start(hv.digits, hv.sid, join_channel(), hv.random);
    ASSERT_TRUE(point_a && point_b) << what;
    ASSERT_TRUE(guest.finish(*point_b) && host.finish(*point_a)) << what;
    cpace_party& p = checker == role::guest ? guest : host;
    EXPECT_FALSE(p.check(tag)) << what;
    EXPECT_EQ(p.current(), stage::refused) << what;
    // Nothing is taken after a wrong tag, not even the right one.
    cpace_party& other = checker == role::guest ? host : guest;
    EXPECT_FALSE(p.check(*other.my_confirmation())) << what;
  }
}

TEST(PakeJoin, PointsThatAreNotElementsEndTheExchange) {
  cpace_party reference(role::host);
  const auto host_point =
      reference.start(code, join_session_id(guest_nonce, host_nonce), join_channel(), random_bytes(2));
  ASSERT_TRUE(host_point);
  cpace::point top_bit = *host_point, all_ff{};
  top_bit[31] |= 0x80;
  all_ff.fill(0xFF);
  struct row {
    const char* what;
    std::optional<cpace::point> peer;  // none: the guest's own point, sent back to it
  };
  const row rows[] = {
      {"the identity", cpace::point{}},
      {"32 bytes of 0xFF", all_ff},
      {"a valid point's encoding with the top bit set", top_bit},
      {"a negative encoding",
       array_of<32>("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c")},
      {"the guest's own point", std::nullopt},
  };
  for (const auto& [what, peer] : rows) {
    cpace_party guest(role::guest);
    const auto own =
        guest.start(code, join_session_id(guest_nonce, host_nonce), join_channel(), random_bytes(1));
    ASSERT_TRUE(own) << what;
    EXPECT_FALSE(guest.finish(peer.value_or(*own))) << what;
    EXPECT_EQ(guest.current(), stage::refused) << what;
    EXPECT_FALSE(guest.my_confirmation()) << what;
    EXPECT_FALSE(guest.check(join_tag{})) << what;
  }
  cpace_party guest(role::guest);  // the host's point itself is fine
  ASSERT_TRUE(guest.start(code, join_session_id(guest_nonce, host_nonce), join_channel(), random_bytes(1)));
  EXPECT_TRUE(guest.finish(*host_point));
}

TEST(PakeJoin, RandomnessThatGivesTheZeroScalarSendsNothing) {
  std::array<std::uint8_t, 32> zero{}, above_252{}, one{};
  above_252[31] = 0xF0;  // only the bits that sampling clears
  one[0] = 1;
  struct row {
    const char* what;
    std::array<std::uint8_t, 32> random;
    bool sends;
  };
  const row rows[] = {
      {"all zero", zero, false},
      {"only bits 252 to 255", above_252, false},
      {"the least scalar", one, true},
  };
  for (const auto& [what, random, sends] : rows) {
    cpace_party guest(role::guest);
    const auto point = guest.start(code, join_session_id(guest_nonce, host_nonce), join_channel(), random);
    EXPECT_EQ(point.has_value(), sends) << what;
    EXPECT_EQ(guest.current(), sends ? stage::started : stage::refused) << what;
    if (point) {
      EXPECT_FALSE(sodium_is_zero(point->data(), point->size())) << what;
    }
  }
}

TEST(PakeJoin, StepsOutOfOrderGiveNothing) {
  const join_sid s = join_session_id(guest_nonce, host_nonce);
  cpace_party host(role::host);
  const auto host_point = host.start(code, s, join_channel(), random_bytes(2));
  ASSERT_TRUE(host_point);

  cpace_party early_finish(role::guest);
  EXPECT_FALSE(early_finish.finish(*host_point));
  EXPECT_EQ(early_finish.current(), stage::refused);

  cpace_party early_check(role::guest);
  ASSERT_TRUE(early_check.start(code, s, join_channel(), random_bytes(1)));
  EXPECT_FALSE(early_check.my_confirmation());
  EXPECT_FALSE(early_check.check(join_tag{}));
  EXPECT_EQ(early_check.current(), stage::refused);

  cpace_party twice(role::guest);
  ASSERT_TRUE(twice.start(code, s, join_channel(), random_bytes(1)));
  EXPECT_FALSE(twice.start(code, s, join_channel(), random_bytes(3))) << "a second scalar for one join";
  EXPECT_FALSE(twice.finish(*host_point));
}

TEST(PakeJoin, ConfirmedKeysLeaveZerosBehind) {
  alignas(confirmed_keys) std::array<unsigned char, sizeof(confirmed_keys)> storage{};
  auto* keys = new (storage.data()) confirmed_keys;
  keys->send.fill(0xA5);
  keys->receive.fill(0x5A);
  keys->~confirmed_keys();
  EXPECT_TRUE(std::all_of(storage.begin(), storage.end(), [](unsigned char b) { return b == 0; }));
}

}  // namespace
