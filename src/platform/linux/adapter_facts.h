// What the kernel says of each network interface, and which of them the agent lists.
// Netlink says what exists; sysfs only describes the interfaces netlink named.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qelt {

// Where an interface's device sits, from sysfs.
struct sysfs_facts {
  std::string devtype;          // DEVTYPE from its uevent, empty when it has none
  bool phy80211 = false;        // it has a phy80211 entry (a cfg80211 wireless device)
  bool virtual_device = false;  // it is under /sys/devices/virtual/net: no device on a bus
};

struct adapter_facts {
  int index = 0;
  std::string name;
  unsigned int flags = 0;              // IFF_*
  unsigned short link_type = 0;        // ARPHRD_*
  std::vector<unsigned char> address;  // IFLA_ADDRESS: the current address
  std::string link_kind;               // IFLA_INFO_KIND, empty when it has none
  // None where sysfs was not read (netlink had decided already) or did not match
  // netlink's index (a sysfs mounted in another namespace, or the interface gone).
  std::optional<sysfs_facts> sysfs;
};

// Replaces adapters with one RTM_GETLINK dump, in the kernel's order, and the sysfs
// facts of the interfaces that netlink alone does not rule out. False, with what
// failed on standard error, when the dump could not be read.
bool read_adapter_facts(std::vector<adapter_facts>& adapters);

// Working (IFF_RUNNING), Ethernet (ARPHRD_ETHER, no DEVTYPE) or IEEE 802.11
// (DEVTYPE wlan or phy80211), not a software device (no link kind, confirmed on a
// bus by sysfs), and not named "virtual" in any case.
bool is_listed_adapter(const adapter_facts& facts);

}  // namespace qelt
