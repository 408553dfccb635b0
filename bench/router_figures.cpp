// How long the host's router takes to map its port, on loopback stand-ins (tests/support/router_responder):
// from `open` to the router's receipt of the mapping request, for a UPnP router that answers, and for a
// NAT-PMP gateway after a UPnP search that nobody answers (so the search's wait comes first). Prints the
// median and the slowest of each, and how long a removal takes.
//
//   build/bench/router_figures [rounds]      default 20
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/router.hpp"
#include "support/router_responder.hpp"

namespace {

using namespace std::chrono;
using testing_support::natpmp_responder;
using testing_support::upnp_responder;

constexpr std::uint16_t port = 47630;

struct figures {
  std::vector<double> to_mapping, closing;
  void print(const char* what) {
    for (auto* v : {&to_mapping, &closing}) std::sort(v->begin(), v->end());
    std::printf("%-28s to the mapping: median %7.2f ms, slowest %7.2f ms; removal: median %6.2f ms\n", what,
                to_mapping[to_mapping.size() / 2], to_mapping.back(), closing[closing.size() / 2]);
  }
};

double ms(steady_clock::duration d) {
  return duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  common::steady_clock_source clock;
  figures upnp, natpmp;
  for (int i = 0; i < rounds; ++i) {
    {
      upnp_responder router(200);
      net::router_settings s;
      s.search = router.search_address();
      s.gateway = testing_support::loopback(201);
      net::port_mapper mapper(s, clock);
      const auto start = steady_clock::now();
      if (!mapper.open(port).mapped()) return 1;
      upnp.to_mapping.push_back(ms(router.requests("AddPortMapping").at(0).at - start));
      const auto closing = steady_clock::now();
      mapper.close();
      upnp.closing.push_back(ms(steady_clock::now() - closing));
    }
    {
      upnp_responder silent(202);
      silent.stay_silent();
      natpmp_responder gateway(203, 209);
      net::router_settings s;
      s.search = silent.search_address();
      s.gateway = gateway.address();
      net::port_mapper mapper(s, clock);
      const auto start = steady_clock::now();
      if (!mapper.open(port).mapped()) return 1;
      natpmp.to_mapping.push_back(ms(gateway.requests().at(1).at - start));
      const auto closing = steady_clock::now();
      mapper.close();
      natpmp.closing.push_back(ms(steady_clock::now() - closing));
    }
  }
  upnp.print("UPnP:");
  natpmp.print("NAT-PMP after a silent search:");
  return 0;
}
