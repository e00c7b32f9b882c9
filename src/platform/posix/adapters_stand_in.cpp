// The stand-in GetAdaptersAddresses over getifaddrs and /sys/class/net. The Linux
// agent does not call it (its list comes from platform/linux/adapter_facts); the
// benchmarks' reference server does, and only programs that call it link it.
#include "windows_stand_in.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <ifaddrs.h>
#include <net/if.h>
// The kernel's ARPHRD_ names, as adapter_facts.cpp takes them: glibc's net/if_arp.h
// defines the same structures again, and the two cannot share a unit.
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <unistd.h>

namespace {

bool sys_net_exists(const std::string& interface, const char* entry) {
  return ::access(("/sys/class/net/" + interface + "/" + entry).c_str(), F_OK) == 0;
}

struct adapter {
  DWORD index;
  std::string name;
  std::u16string wide_name;
  BYTE address[MAX_ADAPTER_ADDRESS_LENGTH];
  ULONG address_length;
  IFTYPE type;
  IF_OPER_STATUS status;
};

IFTYPE adapter_type(const std::string& name, unsigned short hatype) {
  if (hatype == ARPHRD_ETHER) {
    if (sys_net_exists(name, "wireless") || sys_net_exists(name, "phy80211")) return IF_TYPE_IEEE80211;
    return IF_TYPE_ETHERNET_CSMACD;
  }
  if (hatype == ARPHRD_LOOPBACK) return IF_TYPE_SOFTWARE_LOOPBACK;
  return IF_TYPE_OTHER;
}

IF_OPER_STATUS adapter_status(unsigned int flags) {
  // The kernel sets IFF_RUNNING for operstate up, and for unknown (loopback, some
  // drivers) while switched on, which Windows calls up too.
  return (flags & IFF_RUNNING) != 0 ? IfOperStatusUp : IfOperStatusDown;
}

std::u16string widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

// Type and state only where they are wanted: the size query needs just the names.
std::vector<adapter> list_adapters(bool classify) {
  std::vector<adapter> adapters;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return adapters;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
    adapter a{};
    a.index = static_cast<DWORD>(link->sll_ifindex);
    a.name = it->ifa_name;
    a.wide_name = widen(a.name);
    a.address_length = std::min<ULONG>(link->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
    std::memcpy(a.address, link->sll_addr, a.address_length);
    if (classify) {
      a.type = adapter_type(a.name, link->sll_hatype);
      a.status = adapter_status(it->ifa_flags);
    }
    adapters.push_back(std::move(a));
  }
  ::freeifaddrs(list);
  // Windows lists adapters in interface-index order.
  std::sort(adapters.begin(), adapters.end(),
            [](const adapter& x, const adapter& y) { return x.index < y.index; });
  return adapters;
}

}  // namespace

// Any GAA_FLAG_ combination is accepted, as on Windows. Address lists are never
// given here, so the SKIP_ flags for them change nothing; SKIP_FRIENDLY_NAME leaves
// the friendly name empty.
ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                           PULONG size) {
  if (size == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return ERROR_INVALID_PARAMETER;
  const std::vector<adapter> adapters = list_adapters(addresses != nullptr);
  const bool friendly_names = (flags & GAA_FLAG_SKIP_FRIENDLY_NAME) == 0;
  if (adapters.empty()) return ERROR_NO_DATA;

  // One block: the records, then the UTF-16 names and an empty one, then the ANSI names.
  std::size_t needed = adapters.size() * sizeof(IP_ADAPTER_ADDRESSES) + sizeof(WCHAR);
  for (const adapter& a : adapters) {
    needed += (a.wide_name.size() + 1) * sizeof(WCHAR) + a.name.size() + 1;
  }
  if (addresses == nullptr || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }

  std::memset(addresses, 0, needed);
  auto* records = addresses;
  // The UTF-16 names first, right after the records, so each stays 2-byte aligned.
  auto* wide = reinterpret_cast<WCHAR*>(records + adapters.size());
  WCHAR* const no_name = wide++;  // zeroed above
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    // Windows describes the adapter by its driver; Wine reports the Linux name for both.
    records[i].Description = wide;
    records[i].FriendlyName = friendly_names ? wide : no_name;
    std::memcpy(wide, adapters[i].wide_name.c_str(), (adapters[i].wide_name.size() + 1) * sizeof(WCHAR));
    wide += adapters[i].wide_name.size() + 1;
  }
  auto* narrow = reinterpret_cast<char*>(wide);
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const adapter& a = adapters[i];
    IP_ADAPTER_ADDRESSES& r = records[i];
    r.Length = sizeof(IP_ADAPTER_ADDRESSES);
    r.IfIndex = a.index;
    r.Next = i + 1 < adapters.size() ? &records[i + 1] : nullptr;
    r.AdapterName = narrow;
    std::memcpy(narrow, a.name.c_str(), a.name.size() + 1);
    narrow += a.name.size() + 1;
    std::memcpy(r.PhysicalAddress, a.address, sizeof r.PhysicalAddress);
    r.PhysicalAddressLength = a.address_length;
    r.IfType = a.type;
    r.OperStatus = a.status;
  }
  return NO_ERROR;
}

