// The MAC addresses of the machine's working Ethernet and IEEE 802.11 adapters.
#pragma once

#include <list>
#include <string>

#include "platform/windows_api.h"

namespace qelt {

// The system calls the Windows lookup makes. Tests hand in their own to play adapter
// lists and failures; the Windows agent always uses system_adapter_api().
struct adapter_api {
  int (*startup)(WORD version, WSADATA* data);
  int (*cleanup)();
  ULONG (*get_adapters)(ULONG family, ULONG flags, PVOID reserved,
                        IP_ADAPTER_ADDRESSES* addresses, ULONG* size);
};

// Windows only (platform/windows/mac_addresses.cpp).
const adapter_api& system_adapter_api();

// Appends the MAC text ("00:1A:2B:3C:4D:5E") of every adapter that is up, is
// Ethernet or IEEE 802.11, and is not named "virtual", in the system's order.
// False, with the list untouched, when the adapter list could not be read.
// The system's list: on Windows through system_adapter_api(), on Linux from
// netlink and sysfs (platform/linux/adapter_facts.h), each in platform/*/mac_addresses.cpp.
bool get_mac_addresses(std::list<std::string>& macs);
// The Windows algorithm over the calls given.
bool get_mac_addresses(std::list<std::string>& macs, const adapter_api& api);

// The ANSI form of a NUL-terminated UTF-16 text, cut to at most 511 bytes.
std::string wide_to_ansi(const WCHAR* wide);

// First position at or after start where what occurs in text, ignoring ASCII case.
std::string::size_type find_ignore_case(std::string text, std::string what,
                                        std::string::size_type start);

// The first six bytes of an adapter address as upper-case hex pairs joined by ':'.
std::string mac_text(const BYTE* address);

}  // namespace qelt
