// Fuzzes what a host takes from strangers: the datagram and message decoders, the sealed link and the host's
// session fed a run of datagrams. On every input it checks what the game relies on:
//   - a decoder either refuses the bytes or gives a message that encodes back to exactly those bytes (nothing
//     read past, skipped or guessed); another version's first datagram is told apart;
//   - a message sealed and opened comes out as decoding it in the clear does, or is dropped for the same
//     reason; opened twice, the second is a replay;
//   - a stranger's datagrams never make a guest of it nor a message the host acts on;
//   - a probe or an answer of this version decodes only from the bytes it encodes to, and a host never
//     answers with more bytes than it was sent.
// Built only with -DTOLVARAN_FUZZ=ON and clang++ (tools/fuzz.sh).
#include <cstdio>
#include <cstdlib>

#include "net/discovery.hpp"
#include "net/session.hpp"
#include "support/recording_log.hpp"

namespace {

using namespace net;

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "net_fuzz: invariant broken: %s\n", what);
  std::abort();
}

struct null_wire final : wire {
  void send(peer_id, channel, std::span<const std::uint8_t> data) override {
    check(data.size() <= max_datagram, "a datagram sent longer than one may be");
  }
  void disconnect(peer_id, bool) override {}
};

struct fixed_entropy final : entropy {
  void fill(std::span<std::uint8_t> out) override { std::fill(out.begin(), out.end(), 0x5A); }
};

drop_reason reason_of(fault f) {
  return f == fault::truncated   ? drop_reason::truncated
         : f == fault::oversized ? drop_reason::oversized
                                 : drop_reason::malformed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> in(data + 1, size - 1);
  const bytes as_given(in.begin(), in.end());
  switch (data[0] % 4) {
    case 0: {
      const auto to_host = decode_to_host(in);
      if (to_host.ok()) {
        if (const auto* other = std::get_if<foreign>(&to_host.value()))
          check(other->version != protocol_version && other->type == definition<hello>::type,
                "another version told apart wrongly");
        else
          check(encode(to_host.value()) == as_given, "a datagram that does not encode back");
      }
      const auto to_guest = decode_to_guest(in);
      if (to_guest.ok()) {
        if (const auto* other = std::get_if<foreign>(&to_guest.value()))
          check(other->version != protocol_version &&
                    (other->type == definition<challenge>::type || other->type == definition<refusal>::type),
                "another version told apart wrongly");
        else
          check(encode(to_guest.value()) == as_given, "a datagram that does not encode back");
      }
      // Only a sealed envelope is taken by both sides.
      check(!(to_host.ok() && to_guest.ok()) || std::holds_alternative<sealed>(to_host.value()),
            "a datagram of the join taken by both sides");
      break;
    }
    case 1: {
      const auto m = decode_guest_message(in);
      if (m.ok()) check(encode(m.value()) == as_given, "a message that does not encode back");
      if (in.size() > max_message) check(!m.ok() && m.why() == fault::oversized, "a message too long taken");
      const auto from_host = decode_host_message(in);
      if (from_host.ok()) check(encode(from_host.value()) == as_given, "a message that does not encode back");
      check(!(m.ok() && from_host.ok()) || std::holds_alternative<goodbye>(m.value()),
            "a message taken from both sides");
      confirmed_keys keys;
      keys.send.fill(1);
      keys.receive.fill(1);
      sealed_link sender(keys), receiver(keys);
      const bytes envelope = sender.seal(channel::reliable, in);  // the decoded body points into it
      const auto d = decode_to_host(envelope);
      check(d.ok() == (in.size() <= max_message), "an envelope taken or refused for its length wrongly");
      if (!d.ok()) break;
      const auto opened = receiver.open<guest_message>(channel::reliable, std::get<sealed>(d.value()));
      check(opened.message.has_value() == m.ok(), "sealing changes whether a message is taken");
      check(m.ok() ? *opened.message == m.value() : opened.dropped == reason_of(m.why()),
            "sealing changes a message or why it is dropped");
      const auto again = receiver.open<guest_message>(channel::reliable, std::get<sealed>(d.value()));
      check(!again.message && again.dropped == drop_reason::replayed, "a replay taken");
      break;
    }
    case 2: {
      static null_wire out;
      static fixed_entropy random;
      static testing_support::recording_log log;
      log.clear();
      host_session host(join_code("31415926"), random, out, log);
      host.connected(1, {0x7F000001, 1}, common::steady_time{});
      // The rest as datagrams: each a length byte, a channel bit and that many bytes.
      for (std::span<const std::uint8_t> rest = in; rest.size() >= 2;) {
        const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 2);
        const channel ch = rest[1] & 1 ? channel::moving : channel::reliable;
        check(!host.received(1, ch, rest.subspan(2, length), common::steady_time{}).message,
              "a stranger's message acted on");
        check(!host.has_guest(), "a stranger joined without the code");
        rest = rest.subspan(2 + length);
      }
      host.tick(common::steady_time{} + join_limit);
      break;
    }
    case 3: {
      const auto d = decode_lan(in);
      if (d.ok() && std::visit([](const auto& m) { return m.version; }, d.value()) == protocol_version)
        check(encode_lan(d.value()) == as_given, "a probe or an answer that does not encode back");
      static lan_responder host("fuzz", 1);
      static common::steady_time now{};
      now += lan_responder::answer_interval;  // never short of answers
      check(host.take(in, now).reply.size() <= in.size(), "an answer longer than what asked for it");
      break;
    }
  }
  return 0;
}
