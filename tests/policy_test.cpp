#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "policy/origin.h"
#include "policy/settings.h"

namespace qelt {
namespace {

std::string parsed(const char* entry) {
  const origin_parse result = parse_allowed_origin(entry);
  return result.value ? result.value->text() : "ignored: " + result.reason;
}

TEST(origin, entries_are_normalised_or_ignored_with_a_reason) {
  EXPECT_EQ(parsed(" HTTPS://App.Example.COM:443 "), "https://app.example.com");
  EXPECT_EQ(parsed("http://intranet.test:80"), "http://intranet.test");
  EXPECT_EQ(parsed("http://localhost:8080"), "http://localhost:8080");
  EXPECT_EQ(parsed("https://[*.]Example.org"), "https://[*.]example.org");
  EXPECT_EQ(parsed("http://[::1]:3000"), "http://[::1]:3000");
  for (const char* bad : {"https://app.example.com/", "https://a.test/x", "https://a.test?q", "https://a.test#f", "null",
                          "*", "ftp://a.test", "https://", "app.example.com", "https://a.test:0", "https://a.test:65536",
                          "https://a.test:", "https://a..test", "https://user@a.test", "https://\xC3\xBC.test",
                          "https://[*.]10.0.0.1", "https://*.example.org"}) {
    EXPECT_EQ(parsed(bad).rfind("ignored: ", 0), 0u) << bad << " gave " << parsed(bad);
  }
}

TEST(origin, entries_match_on_scheme_port_and_label_boundaries) {
  const origin any_sub = *parse_allowed_origin("https://[*.]example.com").value;
  const origin exact = *parse_allowed_origin("https://app.example.com").value;
  const auto allowed = [](const origin& entry, const char* header) {
    const origin_parse requested = parse_origin_header(header);
    return requested.value && allows(entry, *requested.value);
  };
  EXPECT_TRUE(allowed(any_sub, "https://example.com"));
  EXPECT_TRUE(allowed(any_sub, "https://a.b.example.com"));
  EXPECT_FALSE(allowed(any_sub, "https://badexample.com"));
  EXPECT_FALSE(allowed(any_sub, "https://example.com.evil.test"));
  EXPECT_FALSE(allowed(any_sub, "http://a.example.com"));
  EXPECT_FALSE(allowed(any_sub, "https://a.example.com:8443"));
  EXPECT_TRUE(allowed(exact, "https://APP.example.com:443"));
  EXPECT_FALSE(allowed(exact, "https://x.app.example.com"));
  EXPECT_FALSE(allowed(exact, "null"));
  EXPECT_EQ(origin_of_url("https://App.Example.com:443/p?q#f").value->text(), "https://app.example.com");
  EXPECT_FALSE(origin_of_url("about:blank").value);
}

TEST(origin, only_this_agents_own_host_names_pass) {
  for (const char* own : {"127.0.0.1:17654", "LocalHost:17654", "localhost.:17654", "127.0.0.1.:17654"}) {
    EXPECT_TRUE(is_own_host(own, 17654)) << own;
  }
  for (const char* other : {"127.0.0.1", "127.0.0.1:17655", "evil.test:17654", "127.0.0.1.evil.test:17654",
                            "localhost..:17654", "", "[::1]:17654"}) {
    EXPECT_FALSE(is_own_host(other, 17654)) << other;
  }
  EXPECT_EQ(printable("a\r\nb\x7f" + std::string(300, 'x')), "ab" + std::string(198, 'x') + "...");
}

platform::registry_value number(const char* name, std::uint32_t value) {
  return {name, platform::registry_value::kind::number, value, {}, "REG_DWORD"};
}
platform::registry_value text(const char* name, const char* value) {
  return {name, platform::registry_value::kind::text, 0, value, "REG_SZ"};
}
platform::registry_key key(std::vector<platform::registry_value> values) { return {true, std::move(values)}; }

TEST(settings, the_policy_key_decides_before_the_installations) {
  EXPECT_EQ(settings_from({}), agent_settings{}) << "nothing set, nothing changes";

  const policy_keys installed{{}, {}, key({text("AllowedOrigins", " https://a.test  http://b.test:81 bad ")})};
  const agent_settings from_install = settings_from(installed);
  ASSERT_TRUE(from_install.origins);
  EXPECT_EQ(from_install.origins->allowed.size(), 2u);
  EXPECT_EQ(from_install.origins->ignored.size(), 1u);
  EXPECT_FALSE(settings_from({{}, {}, key({text("AllowedOrigins", "  ")})}).origins) << "blank: no restriction";

  policy_keys overridden = installed;
  overridden.policy = key({number("RestrictOrigins", 0), number("RequestLogLimitMB", 2)});
  overridden.install.values.push_back(number("RequestLogLimitMB", 9));
  overridden.install.values.push_back(text("LogRetentionDays", "30"));
  const agent_settings from_policy = settings_from(overridden);
  EXPECT_FALSE(from_policy.origins);
  EXPECT_EQ(from_policy.origins_unrestricted_by, "Group Policy");
  EXPECT_EQ(from_policy.request_log_limit_mb, 2u);
  EXPECT_EQ(from_policy.log_retention_days, 0u);
  EXPECT_EQ(from_policy.problems.size(), 1u) << "a REG_SZ retention is reported, not taken";

  const agent_settings nothing_listed = settings_from({key({number("RestrictOrigins", 1)}), {}, {}});
  ASSERT_TRUE(nothing_listed.origins);
  EXPECT_TRUE(nothing_listed.origins->allowed.empty());
  const agent_settings listed =
      settings_from({key({number("RestrictOrigins", 1)}),
                     key({text("10", "https://ten.test"), text("2", "https://two.test"), number("3", 3)}), {}});
  ASSERT_EQ(listed.origins->allowed.size(), 2u);
  EXPECT_EQ(listed.origins->allowed[0].host, "two.test") << "in the list's order";
  EXPECT_EQ(listed.origins->ignored.size(), 1u);
}

}  // namespace
}  // namespace qelt
