#include "net/session.hpp"

#include <sodium.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace net {

namespace {

static_assert(interactive_cost.passes == crypto_pwhash_OPSLIMIT_INTERACTIVE);
static_assert(interactive_cost.memory == crypto_pwhash_MEMLIMIT_INTERACTIVE);
static_assert(sizeof(salt_bytes) == crypto_pwhash_SALTBYTES);
static_assert(sizeof(key_bytes) == crypto_kx_PUBLICKEYBYTES && sizeof(key_bytes) == crypto_kx_SECRETKEYBYTES);
static_assert(sizeof(key_bytes) == crypto_auth_BYTES && sizeof(key_bytes) == crypto_auth_KEYBYTES);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES + 5 == seal_overhead);

void need_sodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  });
}

// An ephemeral X25519 key pair made from 32 bytes of the session's randomness.
void key_pair(entropy& random, key_bytes& public_key, std::array<std::uint8_t, 32>& secret) {
  need_sodium();
  std::array<std::uint8_t, crypto_kx_SEEDBYTES> seed{};
  random.fill(seed);
  crypto_kx_seed_keypair(public_key.data(), secret.data(), seed.data());
  sodium_memzero(seed.data(), seed.size());
}

// What both sides agree on: the version, the salt and both public keys.
key_bytes transcript(const salt_bytes& salt, const key_bytes& guest_key, const key_bytes& host_key) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, 32);
  static constexpr std::string_view label = "Multiplayer Tolvaran join";
  const std::uint8_t version[2] = {protocol_version & 0xFF, protocol_version >> 8};
  crypto_generichash_update(&state, reinterpret_cast<const std::uint8_t*>(label.data()), label.size());
  crypto_generichash_update(&state, version, 2);
  crypto_generichash_update(&state, salt.data(), salt.size());
  crypto_generichash_update(&state, guest_key.data(), guest_key.size());
  crypto_generichash_update(&state, host_key.data(), host_key.size());
  key_bytes out{};
  crypto_generichash_final(&state, out.data(), out.size());
  return out;
}

// A key of the session: BLAKE2b keyed with the code's key over its purpose, the exchange and one key of
// the X25519 exchange.
key_bytes mix(const key_bytes& code_key, std::string_view purpose, const key_bytes& exchange,
              const key_bytes& shared) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, code_key.data(), code_key.size(), 32);
  crypto_generichash_update(&state, reinterpret_cast<const std::uint8_t*>(purpose.data()), purpose.size());
  crypto_generichash_update(&state, exchange.data(), exchange.size());
  crypto_generichash_update(&state, shared.data(), shared.size());
  key_bytes out{};
  crypto_generichash_final(&state, out.data(), out.size());
  return out;
}

struct join_keys {
  key_bytes to_host, to_guest, proof_key, exchange;
};

// The same keys on both sides, from the code's key and the X25519 keys each side has for each direction.
join_keys keys_of(const key_bytes& code_key, const salt_bytes& salt, const key_bytes& guest_key,
                  const key_bytes& host_key, const key_bytes& shared_to_host,
                  const key_bytes& shared_to_guest) {
  join_keys k;
  k.exchange = transcript(salt, guest_key, host_key);
  k.to_host = mix(code_key, "guest to host", k.exchange, shared_to_host);
  k.to_guest = mix(code_key, "host to guest", k.exchange, shared_to_guest);
  k.proof_key = mix(code_key, "proof", k.exchange, shared_to_host);
  return k;
}

key_bytes mac_of(const join_keys& k) {
  key_bytes mac{};
  crypto_auth(mac.data(), k.exchange.data(), k.exchange.size(), k.proof_key.data());
  return mac;
}

