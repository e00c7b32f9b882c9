#include "mac_lookup/mac_lookup.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace qelt {

namespace {

// The lookup reads names, type, state and address only: without the address lists
// Windows builds far less for each adapter. The friendly name is still wanted.
constexpr ULONG query_flags =
    GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
constexpr int name_buffer_size = 512;

struct winsock_session {
  const adapter_api& api;
  ~winsock_session() { api.cleanup(); }
};

struct free_deleter {
  void operator()(void* block) const { std::free(block); }
};

bool accepted(const IP_ADAPTER_ADDRESSES& adapter) {
  if (adapter.OperStatus != IfOperStatusUp) return false;
  if (adapter.IfType != IF_TYPE_ETHERNET_CSMACD && adapter.IfType != IF_TYPE_IEEE80211) return false;
  const std::string friendly_name = wide_to_ansi(adapter.FriendlyName);
  const std::string description = wide_to_ansi(adapter.Description);
  if (find_ignore_case(description, "virtual", 0) != std::string::npos) return false;
  if (find_ignore_case(friendly_name, "virtual", 0) != std::string::npos) return false;
  return true;
}

void report_failure() { std::fprintf(stderr, "GetAdaptersAddresses() failed..."); }

bool is_high_surrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

bool get_mac_addresses(std::list<std::string>& macs, const adapter_api& api) {
  WSADATA wsa_data{};
  if (api.startup(MAKEWORD(2, 2), &wsa_data) != 0) return false;
  const winsock_session session{api};

  ULONG size = 0;
  if (api.get_adapters(AF_UNSPEC, query_flags, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) {
    report_failure();
    return false;
  }
  // A failed allocation leaves a null buffer, which the query answers with a failure.
  const std::unique_ptr<void, free_deleter> buffer(std::malloc(size));
  auto* adapters = static_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
  if (api.get_adapters(AF_UNSPEC, query_flags, nullptr, adapters, &size) != NO_ERROR) {
    report_failure();
    return false;
  }

  // Collected apart so that an exception part-way leaves the caller's list as it was.
  std::list<std::string> found;
  for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
    if (accepted(*adapter)) found.push_back(mac_text(adapter->PhysicalAddress));
  }
  macs.splice(macs.end(), found);
  return true;
}

std::string wide_to_ansi(const WCHAR* wide) {
  if (wide == nullptr) return {};
  int length = 0;
  while (wide[length] != 0) ++length;
  if (length == 0) return {};

  // The last byte stays zero, so the text is always terminated within the buffer.
  constexpr int room = name_buffer_size - 1;
  // A name too long for the buffer is cut at a character boundary, not dropped:
  // its first 511 bytes still decide whether it is called "virtual".
  int needed = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  while (needed > room && length > 0) {
    length = static_cast<int>(static_cast<long long>(length) * room / needed);
    if (length > 0 && is_high_surrogate(wide[length - 1])) --length;
    needed = length > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr) : 0;
  }
  char buffer[name_buffer_size] = {};
  if (length > 0) WideCharToMultiByte(CP_ACP, 0, wide, length, buffer, room, nullptr, nullptr);
  return buffer;
}

std::string::size_type find_ignore_case(std::string text, std::string what,
                                        std::string::size_type start) {
  // Bytes go to tolower as unsigned char: a negative char is undefined behaviour there.
  const auto fold = [](std::string& s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  fold(text);
  fold(what);
  return text.find(what, start);
}

std::string mac_text(const BYTE* address) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text(17, ':');
  for (int i = 0; i < 6; ++i) {
    text[i * 3] = digits[address[i] >> 4];
    text[i * 3 + 1] = digits[address[i] & 0x0F];
  }
  return text;
}

}  // namespace qelt
