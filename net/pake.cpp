#include "net/pake.hpp"

#include <sodium.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace net {

void need_sodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  });
}

namespace cpace {

namespace {

static_assert(crypto_core_ristretto255_BYTES == sizeof(point));
static_assert(crypto_core_ristretto255_HASHBYTES == sizeof(intermediate_key));
static_assert(crypto_scalarmult_ristretto255_SCALARBYTES == sizeof(scalar));
static_assert(crypto_hash_sha512_BYTES == sizeof(intermediate_key));
static_assert(crypto_auth_hmacsha512_BYTES == 64);

std::size_t leb128_size(std::size_t length) {
  std::size_t n = 1;
  for (; length >= 128; length >>= 7) ++n;
  return n;
}

void put_leb128(wiped_bytes& out, std::size_t length) {
  for (;;) {
    const auto low = static_cast<std::uint8_t>(length & 0x7F);
    length >>= 7;
    if (length == 0) {
      out.push_back(low);
      return;
    }
    out.push_back(low | 0x80);
  }
}

// The draft's ordering of byte strings: the first differing byte decides, else the longer is larger.
bool lexicographically_larger(octets a, octets b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return a.size() > b.size();
}

// Runs its function whichever way the scope is left: secrets are wiped on every way out.
template <class F>
struct on_exit {
  F f;
  ~on_exit() { f(); }
};
template <class F>
on_exit(F) -> on_exit<F>;

// RFC 9496's decoding: libsodium 1.0.18 checks the encoding is below the field's prime and non-negative but
// ignores bit 255, which must be clear; one element would otherwise have two encodings.
bool decodes(const point& x) {
  return (x[31] & 0x80) == 0 && crypto_core_ristretto255_is_valid_point(x.data()) == 1;
}

}  // namespace

void wipe(void* p, std::size_t size) noexcept {
  if (size > 0) sodium_memzero(p, size);
}

octets octets_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

wiped_bytes prepend_len(octets data) {
  return lv_cat({data});
}

wiped_bytes lv_cat(std::initializer_list<octets> parts) {
  std::size_t total = 0;
  for (const octets& part : parts) total += leb128_size(part.size()) + part.size();
  wiped_bytes out;
  out.reserve(total);
  for (const octets& part : parts) {
    put_leb128(out, part.size());
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

wiped_bytes generator_string(octets dsi, octets prs, octets ci, octets sid, std::size_t s_in_bytes) {
  const std::size_t filled = 1 + leb128_size(prs.size()) + prs.size() + leb128_size(dsi.size()) + dsi.size();
  const std::vector<std::uint8_t> zpad(s_in_bytes > filled ? s_in_bytes - filled : 0, 0);
  return lv_cat({dsi, prs, zpad, ci, sid});
}

std::optional<point> calculate_generator(octets prs, octets ci, octets sid) {
  need_sodium();
  const wiped_bytes gen_str = generator_string(octets_of(dsi), prs, ci, sid, sha512_block);
  std::array<std::uint8_t, crypto_hash_sha512_BYTES> hash{};
  const on_exit wipe_hash{[&] { wipe(hash.data(), hash.size()); }};
  crypto_hash_sha512(hash.data(), gen_str.data(), gen_str.size());
  std::optional<point> g{std::in_place};  // built in place: no copy of it is left behind
  crypto_core_ristretto255_from_hash(g->data(), hash.data());
  if (sodium_is_zero(g->data(), g->size())) g.reset();
  return g;
}

std::optional<point> scalar_mult_vfy(const scalar& y, const point& x) {
  need_sodium();
  std::optional<point> product;
  if (!decodes(x)) return product;
  product.emplace();
  // libsodium refuses a product that is the identity (and leaves zeros).
  if (crypto_scalarmult_ristretto255(product->data(), y.data(), x.data()) != 0) {
    wipe(product->data(), product->size());
    product.reset();
  }
  return product;
}

void sample_scalar(std::span<const std::uint8_t, 32> random, scalar& y) {
  std::copy(random.begin(), random.end(), y.begin());
  y[31] &= 0x0F;  // below 2^252, and so below the group's order
}

wiped_bytes transcript_ir(octets ya, octets ada, octets yb, octets adb) {
  return lv_cat({ya, ada, yb, adb});
}

wiped_bytes transcript_oc(octets ya, octets ada, octets yb, octets adb) {
  const wiped_bytes a = lv_cat({ya, ada});
  const wiped_bytes b = lv_cat({yb, adb});
  const bool a_first = lexicographically_larger(a, b);
  const wiped_bytes& larger = a_first ? a : b;
  const wiped_bytes& smaller = a_first ? b : a;
  wiped_bytes out{'o', 'c'};
  out.reserve(2 + a.size() + b.size());
  out.insert(out.end(), larger.begin(), larger.end());
  out.insert(out.end(), smaller.begin(), smaller.end());
  return out;
}

intermediate_key isk_of(octets sid, const point& k, octets transcript) {
  need_sodium();
  static constexpr std::string_view isk_label = "CPaceRistretto255_ISK";
  static_assert(isk_label.substr(0, dsi.size()) == dsi);
  wiped_bytes input = lv_cat({octets_of(isk_label), sid, k});
  input.insert(input.end(), transcript.begin(), transcript.end());
  intermediate_key isk{};
  crypto_hash_sha512(isk.data(), input.data(), input.size());
  return isk;
}

std::array<std::uint8_t, 64> expand(const intermediate_key& isk, std::string_view label, octets sid,
                                    octets transcript) {
  need_sodium();
  const wiped_bytes input = lv_cat({octets_of(label), sid, transcript});
  crypto_auth_hmacsha512_state state;
  const on_exit wipe_state{[&] { wipe(&state, sizeof(state)); }};
  crypto_auth_hmacsha512_init(&state, isk.data(), isk.size());
  crypto_auth_hmacsha512_update(&state, input.data(), input.size());
  std::array<std::uint8_t, 64> out{};
  crypto_auth_hmacsha512_final(&state, out.data());
  return out;
}

}  // namespace cpace

// ---------------------------------------------------------------------------------------------------------

join_sid join_session_id(const join_nonce& guest, const join_nonce& host) {
  join_sid sid{};
  std::copy(guest.begin(), guest.end(), sid.begin());
  std::copy(host.begin(), host.end(), sid.begin() + guest.size());
  return sid;
}

cpace::wiped_bytes join_channel(std::uint16_t version) {
  const std::uint8_t v[2] = {static_cast<std::uint8_t>(version & 0xFF),
                             static_cast<std::uint8_t>(version >> 8)};
  return cpace::lv_cat({cpace::octets_of("Multiplayer Tolvaran"), v});
}

// ---------------------------------------------------------------------------------------------------------

std::optional<cpace::point> cpace_party::start(std::string_view code, cpace::octets sid,
                                               cpace::octets channel,
                                               std::span<const std::uint8_t, 32> random,
                                               cpace::octets own_ad) {
  if (stage_ != stage::fresh) return refuse();
  std::optional<cpace::point> g = cpace::calculate_generator(cpace::octets_of(code), channel, sid);
  // The generator would let anyone who saw it test codes offline.
  const cpace::on_exit wipe_g{[&] {
    if (g) cpace::wipe(g->data(), g->size());
  }};
  if (!g) return refuse();
  cpace::sample_scalar(random, scalar_);
  const std::optional<cpace::point> y = cpace::scalar_mult_vfy(scalar_, *g);
  if (!y) return refuse();  // the zero scalar: never send the identity
  own_ = *y;
  sid_.assign(sid.begin(), sid.end());
  own_ad_.assign(own_ad.begin(), own_ad.end());
  stage_ = stage::started;
  return own_;
}

bool cpace_party::finish(const cpace::point& peer, cpace::octets peer_ad) {
  if (stage_ != stage::started) {
    refuse();
    return false;
  }
  // scalar_mult_vfy refuses these as well; a point is checked before the secret scalar touches it.
  if (!cpace::decodes(peer) || sodium_is_zero(peer.data(), peer.size()) || peer == own_) {
    refuse();
    return false;
  }
  std::optional<cpace::point> k = cpace::scalar_mult_vfy(scalar_, peer);
  cpace::wipe(scalar_.data(), scalar_.size());
  const cpace::on_exit wipe_k{[&] {
    if (k) cpace::wipe(k->data(), k->size());
  }};
  if (!k) {
    refuse();
    return false;
  }

  const bool guest = role_ == role::guest;
  const cpace::wiped_bytes transcript = guest ? cpace::transcript_ir(own_, own_ad_, peer, peer_ad)
                                              : cpace::transcript_ir(peer, peer_ad, own_, own_ad_);
  cpace::intermediate_key isk = cpace::isk_of(sid_, *k, transcript);
  const cpace::on_exit wipe_isk{[&] { cpace::wipe(isk.data(), isk.size()); }};

  auto derived = [&](std::string_view label, auto& out) {
    std::array<std::uint8_t, 64> wide = cpace::expand(isk, label, sid_, transcript);
    const cpace::on_exit wipe_wide{[&] { cpace::wipe(wide.data(), wide.size()); }};
    std::copy_n(wide.begin(), out.size(), out.begin());
  };
  derived(guest ? cpace::guest_confirms : cpace::host_confirms, own_tag_);
  derived(guest ? cpace::host_confirms : cpace::guest_confirms, peer_tag_);
  derived(guest ? cpace::guest_to_host : cpace::host_to_guest, keys_.send);
  derived(guest ? cpace::host_to_guest : cpace::guest_to_host, keys_.receive);
  stage_ = stage::finished;
  return true;
}

std::optional<join_tag> cpace_party::my_confirmation() const {
  if (stage_ != stage::finished) return std::nullopt;
  return own_tag_;
}

std::optional<confirmed_keys> cpace_party::check(const join_tag& peer) {
  if (stage_ != stage::finished) return refuse();
  static_assert(sizeof(join_tag) == crypto_verify_32_BYTES);
  if (crypto_verify_32(peer.data(), peer_tag_.data()) != 0) return refuse();
  std::optional<confirmed_keys> keys = keys_;
  forget();
  stage_ = stage::confirmed;
  return keys;
}

void cpace_party::forget() {
  cpace::wipe(scalar_.data(), scalar_.size());
  cpace::wipe(own_tag_.data(), own_tag_.size());
  cpace::wipe(peer_tag_.data(), peer_tag_.size());
  cpace::wipe(&keys_, sizeof(keys_));
  cpace::wipe(sid_.data(), sid_.size());
  cpace::wipe(own_ad_.data(), own_ad_.size());
  sid_.clear();
  own_ad_.clear();
}

std::nullopt_t cpace_party::refuse() {
  forget();
  stage_ = stage::refused;
  return std::nullopt;
}

}  // namespace net
