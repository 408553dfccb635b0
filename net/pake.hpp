// The join's password-authenticated key exchange: CPace over ristretto255 with SHA-512, as the CFRG's
// draft-irtf-cfrg-cpace-21 defines it, and on top of it what the game needs: a session id made of both
// sides' fresh nonces, a channel identifier naming the game and its protocol version, a confirmation tag
// each way and one ChaCha20-Poly1305 key per direction.
//
// The password is the join code's 8 ASCII digits. Each side sends one point, made from the code and a fresh
// scalar; both derive the same keys only when both used the same code, session id and channel. Whoever
// plays host or guest to an honest side learns, from one exchange, whether one code guessed was right, and
// nothing that lets it test another code offline.
//
// The join with it, in the game's order:
//   guest -> host  the guest's nonce and point (the guest is the draft's initiator A)
//   host -> guest  the host's nonce and point, and the host's confirmation (the responder B)
//   guest -> host  the guest's confirmation, once it has checked the host's
// A side takes no game data before the other side's confirmation has checked out: `check` is the only way
// to the keys.
//
// Every secret (the scalar, the generator made from the code, K, ISK, the tags, the keys and the buffers
// that held them) is wiped as soon as it is no longer needed, on every way out; a point that is not the
// canonical encoding of a ristretto255 element, or is its identity, ends the exchange without keys.
//
// Thread use: plain code, no I/O, no randomness of its own (the caller brings the scalar's bytes); a party
// belongs to the one thread that drives its join. The functions of `net::cpace` may be called from any
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "net/codec.hpp"

