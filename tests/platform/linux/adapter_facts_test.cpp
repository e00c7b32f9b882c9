#include <string>

#include <gtest/gtest.h>

#include <net/if.h>
#include <linux/if_arp.h>

#include "platform/linux/adapter_facts.h"

namespace qelt {
namespace {

sysfs_facts on_a_bus(std::string devtype = "", bool phy80211 = false) {
  return {std::move(devtype), phy80211, false};
}

adapter_facts link(std::string name, sysfs_facts sysfs, std::string kind = "") {
  return {2, std::move(name), IFF_UP | IFF_RUNNING, ARPHRD_ETHER, {2, 0, 0, 0, 0, 1}, std::move(kind),
          std::move(sysfs)};
}

TEST(adapter_facts, lists_working_ethernet_and_wifi_on_a_bus_and_no_software_device) {
  struct case_ {
    const char* what;
    adapter_facts facts;
    bool listed;
  };
  adapter_facts down = link("eth1", on_a_bus());
  down.flags = IFF_UP;  // switched on, no carrier
  adapter_facts loopback = link("lo", on_a_bus());
  loopback.link_type = ARPHRD_LOOPBACK;
  adapter_facts monitor = link("mon0", on_a_bus("wlan"));
  monitor.link_type = ARPHRD_IEEE80211_RADIOTAP;
  adapter_facts unmatched = link("eth0", on_a_bus());
  unmatched.sysfs.reset();
  adapter_facts infiniband = link("ib0", on_a_bus());
  infiniband.link_type = ARPHRD_INFINIBAND;
  const case_ cases[] = {
      {"Ethernet on a bus", link("eth0", on_a_bus()), true},
      {"Wi-Fi by DEVTYPE", link("wlp2s0", on_a_bus("wlan")), true},
      {"Wi-Fi by phy80211 alone", link("wlan0", on_a_bus("", true)), true},
      {"802.11 in another link type", monitor, true},
      {"not running", down, false},
      {"loopback", loopback, false},
      {"InfiniBand", infiniband, false},
      {"Ethernet with another DEVTYPE (a WWAN modem)", link("wwan0", on_a_bus("wwan")), false},
      {"veth", link("veth0", on_a_bus(), "veth"), false},
      {"bridge", link("br0", on_a_bus("bridge"), "bridge"), false},
      {"tap", link("tap0", on_a_bus(), "tun"), false},
      {"no kind, but under /sys/devices/virtual/net", link("ifb0", {"", false, true}), false},
      {"sysfs of another namespace (index differs)", unmatched, false},
      {"named virtual", link("MyVirtualNic", on_a_bus()), false},
      {"Wi-Fi named virtual", link("wlan-VIRTUAL", on_a_bus("wlan")), false},
  };
  for (const case_& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(is_listed_adapter(c.facts), c.listed);
  }
}

}  // namespace
}  // namespace qelt
