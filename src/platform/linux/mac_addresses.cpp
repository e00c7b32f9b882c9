// The agent's adapter list on Linux: netlink and sysfs, classified by is_listed_adapter.
#include <algorithm>
#include <array>
#include <vector>

#include "mac_lookup/mac_lookup.h"
#include "platform/linux/adapter_facts.h"

namespace qelt {

bool get_mac_addresses(std::list<std::string>& macs) {
  std::vector<adapter_facts> adapters;
  if (!read_adapter_facts(adapters)) return false;
  std::list<std::string> found;
  for (const adapter_facts& adapter : adapters) {
    if (!is_listed_adapter(adapter)) continue;
    // Six bytes, zero-filled where the address is shorter, as the Windows lookup reads them.
    std::array<BYTE, 6> address{};
    std::copy_n(adapter.address.begin(), std::min(adapter.address.size(), address.size()), address.begin());
    found.push_back(mac_text(address.data()));
  }
  macs.splice(macs.end(), found);
  return true;
}

}  // namespace qelt