namespace net {

// libsodium, initialised once for the whole program before its first use.
void need_sodium();

namespace cpace {

using point = std::array<std::uint8_t, 32>;   // a ristretto255 element, encoded
using scalar = std::array<std::uint8_t, 32>;  // little-endian
using intermediate_key = std::array<std::uint8_t, 64>;

// Zeroes what it held whenever it lets go of memory, growing included: for the buffers that hold the code.
template <class T>
struct wiping_allocator {
  using value_type = T;
  wiping_allocator() = default;
  template <class U>
  wiping_allocator(const wiping_allocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept;
  template <class U>
  friend bool operator==(const wiping_allocator&, const wiping_allocator<U>&) noexcept {
    return true;
  }
};
void wipe(void* p, std::size_t size) noexcept;  // sodium_memzero, which the optimiser keeps
template <class T>
void wiping_allocator<T>::deallocate(T* p, std::size_t n) noexcept {
  wipe(p, n * sizeof(T));
  std::allocator<T>{}.deallocate(p, n);
}
using wiped_bytes = std::vector<std::uint8_t, wiping_allocator<std::uint8_t>>;

using octets = std::span<const std::uint8_t>;
octets octets_of(std::string_view text);

// The draft's names, for ristretto255 and SHA-512.
inline constexpr std::string_view dsi = "CPaceRistretto255";
inline constexpr std::size_t sha512_block = 128;  // H.s_in_bytes

// The length in LEB128, then the bytes.
wiped_bytes prepend_len(octets data);
// Each part with its length before it: no two lists of parts give the same bytes.
wiped_bytes lv_cat(std::initializer_list<octets> parts);
// lv_cat(DSI, PRS, zero padding, CI, sid), the padding filling DSI and PRS out to the hash's first block.
wiped_bytes generator_string(octets dsi, octets prs, octets ci, octets sid, std::size_t s_in_bytes);
// The generator from the code: SHA-512 of the generator string, mapped to the group (RFC 9496's element
// derivation). None only if the map gives the identity.
std::optional<point> calculate_generator(octets prs, octets ci, octets sid);
// y * X for an encoded X; none (the draft's G.I) when X is not a canonical encoding of an element, or when
// the product is the identity. The scalar's top bit is ignored.
std::optional<point> scalar_mult_vfy(const scalar& y, const point& x);
// The scalar from 32 random bytes: the bits above the group's 252 cleared, so that it is below the group's
// order with no reduction.
void sample_scalar(std::span<const std::uint8_t, 32> random, scalar& y);

// The transcript of an initiator-responder run: lv_cat(Ya, ADa) || lv_cat(Yb, ADb).
wiped_bytes transcript_ir(octets ya, octets ada, octets yb, octets adb);
// The transcript of a run with no order of speaking: both messages, the lexicographically larger first.
wiped_bytes transcript_oc(octets ya, octets ada, octets yb, octets adb);
// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || transcript).
intermediate_key isk_of(octets sid, const point& k, octets transcript);

// The game's expansion of ISK: HMAC-SHA-512 keyed with ISK over lv_cat(label, sid, transcript).
std::array<std::uint8_t, 64> expand(const intermediate_key& isk, std::string_view label, octets sid,
                                    octets transcript);
// Its labels, one per purpose.
inline constexpr std::string_view guest_confirms = "Tolvaran guest confirms";
inline constexpr std::string_view host_confirms = "Tolvaran host confirms";
inline constexpr std::string_view guest_to_host = "Tolvaran guest to host";
inline constexpr std::string_view host_to_guest = "Tolvaran host to guest";

}  // namespace cpace

// ---------------------------------------------------------------------------------------------------------
// The join's inputs

using join_nonce = std::array<std::uint8_t, 16>;
using join_sid = std::array<std::uint8_t, 32>;
using join_tag = std::array<std::uint8_t, 32>;

// The guest's nonce, then the host's: fresh on both sides, so no two joins share it.
join_sid join_session_id(const join_nonce& guest, const join_nonce& host);
// lv_cat("Multiplayer Tolvaran", the protocol version as two little-endian bytes).
cpace::wiped_bytes join_channel(std::uint16_t version = protocol_version);

// The keys of a confirmed join, seen from one side; wiped when they go.
struct confirmed_keys {
  key_bytes send{};
  key_bytes receive{};
  confirmed_keys() = default;
  confirmed_keys(const confirmed_keys&) = default;
  confirmed_keys& operator=(const confirmed_keys&) = default;
  ~confirmed_keys() { cpace::wipe(this, sizeof(*this)); }
};

// One side of one join. Each step is taken once, in order: start, finish, check; a step out of order, or
// after a refusal, gives nothing.
class cpace_party {
 public:
  enum class role : std::uint8_t { guest, host };  // the draft's initiator A and responder B
  enum class stage : std::uint8_t { fresh, started, finished, confirmed, refused };

  explicit cpace_party(role r) : role_(r) {}
  cpace_party(const cpace_party&) = delete;
  cpace_party& operator=(const cpace_party&) = delete;
  ~cpace_party() { forget(); }

  // This side's point, to be sent with `own_ad` (associated data the other side must see the same; the game
  // sends none). None when the 32 random bytes give the zero scalar (all zero but for bits 252 to 255):
  // the identity is never sent, and the caller draws again with a new party.
  std::optional<cpace::point> start(std::string_view code, cpace::octets sid, cpace::octets channel,
                                    std::span<const std::uint8_t, 32> random, cpace::octets own_ad = {});
  // The other side's point and associated data. False, and the exchange over, when the point is not a
  // canonical encoding, is the identity or this side's own point.
  bool finish(const cpace::point& peer, cpace::octets peer_ad = {});
  // This side's confirmation tag, once finished.
  std::optional<join_tag> my_confirmation() const;
  // The other side's tag, compared in constant time: the keys when it is right; otherwise nothing, ever.
  std::optional<confirmed_keys> check(const join_tag& peer);

  stage current() const { return stage_; }

 private:
  void forget();
  std::nullopt_t refuse();  // forgets everything; no step is taken after it

  role role_;
  stage stage_ = stage::fresh;
  cpace::scalar scalar_{};
  cpace::point own_{};
  cpace::wiped_bytes sid_, own_ad_;
  join_tag own_tag_{}, peer_tag_{};
  confirmed_keys keys_;
};

}  // namespace net
