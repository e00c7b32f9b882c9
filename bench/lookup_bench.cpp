// The per-request costs of the agent apart: the adapter lookup against the
// system (run it inside a namespace with a known number of interfaces), the
// lookup's own work over synthetic adapter lists of several sizes, one log
// record written and flushed to the daily file, and the origin policy's decision
// for an allowed request.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_manager.h"
#include "mac_lookup/mac_lookup.h"
#include "policy/origin_policy.h"

namespace qelt::bench {

namespace {

void system_lookup(benchmark::State& state) {
  std::size_t found = 0;
  for (auto _ : state) {
    std::list<std::string> macs;
    if (!get_mac_addresses(macs)) state.SkipWithError("lookup failed");
    found = macs.size();
    benchmark::DoNotOptimize(macs);
  }
  state.counters["macs"] = static_cast<double>(found);
}
BENCHMARK(system_lookup);


// A ready-made block of N adapters, copied out as GetAdaptersAddresses would.
struct synthetic_list {
  std::vector<unsigned char> block;
  std::vector<std::ptrdiff_t> next;  // offsets to patch after the copy
};
synthetic_list* current_list = nullptr;

synthetic_list make_list(int count) {
  const std::u16string friendly = u"Ethernet 12";
  const std::u16string description = u"Intel(R) Ethernet Connection (7) I219-LM";
  const std::size_t names = (friendly.size() + 1 + description.size() + 1) * sizeof(char16_t);
  synthetic_list list;
  list.block.resize(count * (sizeof(IP_ADAPTER_ADDRESSES) + names));
  auto* records = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list.block.data());
  auto* strings = reinterpret_cast<unsigned char*>(records + count);
  for (int i = 0; i < count; ++i) {
    IP_ADAPTER_ADDRESSES& r = records[i];
    r = IP_ADAPTER_ADDRESSES{};
    r.Length = sizeof r;
    r.IfType = IF_TYPE_ETHERNET_CSMACD;
    r.OperStatus = IfOperStatusUp;
    const unsigned char mac[] = {0x02, 0x00, 0x00, 0x00, static_cast<unsigned char>(i >> 8),
                                 static_cast<unsigned char>(i)};
    std::memcpy(r.PhysicalAddress, mac, sizeof mac);
    r.PhysicalAddressLength = 6;
    std::memcpy(strings, friendly.c_str(), (friendly.size() + 1) * sizeof(char16_t));
    list.next.push_back(strings - list.block.data());
    strings += (friendly.size() + 1) * sizeof(char16_t);
    std::memcpy(strings, description.c_str(), (description.size() + 1) * sizeof(char16_t));
    list.next.push_back(strings - list.block.data());
    strings += (description.size() + 1) * sizeof(char16_t);
  }
  return list;
}

ULONG synthetic_get_adapters(ULONG, ULONG, PVOID, IP_ADAPTER_ADDRESSES* addresses, ULONG* size) {
  const synthetic_list& list = *current_list;
  if (addresses == nullptr || *size < list.block.size()) {
    *size = static_cast<ULONG>(list.block.size());
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memcpy(addresses, list.block.data(), list.block.size());
  auto* base = reinterpret_cast<unsigned char*>(addresses);
  const std::size_t count = list.next.size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    addresses[i].Next = i + 1 < count ? &addresses[i + 1] : nullptr;
    addresses[i].FriendlyName = reinterpret_cast<PWCHAR>(base + list.next[2 * i]);
    addresses[i].Description = reinterpret_cast<PWCHAR>(base + list.next[2 * i + 1]);
  }
  return NO_ERROR;
}

void synthetic_lookup(benchmark::State& state) {
  synthetic_list list = make_list(static_cast<int>(state.range(0)));
  current_list = &list;
  const adapter_api api{[](WORD, WSADATA*) { return 0; }, [] { return 0; }, synthetic_get_adapters};
  for (auto _ : state) {
    std::list<std::string> macs;
    get_mac_addresses(macs, api);
    benchmark::DoNotOptimize(macs);
  }
  current_list = nullptr;
  state.SetComplexityN(state.range(0));
}
BENCHMARK(synthetic_lookup)->Arg(1)->Arg(2)->Arg(32)->Arg(64)->Arg(256)->Complexity();

// One info record as the handlers write it, flushed to the daily file. The
// console sink is there too, as in the agent; run with standard output to /dev/null.
void log_record(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("qelt-bench-log-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  log_manager::create((folder / "qelt.log").string(), "QELT_LOGGER", "debug");
  const std::string path = "/mac";
  const std::string address = "127.0.0.1";
  for (auto _ : state) QELT_INFO("mac addres request: {}, {}", path, address);
  std::filesystem::remove_all(folder);
}
BENCHMARK(log_record);

// What an allowed request pays for the policy: its Origin parsed and matched
// against a list of a few entries, the last one matching.
void origin_decision(benchmark::State& state) {
  const origin_policy policy = origin_policy::from_entries(
      "bench", {"https://intranet.example.org", "http://localhost:8080", "https://[*.]example.com"});
  const std::string origin = "https://app.example.com";
  for (auto _ : state) {
    const access_decision access = decide_access(policy, mac_route::json, {origin, std::nullopt});
    benchmark::DoNotOptimize(access);
  }
}
BENCHMARK(origin_decision);

}  // namespace

}  // namespace qelt::bench

BENCHMARK_MAIN();
