// qelt-macs: prints the MAC addresses the agent would answer with, one a line.
// Exit code 0 when the adapter list was read, 1 when it was not.
#include <cstdio>
#include <list>
#include <string>

#include "mac_lookup/mac_lookup.h"

int main() {
  std::list<std::string> macs;
  if (!qelt::get_mac_addresses(macs)) return 1;
  for (const std::string& mac : macs) std::printf("%s\n", mac.c_str());
  return 0;
}
