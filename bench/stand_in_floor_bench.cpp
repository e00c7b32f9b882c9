// Linux only (added to qelt-lookup-bench by the build file where it applies).
#include <benchmark/benchmark.h>

#include <string>

#include <ifaddrs.h>
#include <net/if_arp.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

namespace qelt::bench {

namespace {

// The floor under the Linux stand-in's two GetAdaptersAddresses calls: two
// getifaddrs() dumps, type and state from the dump itself (sll_hatype,
// IFF_RUNNING) and one access() for wireless per Ethernet interface.
void stand_in_floor(benchmark::State& state) {
  std::size_t found = 0;
  for (auto _ : state) {
    for (int call = 0; call < 2; ++call) {
      ifaddrs* list = nullptr;
      if (::getifaddrs(&list) != 0) state.SkipWithError("getifaddrs failed");
      found = 0;
      for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        const bool running = (it->ifa_flags & IFF_RUNNING) != 0;
        if (call == 1 && link->sll_hatype == ARPHRD_ETHER) {
          const std::string wireless = std::string("/sys/class/net/") + it->ifa_name + "/phy80211";
          benchmark::DoNotOptimize(::access(wireless.c_str(), F_OK));
        }
        if (running) ++found;
      }
      ::freeifaddrs(list);
    }
  }
  state.counters["up"] = static_cast<double>(found);
}
BENCHMARK(stand_in_floor);

}  // namespace

}  // namespace qelt::bench