// The nonce of a sealed message: its channel and its sequence number; each direction has its own key.
std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce_of(channel ch,
                                                                               std::uint32_t sequence) {
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> n{};
  n[0] = static_cast<std::uint8_t>(ch);
  for (int i = 0; i < 4; ++i) n[4 + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
  return n;
}

drop_reason reason_of(fault f) {
  switch (f) {
    case fault::truncated:
      return drop_reason::truncated;
    case fault::oversized:
      return drop_reason::oversized;
    case fault::malformed:
      return drop_reason::malformed;
  }
  return drop_reason::malformed;
}

bool from_host(const game_message& m) {
  return !std::holds_alternative<steering>(m) && !std::holds_alternative<menu_choice>(m);
}
bool from_guest(const game_message& m) {
  return std::holds_alternative<steering>(m) || std::holds_alternative<menu_choice>(m) ||
         std::holds_alternative<goodbye>(m);
}

constexpr std::string_view reason_names[drop_reasons] = {
    "nieuwierzytelnione", "powtorzone", "poza oknem",
    "za dlugie",          "uciete",     "bledne",
    "nie w pore",         "zalew",      "z zablokowanego adresu",
};

std::string versions(std::uint16_t theirs) {
  return "(protokol" + common::image(theirs) + ", tutaj" + common::image(protocol_version) + ")";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

std::string address_text(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

void system_entropy::fill(std::span<std::uint8_t> out) {
  need_sodium();
  randombytes_buf(out.data(), out.size());
}

std::string draw_join_code(entropy& source) {
  // Rejection sampling: the 32-bit values above the last whole multiple of 10^8 would favour low codes.
  constexpr std::uint32_t codes = 100'000'000;
  constexpr std::uint32_t fair_below = 0xFFFFFFFFu - 0xFFFFFFFFu % codes;
  for (;;) {
    std::array<std::uint8_t, 4> b{};
    source.fill(b);
    const std::uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    if (v >= fair_below) continue;
    std::string digits = std::to_string(v % codes);
    return std::string(8 - digits.size(), '0') + digits;
  }
}

std::string shown_code(std::string_view digits) {
  return std::string(digits.substr(0, 4)) + "-" + std::string(digits.substr(4));
}

key_bytes derive_code_key(std::string_view code, const salt_bytes& salt, pwhash_cost cost) {
  need_sodium();
  key_bytes key{};
  if (crypto_pwhash(key.data(), key.size(), code.data(), code.size(), salt.data(), cost.passes, cost.memory,
                    crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("Argon2id found too little memory for the code's key");
  return key;
}

// ---------------------------------------------------------------------------------------------------------

replay_window::verdict replay_window::check(std::uint32_t sequence) const {
  if (sequence > highest_) return verdict::fresh;
  const std::uint32_t behind = highest_ - sequence;
  if (sequence == 0 || behind >= width) return verdict::too_old;
  return (seen_ >> behind) & 1 ? verdict::replayed : verdict::fresh;
}

void replay_window::take(std::uint32_t sequence) {
  if (sequence > highest_) {
    const std::uint32_t ahead = sequence - highest_;
    seen_ = ahead < width ? (seen_ << ahead) | 1 : 1;
    highest_ = sequence;
  } else {
    seen_ |= std::uint64_t{1} << (highest_ - sequence);
  }
}

// The nonce binds the channel and the sequence number that the envelope's header shows, and each direction
// has its own key: a header changed, a channel or a direction swapped, and the tag no longer checks out.
bytes sealed_link::seal(channel ch, std::span<const std::uint8_t> plaintext) {
  std::uint32_t& next = next_[static_cast<std::size_t>(ch)];
  if (next == 0) return {};  // wrapped round: never a nonce twice
  const std::uint32_t sequence = next++;
  const auto nonce = nonce_of(ch, sequence);
  bytes out = encode(datagram{sealed{sequence, {}}});
  const std::size_t header = out.size();
  out.resize(header + plaintext.size() + crypto_aead_chacha20poly1305_ietf_ABYTES);
  crypto_aead_chacha20poly1305_ietf_encrypt(out.data() + header, nullptr, plaintext.data(), plaintext.size(),
                                            nullptr, 0, nullptr, nonce.data(), keys_.send.data());
  return out;
}

sealed_link::opened sealed_link::open(channel ch, const sealed& envelope) {
  replay_window& window = windows_[static_cast<std::size_t>(ch)];
  switch (window.check(envelope.sequence)) {
    case replay_window::verdict::replayed:
      return {std::nullopt, drop_reason::replayed};
    case replay_window::verdict::too_old:
      return {std::nullopt, drop_reason::outside_window};
    case replay_window::verdict::fresh:
      break;
  }
  // A fixed buffer: the envelope's length was bounded when the datagram was decoded.
  std::array<std::uint8_t, max_message> plain;
  if (envelope.body.size() > max_message + crypto_aead_chacha20poly1305_ietf_ABYTES)
    return {std::nullopt, drop_reason::oversized};
  const auto nonce = nonce_of(ch, envelope.sequence);
  if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), nullptr, nullptr, envelope.body.data(),
                                                envelope.body.size(), nullptr, 0, nonce.data(),
                                                keys_.receive.data()) != 0)
    return {std::nullopt, drop_reason::unauthenticated};
  window.take(envelope.sequence);  // authentic: its number is spent even if what it says is wrong
  const std::size_t length = envelope.body.size() - crypto_aead_chacha20poly1305_ietf_ABYTES;
  const decoded<game_message> message = decode_message(std::span(plain.data(), length));
  if (!message.ok()) return {std::nullopt, reason_of(message.why())};
  return {message.value(), drop_reason::malformed};
}

// ---------------------------------------------------------------------------------------------------------

void drop_tally::note(drop_reason why, std::uint64_t count) {
  total_[static_cast<std::size_t>(why)] += count;
}

std::optional<std::string> drop_tally::report(common::steady_time now) {
  if (last_report_ && now - *last_report_ < std::chrono::seconds(1)) return std::nullopt;
  std::uint64_t all = 0;
  std::string reasons;
  for (std::size_t i = 0; i < drop_reasons; ++i) {
    const std::uint64_t fresh = total_[i] - reported_[i];
    if (fresh == 0) continue;
    all += fresh;
    reasons += (reasons.empty() ? "" : ", ") + std::string(reason_names[i]) + ":" +
               common::image(static_cast<std::int64_t>(fresh));
  }
  if (all == 0) return std::nullopt;
  reported_ = total_;
  last_report_ = now;
  return "Odrzucono wiadomosci z sieci:" + common::image(static_cast<std::int64_t>(all)) + " (" + reasons +
         ")";
}

const gatekeeper::record* gatekeeper::lookup(std::uint32_t address) const {
  for (const record& r : table_)
    if (r.used && r.address == address) return &r;
  return nullptr;
}

gatekeeper::record& gatekeeper::find(std::uint32_t address, common::steady_time now) {
  if (const record* known = lookup(address)) return const_cast<record&>(*known);
  // A free place, or the one heard from longest ago, a blocked address only when every place is blocked.
  record* place = &table_[0];
  const auto rank = [&](const record& r) { return std::pair(r.used, r.used && now < r.blocked_until); };
  for (record& r : table_) {
    if (rank(r) < rank(*place) || (rank(r) == rank(*place) && r.heard < place->heard)) place = &r;
  }
  *place = record{};
  place->address = address;
  place->used = true;
  place->refilled = now;
  place->heard = now;
  return *place;
}

std::optional<drop_reason> gatekeeper::refuses(const endpoint& from, common::steady_time now) {
  if (trusted_ && *trusted_ == from) return std::nullopt;
  record& r = find(from.address, now);
  r.heard = now;
  if (now < r.blocked_until) return drop_reason::blocked;
  const double seconds = std::chrono::duration<double>(now - r.refilled).count();
  r.budget = std::min(burst, r.budget + seconds * datagrams_a_second);
  r.refilled = now;
  if (r.budget < 1.0) return drop_reason::flooding;
  r.budget -= 1.0;
  return std::nullopt;
}

bool gatekeeper::wrong_code(std::uint32_t address, common::steady_time now) {
  record& r = find(address, now);
  int kept = 0;
  for (int i = 0; i < r.wrong_count; ++i)
    if (now - r.wrong[static_cast<std::size_t>(i)] < wrong_code_span)
      r.wrong[static_cast<std::size_t>(kept++)] = r.wrong[static_cast<std::size_t>(i)];
  r.wrong[static_cast<std::size_t>(kept)] = now;
  r.wrong_count = kept + 1;
  if (r.wrong_count < wrong_codes) return false;
  r.wrong_count = 0;
  r.blocked_until = now + block_span;
  return true;
}

bool gatekeeper::blocked(std::uint32_t address, common::steady_time now) const {
  const record* r = lookup(address);
  return r != nullptr && now < r->blocked_until;
}

// ---------------------------------------------------------------------------------------------------------

host_session::host_session(const host_config& config, entropy& random, wire& out, runtime_log::sink& log)
    : config_(config), random_(random), out_(out), log_(log) {
  need_sodium();
}

std::optional<endpoint> host_session::guest_endpoint() const {
  if (!guest_) return std::nullopt;
  return guest_->from;
}

host_session::candidate* host_session::candidate_of(peer_id peer) {
  for (auto& c : candidates_)
    if (c && c->peer == peer) return &*c;
  return nullptr;
}

void host_session::forget(peer_id peer, bool at_once) {
  for (auto& c : candidates_)
    if (c && c->peer == peer) {
      sodium_memzero(c->secret.data(), c->secret.size());
      c.reset();
    }
  out_.disconnect(peer, at_once);
}

void host_session::connected(peer_id peer, const endpoint& from, common::steady_time now) {
  if (gate_.blocked(from.address, now)) {
    drops_.note(drop_reason::blocked);
    out_.disconnect(peer, true);
    return;
  }
  for (auto& c : candidates_)
    if (!c) {
      c = candidate{peer, from};
      c->deadline = now + join_limit;
      return;
    }
  out_.disconnect(peer, true);  // more strangers at once than a game needs
}

void host_session::refuse(candidate& c, refusal_reason reason, std::string_view why) {
  log_.info("Odrzucono goscia z adresu " + address_text(c.from.address) + ": " + std::string(why));
  out_.send(c.peer, channel::reliable, encode(datagram{refusal{protocol_version, reason}}));
  forget(c.peer, false);
}

void host_session::take_hello(candidate& c, const datagram& d) {
  if (const auto* other = std::get_if<foreign>(&d); other != nullptr && other->type == 1) {
    refuse(c, refusal_reason::version, "inna wersja gry " + versions(other->version));
    return;
  }
  const auto* h = std::get_if<hello>(&d);
  if (h == nullptr) {
    drops_.note(drop_reason::out_of_turn);
    forget(c.peer, true);
    return;
  }
  if (guest_) {
    refuse(c, refusal_reason::busy, "gra ma juz goscia");
    return;
  }
  c.guest_key = h->guest_key;
  key_pair(random_, c.host_key, c.secret);
  c.challenged = true;
  out_.send(c.peer, channel::reliable,
            encode(datagram{challenge{protocol_version, config_.salt, c.host_key}}));
}

host_session::happening host_session::take_proof(candidate& c, const proof& p, common::steady_time now) {
  key_bytes to_host{}, to_guest{};
  if (crypto_kx_server_session_keys(to_host.data(), to_guest.data(), c.host_key.data(), c.secret.data(),
                                    c.guest_key.data()) != 0) {
    refuse(c, refusal_reason::wrong_code, "zly kod dolaczenia");  // a guest key that is no key
    return happening::none;
  }
  const join_keys k = keys_of(config_.code_key, config_.salt, c.guest_key, c.host_key, to_host, to_guest);
  if (crypto_auth_verify(p.mac.data(), k.exchange.data(), k.exchange.size(), k.proof_key.data()) != 0) {
    const std::uint32_t address = c.from.address;
    refuse(c, refusal_reason::wrong_code, "zly kod dolaczenia");
    if (gate_.wrong_code(address, now))
      log_.info("Adres " + address_text(address) + " bedzie pomijany przez minute: 5 zlych kodow");
    return happening::none;
  }
  if (guest_) {
    refuse(c, refusal_reason::busy, "gra ma juz goscia");
    return happening::none;
  }
  const peer_id peer = c.peer;
  const endpoint from = c.from;
  sodium_memzero(c.secret.data(), c.secret.size());
  for (auto& other : candidates_)
    if (other && other->peer == peer) other.reset();  // no longer a candidate; the connection stays
  guest_.emplace(playing{peer, from, sealed_link({k.to_guest, k.to_host}), now});
  gate_.trust(from);
  log_.info("Gracz zielony dolaczyl przez siec z adresu " + address_text(from.address));
  send(channel::reliable, welcome{});
  return happening::joined;
}

host_session::outcome host_session::received(peer_id peer, channel ch, std::span<const std::uint8_t> data,
                                             common::steady_time now) {
  const decoded<datagram> d = decode_datagram(data);
  if (guest_ && guest_->peer == peer) {
    const auto* envelope = d.ok() ? std::get_if<sealed>(&d.value()) : nullptr;
    if (!d.ok() || envelope == nullptr) {
      drops_.note(d.ok() ? drop_reason::out_of_turn : reason_of(d.why()));
      return {};
    }
    sealed_link::opened opened = guest_->link.open(ch, *envelope);
    if (!opened.message || !from_guest(*opened.message)) {
      drops_.note(opened.message ? drop_reason::out_of_turn : opened.dropped);
      return {};
    }
    guest_->heard = now;
    if (std::holds_alternative<goodbye>(*opened.message)) {
      log_.info("Gracz zielony opuscil gre");
      out_.disconnect(peer, false);
      return {end_guest(happening::left), std::nullopt};
    }
    return {happening::none, opened.message};
  }
  candidate* c = candidate_of(peer);
  if (c == nullptr) {  // a connection already let go, or never taken
    drops_.note(drop_reason::out_of_turn);
    return {};
  }
  if (!d.ok() || ch != channel::reliable) {
    drops_.note(d.ok() ? drop_reason::out_of_turn : reason_of(d.why()));
    forget(peer, true);
    return {};
  }
  if (!c->challenged) {
    take_hello(*c, d.value());
    return {};
  }
  if (const auto* p = std::get_if<proof>(&d.value())) return {take_proof(*c, *p, now), std::nullopt};
  drops_.note(drop_reason::out_of_turn);
  forget(peer, true);
  return {};
}

host_session::happening host_session::end_guest(happening how) {
  guest_.reset();
  gate_.trust(std::nullopt);
  return how;
}

host_session::happening host_session::disconnected(peer_id peer, common::steady_time) {
  if (guest_ && guest_->peer == peer) {
    log_.info("Utracono polaczenie z graczem zielonym");
    return end_guest(happening::lost);
  }
  for (auto& c : candidates_)
    if (c && c->peer == peer) c.reset();
  return happening::none;
}

host_session::happening host_session::tick(common::steady_time now) {
  for (auto& c : candidates_)
    if (c && now >= c->deadline) refuse(*c, refusal_reason::too_slow, "nie podal kodu na czas");
  if (guest_ && now - guest_->heard >= silence_limit) {
    log_.info("Utracono polaczenie z graczem zielonym");
    out_.disconnect(guest_->peer, true);
    return end_guest(happening::lost);
  }
  return happening::none;
}

void host_session::send(channel ch, const game_message& message) {
  if (!guest_) return;
  const bytes envelope = guest_->link.seal(ch, message);
  if (envelope.empty()) {  // some four thousand million messages: the game would rather start afresh
    out_.disconnect(guest_->peer, true);
    log_.info("Utracono polaczenie z graczem zielonym");
    end_guest(happening::lost);
    return;
  }
  out_.send(guest_->peer, ch, envelope);
}

void host_session::say_goodbye() {
  if (!guest_) return;
  send(channel::reliable, goodbye{});
  if (guest_) out_.disconnect(guest_->peer, false);
  end_guest(happening::left);
}

// ---------------------------------------------------------------------------------------------------------

guest_session::guest_session(guest_config config, entropy& random, wire& out, common::steady_time now)
    : config_(std::move(config)), random_(random), out_(out), deadline_(now + join_limit) {
  need_sodium();
}

guest_session::ending guest_session::finish(ending why) {
  if (end_ == ending::none) end_ = why;
  state_ = state::ended;
  return end_;
}

void guest_session::connected(common::steady_time) {
  if (state_ != state::connecting) return;
  key_pair(random_, guest_key_, secret_);
  out_.send(host_peer, channel::reliable, encode(datagram{hello{protocol_version, guest_key_}}));
  state_ = state::greeted;
}

guest_session::outcome guest_session::received(channel ch, std::span<const std::uint8_t> data,
                                               common::steady_time now) {
  if (state_ == state::ended) return {end_, std::nullopt};
  const decoded<datagram> d = decode_datagram(data);
  if (!d.ok()) {
    drops_.note(reason_of(d.why()));
    return {};
  }
  const datagram& got = d.value();
  if (const auto* other = std::get_if<foreign>(&got)) {
    host_version_ = other->version;
    return {finish(ending::version), std::nullopt};
  }
  if (const auto* no = std::get_if<refusal>(&got); no != nullptr && state_ != state::playing) {
    switch (no->reason) {
      case refusal_reason::wrong_code:
        return {finish(ending::wrong_code), std::nullopt};
      case refusal_reason::busy:
        return {finish(ending::busy), std::nullopt};
      case refusal_reason::version:
        host_version_ = no->version;
        return {finish(ending::version), std::nullopt};
      case refusal_reason::too_slow:
        return {finish(ending::unreachable), std::nullopt};
    }
  }
  if (const auto* c = std::get_if<challenge>(&got); c != nullptr && state_ == state::greeted) {
    const key_bytes code_key = derive_code_key(config_.code, c->salt, config_.cost);
    key_bytes from_host{}, to_host{};
    if (crypto_kx_client_session_keys(from_host.data(), to_host.data(), guest_key_.data(), secret_.data(),
                                      c->host_key.data()) != 0)
      return {finish(ending::unreachable), std::nullopt};
    const join_keys k = keys_of(code_key, c->salt, guest_key_, c->host_key, to_host, from_host);
    sodium_memzero(secret_.data(), secret_.size());
    link_.emplace(session_keys{k.to_host, k.to_guest});
    out_.send(host_peer, channel::reliable, encode(datagram{proof{mac_of(k)}}));
    state_ = state::proved;
    return {};
  }
  const auto* envelope = std::get_if<sealed>(&got);
  if (envelope == nullptr || !link_) {
    drops_.note(drop_reason::out_of_turn);
    return {};
  }
  sealed_link::opened opened = link_->open(ch, *envelope);
  if (!opened.message || !from_host(*opened.message) ||
      (state_ == state::proved) != std::holds_alternative<welcome>(*opened.message)) {
    drops_.note(opened.message ? drop_reason::out_of_turn : opened.dropped);
    return {};
  }
  heard_ = now;
  state_ = state::playing;
  if (std::holds_alternative<goodbye>(*opened.message)) return {finish(ending::goodbye), std::nullopt};
  return {ending::none, opened.message};
}

guest_session::ending guest_session::disconnected(common::steady_time) {
  return finish(state_ == state::playing ? ending::lost : ending::unreachable);
}

guest_session::ending guest_session::tick(common::steady_time now) {
  if (state_ == state::playing && now - heard_ >= silence_limit) return finish(ending::lost);
  if (state_ != state::playing && state_ != state::ended && now >= deadline_)
    return finish(ending::unreachable);
  return end_;
}

void guest_session::send(channel ch, const game_message& message) {
  if (state_ != state::playing) return;
  const bytes envelope = link_->seal(ch, message);
  if (envelope.empty()) {
    finish(ending::lost);
    return;
  }
  out_.send(host_peer, ch, envelope);
}

void guest_session::say_goodbye() {
  if (state_ == state::playing) {
    send(channel::reliable, goodbye{});
    out_.disconnect(host_peer, false);
  }
  finish(ending::left);
}

std::string ending_text(guest_session::ending why, std::uint16_t host_version) {
  using ending = guest_session::ending;
  switch (why) {
    case ending::goodbye:
      return "Gospodarz zakonczyl gre";
    case ending::lost:
      return "Utracono polaczenie z gospodarzem";
    case ending::wrong_code:
      return "Gospodarz odrzucil kod dolaczenia";
    case ending::busy:
      return "Gospodarz gra juz z innym gosciem";
    case ending::version:
      return "Gospodarz ma inna wersje gry " + versions(host_version);
    case ending::unreachable:
      return "Nie mozna polaczyc sie z gospodarzem";
    case ending::none:
    case ending::left:
      break;
  }
  return "";
}

}  // namespace net
