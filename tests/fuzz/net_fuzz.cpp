// Fuzzes what a network game takes from strangers: the datagram and message decoders, the sealed link, and
// the host's and the guest's sessions fed a run of datagrams. On every input it checks what the game relies
// on:
//   - a decoder either refuses the bytes or gives a message that encodes back to exactly those bytes (so
//     nothing is read past, skipped or guessed); another version's first datagram is told apart;
//   - a message sealed and opened again comes out as decoding it in the clear does, or is dropped for the
//     same reason; opened twice, the second is a replay;
//   - datagrams from a stranger never make a guest of it, nor a playing guest of a guest, and whatever they
//     are, the session goes on.
// Built only with -DTOLVARAN_FUZZ=ON and clang++ (tools/fuzz.sh).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "net/session.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "net_fuzz: invariant broken: %s\n", what);
  std::abort();
}
void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

class null_wire final : public wire {
 public:
  void send(peer_id, channel, std::span<const std::uint8_t> data) override {
    check(data.size() <= max_datagram, "a datagram sent longer than one may be");
  }
  void disconnect(peer_id, bool) override {}
};

class fixed_entropy final : public entropy {
 public:
  void fill(std::span<std::uint8_t> out) override {
    for (auto& b : out) b = 0x5A;
  }
};

constexpr pwhash_cost cheap{1, 8192};

// The rest of the input as datagrams: each a length byte, a channel bit and that many bytes.
template <class Take>
void each_datagram(std::span<const std::uint8_t> in, Take take) {
  while (in.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(in[0], in.size() - 2);
    take(in[1] & 1 ? channel::moving : channel::reliable, in.subspan(2, length));
    in = in.subspan(2 + length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> in(data + 1, size - 1);
  static fixed_entropy random;
  static null_wire out;
  switch (data[0] % 4) {
    case 0: {
      const auto d = decode_datagram(in);
      if (!d.ok()) break;
      if (const auto* other = std::get_if<foreign>(&d.value())) {
        check(other->version != protocol_version, "this version taken for another");
        check(other->type == 1 || other->type == 2 || other->type == 4,
              "another version of a later datagram");
      } else {
        check(encode(d.value()) == bytes(in.begin(), in.end()), "a datagram that does not encode back");
      }
      break;
    }
    case 1: {
      const auto m = decode_message(in);
      if (m.ok())
        check(encode(m.value()) == bytes(in.begin(), in.end()), "a message that does not encode back");
      if (in.size() > max_message) check(!m.ok() && m.why() == fault::oversized, "a message too long taken");
      session_keys keys;
      keys.send.fill(1);
      keys.receive.fill(1);
      sealed_link sender(keys), receiver(keys);
      const bytes envelope = sender.seal(channel::reliable, in);
      const auto d = decode_datagram(envelope);
      if (in.size() > max_message) {
        check(!d.ok(), "an envelope too long taken");
        break;
      }
      check(d.ok(), "an envelope of a message that fits refused");
      const auto opened = receiver.open(channel::reliable, std::get<sealed>(d.value()));
      check(opened.message.has_value() == m.ok(), "sealing changes whether a message is taken");
      if (m.ok()) check(*opened.message == m.value(), "sealing changes a message");
      if (!m.ok()) {
        const drop_reason expected = m.why() == fault::truncated   ? drop_reason::truncated
                                     : m.why() == fault::oversized ? drop_reason::oversized
                                                                   : drop_reason::malformed;
        check(opened.dropped == expected, "sealing changes why a message is dropped");
      }
      const auto again = receiver.open(channel::reliable, std::get<sealed>(d.value()));
      check(!again.message && again.dropped == drop_reason::replayed, "a replay taken");
      break;
    }
    case 2: {
      static testing_support::recording_log log;
      log.clear();
      static const key_bytes code_key = derive_code_key("31415926", salt_bytes{}, cheap);
      host_session host({code_key, salt_bytes{}}, random, out, log);
      host.connected(1, {0x7F000001, 1}, common::steady_time{});
      each_datagram(in, [&](channel ch, std::span<const std::uint8_t> d) {
        check(!host.received(1, ch, d, common::steady_time{}).message, "a stranger's message acted on");
        check(!host.has_guest(), "a stranger joined without the code");
      });
      host.tick(common::steady_time{} + join_limit);
      break;
    }
    case 3: {
      guest_session guest({"27182818", cheap}, random, out, common::steady_time{});
      guest.connected(common::steady_time{});
      each_datagram(in, [&](channel ch, std::span<const std::uint8_t> d) {
        guest.received(ch, d, common::steady_time{});
        check(guest.current() != guest_session::state::playing,
              "a guest plays with a host that never knew the code");
      });
      guest.tick(common::steady_time{} + join_limit);
      check(guest.current() == guest_session::state::ended, "a guest waits for ever");
      break;
    }
  }
  return 0;
}
