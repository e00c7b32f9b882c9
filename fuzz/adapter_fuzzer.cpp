// libFuzzer target: adapter lists made from the input go through the lookup's
// filter and MAC text via the adapter_api seam. The chain is laid out the way
// GetAdaptersAddresses does it, records and UTF-16 names in the one block the
// lookup allocates, so that a read past any name or past the block is caught.
// Names come as ASCII, as raw UTF-16 units (non-ASCII, unpaired surrogates),
// with "virtual" in mixed case, very long, empty or missing.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "mac_lookup/mac_lookup.h"

namespace qelt::fuzz {

namespace {

// Not in the stand-in's header; the value Windows uses.
constexpr ULONG error_not_enough_memory = 8;

struct fake_adapter {
  IFTYPE type;
  IF_OPER_STATUS status;
  BYTE address[MAX_ADAPTER_ADDRESS_LENGTH];
  ULONG address_length;
  std::optional<std::u16string> friendly_name;
  std::optional<std::u16string> description;
};

struct fake_system {
  int startup_result = 0;
  ULONG first_result = ERROR_BUFFER_OVERFLOW;
  ULONG second_result = NO_ERROR;
  std::vector<fake_adapter> adapters;
  int calls = 0;
  int cleanups = 0;

  std::size_t strings_size() const {
    std::size_t size = 0;
    for (const auto& a : adapters) {
      if (a.friendly_name) size += (a.friendly_name->size() + 1) * sizeof(WCHAR);
      if (a.description) size += (a.description->size() + 1) * sizeof(WCHAR);
    }
    return size;
  }
  ULONG needed() const {
    return static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_ADDRESSES) + strings_size());
  }
};

fake_system* current = nullptr;

WCHAR* put_name(char*& strings, const std::optional<std::u16string>& name) {
  if (!name) return nullptr;
  auto* start = reinterpret_cast<WCHAR*>(strings);
  const std::size_t bytes = (name->size() + 1) * sizeof(WCHAR);
  std::memcpy(strings, name->c_str(), bytes);
  strings += bytes;
  return start;
}

ULONG fake_get_adapters(ULONG, ULONG, PVOID, IP_ADAPTER_ADDRESSES* addresses, ULONG* size) {
  fake_system& system = *current;
  ++system.calls;
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  if (system.calls == 1 && system.first_result != ERROR_BUFFER_OVERFLOW) return system.first_result;
  // As Windows answers when there is no adapter at all, whatever the buffer.
  if (system.adapters.empty()) return ERROR_NO_DATA;
  if (system.calls >= 2 && system.second_result != NO_ERROR) {
    // The list grew between the two calls: the block asked for is too small now.
    if (system.second_result == ERROR_BUFFER_OVERFLOW) *size = system.needed() + 256;
    return system.second_result;
  }
  if (addresses == nullptr || *size < system.needed()) {
    *size = system.needed();
    return ERROR_BUFFER_OVERFLOW;
  }
  // Records first, then the names, the last one ending exactly at the block's end.
  auto* records = addresses;
  auto* strings = reinterpret_cast<char*>(records + system.adapters.size());
  for (std::size_t i = 0; i < system.adapters.size(); ++i) {
    const fake_adapter& a = system.adapters[i];
    IP_ADAPTER_ADDRESSES& r = records[i];
    std::memset(&r, 0, sizeof r);
    r.Length = sizeof r;
    r.IfIndex = static_cast<DWORD>(i + 1);
    r.Next = i + 1 < system.adapters.size() ? &records[i + 1] : nullptr;
    r.FriendlyName = put_name(strings, a.friendly_name);
    r.Description = put_name(strings, a.description);
    std::memcpy(r.PhysicalAddress, a.address, sizeof r.PhysicalAddress);
    r.PhysicalAddressLength = a.address_length;
    r.IfType = a.type;
    r.OperStatus = a.status;
  }
  return NO_ERROR;
}

int fake_startup(WORD, WSADATA*) { return current->startup_result; }
int fake_cleanup() {
  ++current->cleanups;
  return 0;
}

std::optional<std::u16string> make_name(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
      return std::nullopt;
    case 1: {
      const std::string ascii = input.ConsumeRandomLengthString(64);
      return std::u16string(ascii.begin(), ascii.end());
    }
    case 2: {
      // Raw UTF-16 units: any plane, surrogates paired or not. A zero unit ends the name early.
      std::u16string units;
      const auto count = input.ConsumeIntegralInRange<std::size_t>(0, 64);
      for (std::size_t i = 0; i < count && input.remaining_bytes() >= 2; ++i) {
        const auto unit = input.ConsumeIntegral<std::uint16_t>();
        if (unit == 0) break;
        units.push_back(static_cast<char16_t>(unit));
      }
      return units;
    }
    case 3: {
      // "virtual" somewhere, in any case, among non-ASCII text.
      std::u16string name = u"Адаптер ";
      static constexpr char16_t word[] = u"virtual";
      for (const char16_t c : word) {
        if (c == 0) break;
        name.push_back(input.ConsumeBool() ? static_cast<char16_t>(c - u'a' + u'A') : c);
      }
      name += u" 網路 \U0001F600";
      return name;
    }
    case 4: {
      // Very long: a repeated unit (ASCII, 2- or 3-byte UTF-8, or a surrogate pair)
      // up to several times the lookup's 511-byte cut.
      static constexpr char16_t pieces[][3] = {u"a", u"é", u"網", u"\U0001F600"};
      const auto& piece = pieces[input.ConsumeIntegralInRange<int>(0, 3)];
      const auto repeat = input.ConsumeIntegralInRange<std::size_t>(1, 4000);
      std::u16string name;
      for (std::size_t i = 0; i < repeat; ++i) name += piece;
      if (input.ConsumeBool()) name += u"Virtual";
      return name;
    }
    case 5:
      return std::u16string();
    default: {
      const std::string ascii = input.ConsumeRandomLengthString(16);
      return u"Ethernet " + std::u16string(ascii.begin(), ascii.end());
    }
  }
}

