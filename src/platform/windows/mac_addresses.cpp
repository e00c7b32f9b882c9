// The agent's adapter list on Windows: the IP Helper, through the lookup's adapter_api.
#include "mac_lookup/mac_lookup.h"

namespace qelt {

const adapter_api& system_adapter_api() {
  static const adapter_api api{
      [](WORD version, WSADATA* data) { return WSAStartup(version, data); },
      [] { return WSACleanup(); },
      [](ULONG family, ULONG flags, PVOID reserved, IP_ADAPTER_ADDRESSES* addresses, ULONG* size) {
        return GetAdaptersAddresses(family, flags, reserved, addresses, size);
      },
  };
  return api;
}

bool get_mac_addresses(std::list<std::string>& macs) {
  return get_mac_addresses(macs, system_adapter_api());
}

}  // namespace qelt
