// Stand-ins for the Windows calls the agent makes, built from what Linux offers.
#include "windows_stand_in.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <net/if.h>
#include <unistd.h>

namespace {

thread_local DWORD last_error = 0;

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

// Decodes one code point from UTF-16; unpaired surrogates become U+FFFD.
char32_t next_code_point(const WCHAR*& it, const WCHAR* end) {
  char32_t unit = *it++;
  if (unit >= 0xD800 && unit <= 0xDBFF && it != end && *it >= 0xDC00 && *it <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(*it++) - 0xDC00);
  }
  if (unit >= 0xD800 && unit <= 0xDFFF) return 0xFFFD;
  return unit;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code error;
  const std::u16string path = std::filesystem::read_symlink("/proc/self/exe", error).u16string();
  if (error) {
    SetLastError(static_cast<DWORD>(error.value()));
    return 0;
  }
  // As on Windows: a path that does not fit is cut, terminated, and the size is returned.
  if (path.size() >= size) {
    std::copy_n(path.data(), size - 1, file_name);
    file_name[size - 1] = u'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy_n(path.c_str(), path.size() + 1, file_name);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// The ANSI code page here is UTF-8. Like Windows: a size of 0 asks for the size
// needed, and output that does not fit fails with ERROR_INSUFFICIENT_BUFFER.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR multi,
                        int multi_size, LPCCH, LPBOOL) {
  if (code_page != CP_ACP || flags != 0 || wide == nullptr || wide_length == 0 || multi_size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const WCHAR* end = wide;
  if (wide_length < 0) {
    while (*end != 0) ++end;
    ++end;  // the terminator is converted too
  } else {
    end = wide + wide_length;
  }
  std::string out;
  for (const WCHAR* it = wide; it != end;) append_utf8(out, next_code_point(it, end));
  if (multi_size == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<std::size_t>(multi_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(multi, out.data(), out.size());
  return static_cast<int>(out.size());
}

int WSAStartup(WORD version, LPWSADATA data) {
  if (data != nullptr) *data = WSADATA{version, MAKEWORD(2, 2)};
  return 0;
}

int WSACleanup() { return 0; }

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

// Nothing starts a process as a Windows service here.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return nullptr;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// There is no service database here: management fails as it does without
// administrator rights.
SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

SC_HANDLE CreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                         DWORD*, LPCWSTR, LPCWSTR, LPCWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

BOOL DeleteService(SC_HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) { return handle != nullptr ? TRUE : FALSE; }
