#include <algorithm>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mac_lookup/mac_lookup.h"

namespace qelt {
namespace {

// One adapter as a test describes it; names are UTF-16 like the system's.
struct fake_adapter {
  std::u16string friendly_name;
  std::u16string description;
  std::vector<BYTE> address;
  IFTYPE type = IF_TYPE_ETHERNET_CSMACD;
  IF_OPER_STATUS status = IfOperStatusUp;
  ULONG address_length = 6;
};

// The scripted system behind the adapter_api seam, and what the lookup did with it.
struct fake_system {
  std::vector<fake_adapter> adapters;
  int startup_result = 0;
  ULONG size_query_result = ERROR_BUFFER_OVERFLOW;
  ULONG list_query_result = NO_ERROR;
  int startups = 0;
  int cleanups = 0;
  int size_queries = 0;
  int list_queries = 0;
  // Name storage that outlives the records handed to the lookup.
  std::vector<std::vector<WCHAR>> names;
};

fake_system fake;

std::vector<WCHAR> wide(const std::u16string& text) {
  std::vector<WCHAR> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

ULONG fake_get_adapters(ULONG family, ULONG flags, PVOID reserved, IP_ADAPTER_ADDRESSES* buffer,
                        ULONG* size) {
  EXPECT_EQ(family, static_cast<ULONG>(AF_UNSPEC));
  // No address lists (they are never read), but the friendly name, which the filter reads.
  EXPECT_EQ(flags, GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                       GAA_FLAG_SKIP_DNS_SERVER);
  EXPECT_EQ(reserved, nullptr);
  const ULONG needed = static_cast<ULONG>(fake.adapters.size() * sizeof(IP_ADAPTER_ADDRESSES)) + 1;
  if (buffer == nullptr) {
    ++fake.size_queries;
    EXPECT_EQ(*size, 0u);
    if (fake.size_query_result == ERROR_BUFFER_OVERFLOW) *size = needed;
    return fake.size_query_result;
  }
  ++fake.list_queries;
  EXPECT_EQ(*size, needed);
  if (fake.list_query_result != NO_ERROR) return fake.list_query_result;
  std::memset(buffer, 0, needed);
  fake.names.clear();
  for (std::size_t i = 0; i < fake.adapters.size(); ++i) {
    const fake_adapter& a = fake.adapters[i];
    IP_ADAPTER_ADDRESSES& r = buffer[i];
    r.Next = i + 1 < fake.adapters.size() ? &buffer[i + 1] : nullptr;
    r.IfType = a.type;
    r.OperStatus = a.status;
    r.PhysicalAddressLength = a.address_length;
    std::memcpy(r.PhysicalAddress, a.address.data(), std::min<std::size_t>(a.address.size(), 8));
    r.FriendlyName = fake.names.emplace_back(wide(a.friendly_name)).data();
    r.Description = fake.names.emplace_back(wide(a.description)).data();
  }
  return NO_ERROR;
}

const adapter_api fake_api{
    [](WORD version, WSADATA*) {
      EXPECT_EQ(version, 0x0202);
      ++fake.startups;
      return fake.startup_result;
    },
    [] {
      ++fake.cleanups;
      return 0;
    },
    fake_get_adapters,
};

class mac_lookup : public ::testing::Test {
 protected:
  void SetUp() override { fake = fake_system{}; }

  static fake_adapter ethernet(const std::u16string& name, std::vector<BYTE> address) {
    return {name, name + u" adapter", std::move(address)};
  }

  // Runs the lookup with the list given, capturing what it wrote to standard error.
  bool lookup(std::list<std::string>& macs) {
    ::testing::internal::CaptureStderr();
    const bool found = get_mac_addresses(macs, fake_api);
    error_output = ::testing::internal::GetCapturedStderr();
    return found;
  }

  std::string error_output;
};

TEST_F(mac_lookup, keeps_working_ethernet_and_wifi_adapters_not_named_virtual_in_system_order) {
  fake.adapters = {
      ethernet(u"Ethernet", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}),
      {u"Unplugged", u"Cable out", {0x10, 0, 0, 0, 0, 1}, IF_TYPE_ETHERNET_CSMACD, IfOperStatusDown},
      {u"Loopback", u"Loopback", {0x20, 0, 0, 0, 0, 1}, IF_TYPE_SOFTWARE_LOOPBACK},
      {u"Tunnel", u"Teredo", {0x30, 0, 0, 0, 0, 1}, 131},
      {u"Wi-Fi", u"Wireless", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, IF_TYPE_IEEE80211},
      {u"vEthernet", u"Hyper-V VIRTUAL Ethernet Adapter", {0x40, 0, 0, 0, 0, 1}},
      {u"My Virtualization Link", u"Plain description", {0x50, 0, 0, 0, 0, 1}},
      {u"Testing", u"Testing", {0x60, 0, 0, 0, 0, 1}, IF_TYPE_ETHERNET_CSMACD, IfOperStatusTesting},
      ethernet(u"Second port", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}),  // same address: kept twice
      {u"Dormant Wi-Fi", u"Wireless", {0x70, 0, 0, 0, 0, 1}, IF_TYPE_IEEE80211, IfOperStatusDormant},
      ethernet(u"Last", {0x00, 0x0C, 0x01, 0x0A, 0x0B, 0x05}),
  };
  std::list<std::string> macs{"kept from before"};
  EXPECT_TRUE(lookup(macs));
  EXPECT_EQ(macs, (std::list<std::string>{"kept from before", "00:1A:2B:3C:4D:5E", "AA:BB:CC:DD:EE:FF",
                                          "00:1A:2B:3C:4D:5E", "00:0C:01:0A:0B:05"}));
  EXPECT_EQ(error_output, "");
  EXPECT_EQ(fake.size_queries, 1);
  EXPECT_EQ(fake.list_queries, 1);
  EXPECT_EQ(fake.startups, 1);
  EXPECT_EQ(fake.cleanups, 1);
}

TEST_F(mac_lookup, none_qualifying_is_success_with_nothing_appended) {
  fake.adapters = {
      {u"Loopback", u"Loopback", {0, 0, 0, 0, 0, 0}, IF_TYPE_SOFTWARE_LOOPBACK},
      {u"virtual", u"x", {1, 2, 3, 4, 5, 6}},
  };
  std::list<std::string> macs;
  EXPECT_TRUE(lookup(macs));
  EXPECT_TRUE(macs.empty());
  EXPECT_EQ(fake.cleanups, 1);
}

TEST_F(mac_lookup, mac_text_is_six_upper_case_zero_padded_bytes_whatever_the_length_says) {
  fake.adapters = {
      {u"Short", u"Short", {0x00, 0x0C, 0x01, 0x0A, 0x0B, 0x05, 0x99, 0x98}, IF_TYPE_ETHERNET_CSMACD,
       IfOperStatusUp, 0},
      {u"Long", u"Long", {0xFF, 0xFE, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03}, IF_TYPE_ETHERNET_CSMACD,
       IfOperStatusUp, 8},
  };
  std::list<std::string> macs;
  EXPECT_TRUE(lookup(macs));
  EXPECT_EQ(macs, (std::list<std::string>{"00:0C:01:0A:0B:05", "FF:FE:AB:CD:EF:01"}));
}

TEST_F(mac_lookup, failures_report_once_on_standard_error_and_leave_the_list_alone) {
  struct failure {
    const char* name;
    int startup;
    ULONG size_query;
    ULONG list_query;
    const char* message;
    int cleanups;
  };
  const failure failures[] = {
      {"winsock start-up fails", 10091, ERROR_BUFFER_OVERFLOW, NO_ERROR, "", 0},
      {"size query succeeds", 0, NO_ERROR, NO_ERROR, "GetAdaptersAddresses() failed...", 1},
      {"size query finds no data", 0, ERROR_NO_DATA, NO_ERROR, "GetAdaptersAddresses() failed...", 1},
      {"list grew before the second query", 0, ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW,
       "GetAdaptersAddresses() failed...", 1},
      {"second query fails", 0, ERROR_BUFFER_OVERFLOW, ERROR_NO_DATA, "GetAdaptersAddresses() failed...",
       1},
  };
  for (const failure& f : failures) {
    SCOPED_TRACE(f.name);
    fake = fake_system{};
    fake.adapters = {ethernet(u"Ethernet", {1, 2, 3, 4, 5, 6})};
    fake.startup_result = f.startup;
    fake.size_query_result = f.size_query;
    fake.list_query_result = f.list_query;
    std::list<std::string> macs{"a", "b"};
    EXPECT_FALSE(lookup(macs));
    EXPECT_EQ(macs, (std::list<std::string>{"a", "b"}));
    EXPECT_EQ(error_output, f.message);
    EXPECT_EQ(fake.cleanups, f.cleanups);
    EXPECT_LE(fake.size_queries + fake.list_queries, 2);
  }
}

TEST_F(mac_lookup, names_with_bytes_beyond_ascii_and_very_long_names_are_judged_safely) {
  const std::u16string long_plain(700, u'n');
  fake.adapters = {
      // Non-ASCII around the word: still "virtual", still left out.
      {u"R\u00e9seau VIRTUAL \u00c9", u"\u00c0\u00e9", {0x01, 0, 0, 0, 0, 1}},
      // Non-ASCII without the word: kept.
      {u"\u00c9thernet \u00e9t\u00e9", u"Carte r\u00e9seau", {0x02, 0, 0, 0, 0, 2}},
      // Longer than the 512-byte conversion buffer, the word early on: left out.
      {u"Virtual " + long_plain, u"x", {0x03, 0, 0, 0, 0, 3}},
      // Longer than the buffer, no word: kept.
      {long_plain, long_plain, {0x04, 0, 0, 0, 0, 4}},
      // Empty names.
      {u"", u"", {0x05, 0, 0, 0, 0, 5}},
  };
  std::list<std::string> macs;
  EXPECT_TRUE(lookup(macs));
  EXPECT_EQ(macs, (std::list<std::string>{"02:00:00:00:00:02", "04:00:00:00:00:04", "05:00:00:00:00:05"}));
}

TEST(wide_to_ansi, stays_within_511_bytes_and_keeps_the_text_that_fits) {
  const std::vector<WCHAR> short_name = wide(u"Ethernet 2");
  EXPECT_EQ(wide_to_ansi(short_name.data()), "Ethernet 2");

  const std::vector<WCHAR> long_name = wide(std::u16string(600, u'a') + u"virtual");
  EXPECT_EQ(wide_to_ansi(long_name.data()), std::string(511, 'a'));

  // Characters that take more than one byte are cut whole, never half.
  const std::vector<WCHAR> wide_chars = wide(std::u16string(400, u'\u00e9'));
  const std::string cut = wide_to_ansi(wide_chars.data());
  EXPECT_LE(cut.size(), 511u);
  EXPECT_GT(cut.size(), 255u);

  const std::vector<WCHAR> empty = wide(u"");
  EXPECT_EQ(wide_to_ansi(empty.data()), "");
}

TEST(find_ignore_case, finds_ascii_letters_in_any_case_and_leaves_other_bytes_alone) {
  EXPECT_EQ(find_ignore_case("Hyper-V Virtual Ethernet", "virtual", 0), 8u);
  EXPECT_EQ(find_ignore_case("VIRTUALIZATION", "virtual", 0), 0u);
  EXPECT_EQ(find_ignore_case("vIrTuAl", "VIRTUAL", 0), 0u);
  EXPECT_EQ(find_ignore_case("virtual virtual", "virtual", 1), 8u);
  EXPECT_EQ(find_ignore_case("Ethernet", "virtual", 0), std::string::npos);
  EXPECT_EQ(find_ignore_case("", "virtual", 0), std::string::npos);
  // Bytes above 0x7F (negative as char) are neither folded nor taken for letters.
  EXPECT_EQ(find_ignore_case("\xC9\xE9virtual", "VIRTUAL", 0), 2u);
  EXPECT_EQ(find_ignore_case("\xC9", "\xE9", 0), std::string::npos);
  EXPECT_EQ(find_ignore_case("\xFF\x80", "\x80", 0), 1u);

  // The caller's texts are left as they were.
  const std::string text = "ABC";
  find_ignore_case(text, "b", 0);
  EXPECT_EQ(text, "ABC");
}

}  // namespace
}  // namespace qelt
