#include "net/codec.hpp"

#include <algorithm>
#include <optional>
#include <tuple>

namespace net {

namespace {

template <class List>
struct all_types;
template <class... M>
struct all_types<type_list<M...>> {
  static constexpr std::array<std::uint8_t, sizeof...(M)> numbers{definition<M>::type...};
};
template <class List>
constexpr bool numbers_unique() {
  auto n = all_types<List>::numbers;
  std::sort(n.begin(), n.end());
  return std::adjacent_find(n.begin(), n.end()) == n.end();
}
static_assert(numbers_unique<join_datagrams>() && numbers_unique<game_messages>(),
              "two messages of one layer share a type number");

template <class M>
constexpr bool versioned() {
  if constexpr (std::is_same_v<M, foreign>)
    return false;
  else if constexpr (requires { definition<M>::versioned; })
    return definition<M>::versioned;
  else
    return false;
}

// Reads the message of type `t` among the alternatives of V that are messages (not `foreign`); a type that
// none of them has is malformed: a side takes only what the other side may send.
template <class V, std::size_t... I>
decoded<V> dispatch(byte_reader& r, std::uint8_t t, std::index_sequence<I...>) {
  std::optional<decoded<V>> out;
  const auto try_one = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) {
    using M = std::variant_alternative_t<J, V>;
    if constexpr (!std::is_same_v<M, foreign>) {
      if (out || definition<M>::type != t) return;
      M m{};
      if constexpr (versioned<M>()) m.version = protocol_version;
      definition<M>::fields(r, m);
      out = r.finish<V>(std::move(m));
    }
  };
  (try_one(std::integral_constant<std::size_t, I>{}), ...);
  if (out) return *out;
  r.fail(fault::malformed);
  return {fault::malformed};
}

template <class V>
decoded<V> decode_message(std::span<const std::uint8_t> in) {
  if (in.size() > max_message) return {fault::oversized};
  byte_reader r(in);
  const std::uint8_t t = r.u8();
  if (r.failed()) return {fault::truncated};
  return dispatch<V>(r, t, std::make_index_sequence<std::variant_size_v<V>>{});
}

// Whether the datagram of V with the type number `t` starts with the magic word and the version.
template <class M>
bool versioned_of_type(std::uint8_t t) {
  if constexpr (versioned<M>())
    return definition<M>::type == t;
  else
    return false;
}
template <class V, std::size_t... I>
bool versioned_type(std::uint8_t t, std::index_sequence<I...>) {
  return (versioned_of_type<std::variant_alternative_t<I, V>>(t) || ...);
}

template <class V>
decoded<V> decode_datagram(std::span<const std::uint8_t> in) {
  if (in.size() > max_datagram) return {fault::oversized};
  byte_reader r(in);
  const std::uint8_t t = r.u8();
  if (r.failed()) return {fault::truncated};
  constexpr auto all = std::make_index_sequence<std::variant_size_v<V>>{};
  // Another version is told apart before anything else, and laid out as that version lays it out: not
  // this decoder's to judge.
  if (versioned_type<V>(t, all)) {
    if (!r.magic_word()) return r.finish<V>(foreign{});
    const std::uint16_t version = r.u16();
    if (version != protocol_version) {
      r.skip_rest();
      return r.finish<V>(foreign{t, version});
    }
  }
  return dispatch<V>(r, t, all);
}

}  // namespace

info info_of(std::string_view text) {
  info m;
  m.length = static_cast<std::uint8_t>(std::min(text.size(), max_info));
  std::copy_n(text.begin(), m.length, m.text.begin());
  return m;
}

bytes encode(const foreign& m) {
  byte_writer w(m.type);
  w.versioned(m.version);
  return w.take();
}

decoded<to_guest_datagram> decode_to_guest(std::span<const std::uint8_t> in) {
  return decode_datagram<to_guest_datagram>(in);
}
decoded<to_host_datagram> decode_to_host(std::span<const std::uint8_t> in) {
  return decode_datagram<to_host_datagram>(in);
}
decoded<host_message> decode_host_message(std::span<const std::uint8_t> in) {
  return decode_message<host_message>(in);
}
decoded<guest_message> decode_guest_message(std::span<const std::uint8_t> in) {
  return decode_message<guest_message>(in);
}

template <>
decoded<host_message> decode_as<host_message>(std::span<const std::uint8_t> in) {
  return decode_host_message(in);
}
template <>
decoded<guest_message> decode_as<guest_message>(std::span<const std::uint8_t> in) {
  return decode_guest_message(in);
}

}  // namespace net
