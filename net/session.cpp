#include "net/session.hpp"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace net {

namespace {

static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES + 5 == seal_overhead);
static_assert(sizeof(key_bytes) == crypto_aead_chacha20poly1305_ietf_KEYBYTES);

// The nonce of a sealed message: its channel and its sequence number; each direction has its own key.
std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce_of(channel ch,
                                                                               std::uint32_t sequence) {
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> n{};
  n[0] = static_cast<std::uint8_t>(ch);
  for (int i = 0; i < 4; ++i) n[4 + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
  return n;
}

constexpr std::array<std::string_view, drop_reasons> drop_names = {
    "nieuwierzytelnione", "powtorzone", "poza oknem",
    "za dlugie",          "uciete",     "bledne",
    "nie w pore",         "zalew",      "z zablokowanego adresu",
    "za czesto",
};

constexpr std::array<std::string_view, refusal_reasons + 1> refusal_names = {
    "",
    "zly kod dolaczenia",
    "gra ma juz goscia",
    "inna wersja gry",
    "nie podal kodu na czas",
    "zbyt wiele zlych kodow",
};

std::string versions(std::uint16_t theirs) {
  return "(protokol" + common::image(theirs) + ", tutaj" + common::image(protocol_version) + ")";
}

// A fresh party and its point: drawn again in the rare case the randomness makes the zero scalar.
std::unique_ptr<cpace_party> started(cpace_party::role role, const join_code& code, const join_sid& sid,
                                     entropy& random, cpace::point& point) {
  const cpace::wiped_bytes channel = join_channel();
  for (;;) {
    auto party = std::make_unique<cpace_party>(role);
    std::array<std::uint8_t, 32> seed{};
    random.fill(seed);
    const std::optional<cpace::point> own = party->start(code.view(), sid, channel, seed);
    sodium_memzero(seed.data(), seed.size());
    if (own) {
      point = *own;
      return party;
    }
  }
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

join_code::join_code(std::string_view text) {
  if (text.size() != digits ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw std::invalid_argument("a join code is 8 digits");
  std::copy(text.begin(), text.end(), digits_.begin());
}

void join_code::wipe() {
  sodium_memzero(digits_.data(), digits_.size());
}

join_code draw_join_code(entropy& source) {
  // Rejection sampling: the 32-bit values above the last whole multiple of 10^8 would favour low codes.
  constexpr std::uint32_t codes = 100'000'000;
  constexpr std::uint32_t fair_below = 0xFFFFFFFFu - 0xFFFFFFFFu % codes;
  for (;;) {
    std::array<std::uint8_t, 4> b{};
    source.fill(b);
    std::uint32_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    sodium_memzero(b.data(), b.size());
    if (v >= fair_below) continue;
    v %= codes;
    std::array<char, join_code::digits> text{};
    for (std::size_t i = text.size(); i-- > 0; v /= 10) text[i] = static_cast<char>('0' + v % 10);
    join_code code(std::string_view(text.data(), text.size()));
    sodium_memzero(text.data(), text.size());
    return code;
  }
}

std::string shown_code(std::string_view digits) {
  return std::string(digits.substr(0, 4)) + "-" + std::string(digits.substr(4));
}

void wipe(std::span<char> text) {
  if (!text.empty()) sodium_memzero(text.data(), text.size());
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

drop_reason sealed_link::reason_of(fault f) {
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

// The nonce binds the channel and the sequence number that the envelope's header shows, and each direction
// has its own key: a header changed, a channel or a direction swapped, and the tag no longer checks out.
bytes sealed_link::seal(channel ch, std::span<const std::uint8_t> plaintext) {
  std::uint32_t& next = next_[static_cast<std::size_t>(ch)];
  if (next == 0) return {};  // wrapped round: never a nonce twice
  const std::uint32_t sequence = next++;
  const auto nonce = nonce_of(ch, sequence);
  bytes out = encode(sealed{sequence, {}});
  const std::size_t header = out.size();
  out.resize(header + plaintext.size() + crypto_aead_chacha20poly1305_ietf_ABYTES);
  crypto_aead_chacha20poly1305_ietf_encrypt(out.data() + header, nullptr, plaintext.data(), plaintext.size(),
                                            nullptr, 0, nullptr, nonce.data(), keys_.send.data());
  return out;
}

std::optional<std::span<const std::uint8_t>> sealed_link::decrypt(channel ch, const sealed& envelope) {
  replay_window& window = windows_[static_cast<std::size_t>(ch)];
  switch (window.check(envelope.sequence)) {
    case replay_window::verdict::replayed:
      last_drop_ = drop_reason::replayed;
      return std::nullopt;
    case replay_window::verdict::too_old:
      last_drop_ = drop_reason::outside_window;
      return std::nullopt;
    case replay_window::verdict::fresh:
      break;
  }
  // A fixed buffer: the envelope's length was bounded when the datagram was decoded.
  if (envelope.body.size() > max_message + crypto_aead_chacha20poly1305_ietf_ABYTES) {
    last_drop_ = drop_reason::oversized;
    return std::nullopt;
  }
  const auto nonce = nonce_of(ch, envelope.sequence);
  if (crypto_aead_chacha20poly1305_ietf_decrypt(plain_.data(), nullptr, nullptr, envelope.body.data(),
                                                envelope.body.size(), nullptr, 0, nonce.data(),
                                                keys_.receive.data()) != 0) {
    last_drop_ = drop_reason::unauthenticated;
    return std::nullopt;
  }
  window.take(envelope.sequence);  // authentic: its number is spent even if what it says is wrong
  return std::span<const std::uint8_t>(plain_.data(),
                                       envelope.body.size() - crypto_aead_chacha20poly1305_ietf_ABYTES);
}

// ---------------------------------------------------------------------------------------------------------

token_bucket::token_bucket(std::chrono::nanoseconds interval, int burst)
    : interval_(interval), full_(interval * burst), credit_(full_) {}

bool token_bucket::take(common::steady_time now) {
  if (!last_) {
    last_ = now;
  } else if (now > *last_) {
    credit_ = std::min(full_, credit_ + (now - *last_));
    last_ = now;
  }
  if (credit_ < interval_) return false;
  credit_ -= interval_;
  return true;
}

template <class Reason, std::size_t Count>
std::optional<std::pair<std::uint64_t, std::string>> tally<Reason, Count>::fresh(common::steady_time now) {
  if (last_report_ && now - *last_report_ < std::chrono::seconds(1)) return std::nullopt;
  std::uint64_t all = 0;
  std::string reasons;
  for (std::size_t i = 0; i < Count; ++i) {
    const std::uint64_t fresh = total_[i] - reported_[i];
    if (fresh == 0) continue;
    all += fresh;
    reasons += (reasons.empty() ? "" : ", ") + std::string(names_[i]) + ":" +
               common::image(static_cast<std::int64_t>(fresh));
  }
  if (all == 0) return std::nullopt;
  reported_ = total_;
  last_report_ = now;
  return std::pair(all, reasons);
}

drop_tally::drop_tally() : counts_(drop_names) {}

std::optional<std::string> drop_tally::report(common::steady_time now) {
  const auto fresh = counts_.fresh(now);
  if (!fresh) return std::nullopt;
  return "Odrzucono wiadomosci z sieci:" + common::image(static_cast<std::int64_t>(fresh->first)) + " (" +
         fresh->second + ")";
}

refusal_tally::refusal_tally() : counts_(refusal_names) {}

std::string_view refusal_text(refusal_reason why) {
  const auto i = static_cast<std::size_t>(why);
  return i < refusal_names.size() ? refusal_names[i] : "";
}

void refusal_tally::note(refusal_reason why, std::uint32_t address, std::string detail) {
  counts_.note(why);
  last_reason_ = why;
  last_address_ = address;
  last_detail_ = std::move(detail);
}

std::optional<std::string> refusal_tally::report(common::steady_time now) {
  const auto fresh = counts_.fresh(now);
  if (!fresh) return std::nullopt;
  if (fresh->first > 1)
    return "Odrzucono gosci:" + common::image(static_cast<std::int64_t>(fresh->first)) + " (" +
           fresh->second + ")";
  // The one refusal since the last line is the last one noted.
  return "Odrzucono goscia z adresu " + address_text(last_address_) + ": " +
         std::string(refusal_text(last_reason_)) + (last_detail_.empty() ? "" : " " + last_detail_);
}

// ---------------------------------------------------------------------------------------------------------

gatekeeper::budget& gatekeeper::budget_of(std::uint32_t address, common::steady_time now) {
  std::optional<budget>* place = nullptr;
  for (auto& b : budgets_) {
    if (b && b->address == address) return *b;
    // A free place, or the one heard from longest ago: a stranger's budget may push out another's, never
    // a record of wrong codes.
    if (!place || (*place && (!b || b->heard < (*place)->heard))) place = &b;
  }
  place->emplace();
  (*place)->address = address;
  (*place)->heard = now;
  return **place;
}

const gatekeeper::wrong_record* gatekeeper::record_of(std::uint32_t address) const {
  for (const auto& r : records_)
    if (r && r->address == address) return &*r;
  return nullptr;
}

std::optional<drop_reason> gatekeeper::refuses(const endpoint& from, common::steady_time now) {
  if (trusted_ && *trusted_ == from) return std::nullopt;
  if (blocked(from.address, now)) return drop_reason::blocked;
  budget& b = budget_of(from.address, now);
  b.heard = now;
  if (!b.tokens.take(now)) return drop_reason::flooding;
  return std::nullopt;
}

gatekeeper::verdict gatekeeper::wrong_code(std::uint32_t address, common::steady_time now) {
  ++total_wrong_;
  wrong_record* r = const_cast<wrong_record*>(record_of(address));
  if (r == nullptr) {
    for (auto& place : records_)
      if (!place) {
        place.emplace();
        place->address = address;
        r = &*place;
        break;
      }
  }
  if (r != nullptr) {
    int kept = 0;
    for (int i = 0; i < r->count; ++i)
      if (now - r->times[static_cast<std::size_t>(i)] < wrong_code_span)
        r->times[static_cast<std::size_t>(kept++)] = r->times[static_cast<std::size_t>(i)];
    r->times[static_cast<std::size_t>(kept)] = now;
    r->count = kept + 1;
  }
  if (closed()) return verdict::closed;
  if (r == nullptr || r->count < wrong_codes) return verdict::counted;
  r->count = 0;
  r->blocked_until = now + block_span;
  return verdict::blocked;
}

bool gatekeeper::blocked(std::uint32_t address, common::steady_time now) const {
  const wrong_record* r = record_of(address);
  return r != nullptr && now < r->blocked_until;
}

// ---------------------------------------------------------------------------------------------------------
// The host

struct host_session::candidate {
  peer_id peer = 0;
  endpoint from;
  common::steady_time since{};
  common::steady_time challenged_at{};
  bool greeted = false;
  cookie_bytes cookie{};
  std::unique_ptr<cpace_party> party;
  ~candidate() { sodium_memzero(cookie.data(), cookie.size()); }
};

struct host_session::playing {
  peer_id peer = 0;
  endpoint from;
  sealed_link link;
  common::steady_time heard{};
  token_bucket menu_choices{menu_interval, menu_burst};
};

host_session::host_session(const join_code& code, entropy& random, wire& out, runtime_log::sink& log)
    : code_(code), random_(random), out_(out), log_(log) {
  need_sodium();
}

host_session::~host_session() = default;

std::optional<endpoint> host_session::guest_endpoint() const {
  if (!guest_) return std::nullopt;
  return guest_->from;
}

std::chrono::milliseconds host_session::round_trip() const {
  return guest_ ? out_.round_trip(guest_->peer) : std::chrono::milliseconds(0);
}

host_session::candidate* host_session::candidate_of(peer_id peer) {
  for (auto& c : candidates_)
    if (c && c->peer == peer) return c.get();
  return nullptr;
}

void host_session::forget(peer_id peer, bool at_once) {
  for (auto& c : candidates_)
    if (c && c->peer == peer) c.reset();  // its party wipes what it knew
  out_.disconnect(peer, at_once);
}

void host_session::connected(peer_id peer, const endpoint& from, common::steady_time now) {
  if (gate_.blocked(from.address, now)) {
    drops_.note(drop_reason::blocked);
    out_.disconnect(peer, true);
    return;
  }
  for (auto& c : candidates_)
    if (c && c->from.address == from.address)
      forget(c->peer, true);  // one door per address: the older gives way
  std::unique_ptr<candidate>* place = nullptr;
  for (auto& c : candidates_)
    if (!place && !c) place = &c;
  if (!place) {
    // Every place taken: the oldest connection that never said hello gives way to the newcomer; else the
    // oldest that has left its challenge unanswered longer than a real guest would.
    const auto older = [&](bool greeted) {
      std::unique_ptr<candidate>* oldest = nullptr;
      for (auto& c : candidates_)
        if (c->greeted == greeted && (!greeted || now - c->challenged_at >= answer_wait) &&
            (!oldest || c->since < (*oldest)->since))
          oldest = &c;
      return oldest;
    };
    place = older(false);
    if (!place) place = older(true);
    if (!place) {
      out_.disconnect(peer, true);  // every place held by a guest in the middle of its join
      return;
    }
    forget((*place)->peer, true);
  }
  *place = std::make_unique<candidate>();
  (*place)->peer = peer;
  (*place)->from = from;
  (*place)->since = now;
}

void host_session::refuse(candidate& c, refusal_reason reason, std::string detail) {
  refusals_.note(reason, c.from.address, std::move(detail));
  out_.send(c.peer, channel::reliable, encode(refusal{protocol_version, reason}));
  forget(c.peer, false);
}

void host_session::take_hello(candidate& c, const hello& h, common::steady_time now) {
  if (gate_.closed()) return refuse(c, refusal_reason::closed);
  if (guest_) return refuse(c, refusal_reason::busy);
  challenge ch;
  random_.fill(ch.nonce);
  random_.fill(c.cookie);
  ch.cookie = c.cookie;
  c.party = started(cpace_party::role::host, code_, join_session_id(h.nonce, ch.nonce), random_, ch.point);
  c.greeted = true;
  c.challenged_at = now;
  out_.send(c.peer, channel::reliable, encode(ch));
}

host_session::happening host_session::take_proof(candidate& c, const proof& p, common::steady_time now) {
  // Only a proof that carries the challenge's cookie back comes from someone who receives at the address:
  // anything else is nobody's guess, and counts against nobody.
  if (sodium_memcmp(p.cookie.data(), c.cookie.data(), c.cookie.size()) != 0) {
    drops_.note(drop_reason::unauthenticated);
    forget(c.peer, true);
    return happening::none;
  }
  std::optional<confirmed_keys> keys;
  std::optional<join_tag> tag;  // taken before the check, which wipes what the exchange knew
  if (c.party->finish(p.point)) {
    tag = c.party->my_confirmation();
    keys = c.party->check(p.confirmation);
  }
  if (!keys) {
    const std::uint32_t address = c.from.address;
    refuse(c, refusal_reason::wrong_code);
    switch (gate_.wrong_code(address, now)) {
      case gatekeeper::verdict::counted:
        return happening::none;
      case gatekeeper::verdict::blocked:
        log_.info("Adres " + address_text(address) + " bedzie pomijany przez minute: 5 zlych kodow");
        return happening::none;
      case gatekeeper::verdict::closed:
        log_.info("Zbyt wiele zlych kodow dolaczenia: gra nie przyjmuje juz gosci z tym kodem");
        return happening::closed;
    }
  }
  if (guest_) {
    refuse(c, refusal_reason::busy);
    return happening::none;
  }
  out_.send(c.peer, channel::reliable, encode(confirmation{*tag}));
  sodium_memzero(tag->data(), tag->size());
  const peer_id peer = c.peer;
  const endpoint from = c.from;
  for (auto& other : candidates_)
    if (other && other->peer == peer) other.reset();  // no longer a candidate; the connection stays
  guest_ = std::make_unique<playing>(playing{peer, from, sealed_link(*keys), now});
  gate_.trust(from);
  log_.info("Gracz zielony dolaczyl przez siec z adresu " + address_text(from.address));
  send(channel::reliable, welcome{});
  return happening::joined;
}

host_session::outcome host_session::received(peer_id peer, channel ch, std::span<const std::uint8_t> data,
                                             common::steady_time now) {
  const decoded<to_host_datagram> d = decode_to_host(data);
  if (guest_ && guest_->peer == peer) {  // the playing guest: sealed messages only
    const auto* envelope = d.ok() ? std::get_if<sealed>(&d.value()) : nullptr;
    if (envelope == nullptr) {
      drops_.note(d.ok() ? drop_reason::out_of_turn : sealed_link::reason_of(d.why()));
      return {};
    }
    const auto opened = guest_->link.open<guest_message>(ch, *envelope);
    if (!opened.message) {
      drops_.note(opened.dropped);
      return {};
    }
    guest_->heard = now;
    if (std::holds_alternative<goodbye>(*opened.message)) {
      log_.info("Gracz zielony opuscil gre");
      out_.disconnect(peer, false);
      return {end_guest(happening::left), std::nullopt};
    }
    if (std::holds_alternative<menu_choice>(*opened.message) && !guest_->menu_choices.take(now)) {
      drops_.note(drop_reason::too_often);
      return {};
    }
    return {happening::none, opened.message};
  }
  candidate* c = candidate_of(peer);
  if (c == nullptr) {  // a connection already let go, or never taken
    drops_.note(drop_reason::out_of_turn);
    return {};
  }
  if (!d.ok() || ch != channel::reliable) {
    drops_.note(d.ok() ? drop_reason::out_of_turn : sealed_link::reason_of(d.why()));
    forget(peer, true);
    return {};
  }
  const to_host_datagram& got = d.value();
  if (!c->greeted) {
    if (const auto* h = std::get_if<hello>(&got)) {
      take_hello(*c, *h, now);
      return {};
    }
    if (const auto* other = std::get_if<foreign>(&got); other && other->type == definition<hello>::type) {
      refuse(*c, refusal_reason::version, versions(other->version));
      return {};
    }
  } else if (const auto* p = std::get_if<proof>(&got)) {
    return {take_proof(*c, *p, now), std::nullopt};
  }
  drops_.note(drop_reason::out_of_turn);
  forget(peer, true);
  return {};
}

host_session::happening host_session::end_guest(happening how) {
  guest_.reset();  // its link wipes its keys
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
  for (auto& c : candidates_) {
    if (!c) continue;
    if (!c->greeted && now - c->since >= hello_limit)
      forget(c->peer, true);  // said nothing: nobody to tell
    else if (now - c->since >= join_limit)
      refuse(*c, refusal_reason::too_slow);
  }
  if (guest_ && now - guest_->heard >= silence_limit) {
    log_.info("Utracono polaczenie z graczem zielonym");
    out_.disconnect(guest_->peer, true);
    return end_guest(happening::lost);
  }
  if (guest_ && out_.unacknowledged(guest_->peer) > most_unacknowledged) {
    log_.info("Gracz zielony nie odbiera danych: rozlaczono go");
    out_.disconnect(guest_->peer, true);
    return end_guest(happening::lost);
  }
  return happening::none;
}

void host_session::send(channel ch, const host_message& message) {
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
// The guest

guest_session::guest_session(const join_code& code, entropy& random, wire& out, common::steady_time now)
    : code_(code),
      random_(random),
      out_(out),
      deadline_(now + join_limit),
      challenge_due_(now + challenge_wait) {
  need_sodium();
}

guest_session::~guest_session() = default;

guest_session::ending guest_session::finish(ending why) {
  if (end_ == ending::none) end_ = why;
  state_ = state::ended;
  code_.wipe();
  party_.reset();
  return end_;
}

void guest_session::connected(common::steady_time) {
  if (state_ != state::connecting) return;
  random_.fill(nonce_);
  out_.send(host_peer, channel::reliable, encode(hello{protocol_version, nonce_}));
  state_ = state::greeted;
}

void guest_session::take_challenge(const challenge& c) {
  challenged_ = true;
  cpace::point point{};
  party_ = started(cpace_party::role::guest, code_, join_session_id(nonce_, c.nonce), random_, point);
  code_.wipe();  // the exchange has taken what it needs of the code
  if (!party_->finish(c.point)) {
    finish(ending::impostor);  // a point that is none: no host of ours
    return;
  }
  out_.send(host_peer, channel::reliable, encode(proof{c.cookie, point, *party_->my_confirmation()}));
  state_ = state::proved;
}

guest_session::outcome guest_session::refused(const refusal& no) {
  // Each refusal only where it can come: before the proof, anything but the code; after it, anything but
  // another version.
  const bool before_proof = state_ == state::greeted;
  switch (no.reason) {
    case refusal_reason::wrong_code:
      if (before_proof) break;
      return {finish(ending::wrong_code), std::nullopt};
    case refusal_reason::version:
      if (!before_proof) break;
      host_version_ = no.version;
      return {finish(ending::version), std::nullopt};
    case refusal_reason::busy:
      return {finish(ending::busy), std::nullopt};
    case refusal_reason::too_slow:
      return {finish(ending::unreachable), std::nullopt};
    case refusal_reason::closed:
      return {finish(ending::closed), std::nullopt};
  }
  drops_.note(drop_reason::out_of_turn);
  return {};
}

guest_session::outcome guest_session::received(channel ch, std::span<const std::uint8_t> data,
                                               common::steady_time now) {
  if (state_ == state::ended) return {end_, std::nullopt};
  const decoded<to_guest_datagram> d = decode_to_guest(data);
  if (!d.ok()) {
    drops_.note(sealed_link::reason_of(d.why()));
    return {};
  }
  const to_guest_datagram& got = d.value();
  const bool joining = state_ == state::greeted || state_ == state::proved;
  if (const auto* other = std::get_if<foreign>(&got); other && state_ == state::greeted) {
    host_version_ = other->version;  // the answer to the hello, of another version
    return {finish(ending::version), std::nullopt};
  }
  if (const auto* no = std::get_if<refusal>(&got); no && joining) return refused(*no);
  if (const auto* c = std::get_if<challenge>(&got);
      c && state_ == state::greeted && ch == channel::reliable) {
    take_challenge(*c);
    return {end_, std::nullopt};
  }
  if (const auto* yes = std::get_if<confirmation>(&got); yes && state_ == state::proved) {
    std::optional<confirmed_keys> keys = party_->check(yes->tag);
    party_.reset();
    if (!keys) return {finish(ending::impostor), std::nullopt};
    link_.emplace(*keys);
    state_ = state::confirmed;
    return {};
  }
  const auto* envelope = std::get_if<sealed>(&got);
  if (envelope == nullptr || !link_) {
    drops_.note(drop_reason::out_of_turn);
    return {};
  }
  const auto opened = link_->open<host_message>(ch, *envelope);
  if (!opened.message || (state_ == state::confirmed) != std::holds_alternative<welcome>(*opened.message)) {
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
  const bool waiting = state_ != state::playing && state_ != state::ended;
  if (waiting && (now >= deadline_ || (!challenged_ && now >= challenge_due_)))
    return finish(ending::unreachable);
  return end_;
}

void guest_session::send(channel ch, const guest_message& message) {
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
    case ending::closed:
      return "Gospodarz nie przyjmuje juz gosci z tym kodem";
    case ending::impostor:
      return "Drugi komputer nie zna kodu dolaczenia: to nie gospodarz tej gry";
    case ending::none:
    case ending::left:
      break;
  }
  return "";
}

template class tally<drop_reason, drop_reasons>;
template class tally<refusal_reason, refusal_reasons + 1>;

}  // namespace net