fake_system make_system(FuzzedDataProvider& input) {
  fake_system system;
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) system.startup_result = 10091;  // WSASYSNOTREADY
  static constexpr ULONG first_results[] = {ERROR_BUFFER_OVERFLOW, ERROR_NO_DATA,
                                            error_not_enough_memory, ERROR_INVALID_PARAMETER,
                                            NO_ERROR};
  static constexpr ULONG second_results[] = {NO_ERROR, ERROR_BUFFER_OVERFLOW, ERROR_NO_DATA,
                                             error_not_enough_memory};
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    system.first_result = first_results[input.ConsumeIntegralInRange<int>(0, 4)];
  }
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    system.second_result = second_results[input.ConsumeIntegralInRange<int>(0, 3)];
  }
  static constexpr IFTYPE types[] = {IF_TYPE_ETHERNET_CSMACD, IF_TYPE_IEEE80211,
                                     IF_TYPE_SOFTWARE_LOOPBACK, IF_TYPE_OTHER, 131, 244};
  const auto count = input.ConsumeIntegralInRange<std::size_t>(0, 48);
  for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    fake_adapter a{};
    a.type = input.ConsumeBool() ? types[input.ConsumeIntegralInRange<int>(0, 5)]
                                 : input.ConsumeIntegral<IFTYPE>();
    a.status = static_cast<IF_OPER_STATUS>(input.ConsumeIntegralInRange<int>(1, 7));
    for (auto& byte : a.address) byte = input.ConsumeIntegral<BYTE>();
    a.address_length = input.ConsumeIntegralInRange<ULONG>(0, MAX_ADAPTER_ADDRESS_LENGTH);
    a.friendly_name = make_name(input);
    a.description = input.ConsumeBool() ? a.friendly_name : make_name(input);
    system.adapters.push_back(std::move(a));
  }
  return system;
}

bool well_formed_mac(const std::string& text) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2 ? c != ':' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "adapter_fuzzer: %s\n", what);
  std::abort();
}

// Each answer is the MAC text of an adapter that is up and Ethernet or 802.11, in
// the system's order; a failed query leaves the caller's list as it was.
void check_answer(const fake_system& system, bool found, const std::list<std::string>& macs) {
  const std::string sentinel = "sentinel";
  if (macs.empty() || macs.front() != sentinel) fail("the caller's entries were not kept");
  if (system.startup_result != 0) {
    if (found || macs.size() != 1) fail("answered although startup failed");
    return;
  }
  if (system.cleanups != 1) fail("startup not matched by exactly one cleanup");
  if (!found) {
    if (macs.size() != 1) fail("a failed query changed the list");
    return;
  }
  auto next = system.adapters.begin();
  for (auto it = std::next(macs.begin()); it != macs.end(); ++it) {
    if (!well_formed_mac(*it)) fail("malformed MAC text");
    next = std::find_if(next, system.adapters.end(), [&](const fake_adapter& a) {
      return a.status == IfOperStatusUp &&
             (a.type == IF_TYPE_ETHERNET_CSMACD || a.type == IF_TYPE_IEEE80211) &&
             mac_text(a.address) == *it;
    });
    if (next == system.adapters.end()) fail("a MAC that no eligible adapter has, or out of order");
    ++next;
  }
  // An eligible adapter with no 'v' in either name cannot be called virtual: it must be listed.
  const auto has_v = [](const std::optional<std::u16string>& name) {
    return name && name->find_first_of(u"vV") != std::u16string::npos;
  };
  const auto must_list = std::count_if(system.adapters.begin(), system.adapters.end(),
                                       [&](const fake_adapter& a) {
    return a.status == IfOperStatusUp &&
           (a.type == IF_TYPE_ETHERNET_CSMACD || a.type == IF_TYPE_IEEE80211) &&
           !has_v(a.friendly_name) && !has_v(a.description);
  });
  if (static_cast<std::ptrdiff_t>(macs.size() - 1) < must_list) fail("an eligible adapter was left out");
}

// Where find_ignore_case reports a match, the text there equals what, ASCII case aside.
void check_find(FuzzedDataProvider& input) {
  const std::string what = input.ConsumeRandomLengthString(16);
  const std::string text = input.ConsumeRandomLengthString(600);
  const auto start = input.ConsumeIntegralInRange<std::size_t>(0, text.size() + 2);
  const auto at = find_ignore_case(text, what, start);
  if (at == std::string::npos) return;
  if (at < start || at + what.size() > text.size()) fail("find_ignore_case out of range");
  for (std::size_t i = 0; i < what.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[at + i]);
    const auto b = static_cast<unsigned char>(what[i]);
    if (a != b && std::tolower(a) != std::tolower(b)) fail("find_ignore_case matched other text");
  }
}

}  // namespace

}  // namespace qelt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelt::fuzz;
  FuzzedDataProvider input(data, size);
  fake_system system = make_system(input);
  current = &system;
  const qelt::adapter_api api{fake_startup, fake_cleanup, fake_get_adapters};
  std::list<std::string> macs{"sentinel"};
  const bool found = qelt::get_mac_addresses(macs, api);
  check_answer(system, found, macs);
  current = nullptr;
  check_find(input);
  return 0;
}
