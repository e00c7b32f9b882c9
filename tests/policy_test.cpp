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

namespace qelt {
namespace {

agent_settings from_files(std::vector<platform::policy_file> files) { return settings_from_files(std::move(files)); }

TEST(settings_files, later_files_replace_earlier_settings_and_only_json_files_count) {
  EXPECT_EQ(from_files({}), agent_settings{}) << "no file, nothing changes";
  const agent_settings merged = from_files({
      {"/p/50-web.json", R"({"RestrictOrigins": 1, "AllowedOrigins": ["https://a.test", "https://a.test/x"],
                             "RequestLogLimitMB": 16})", ""},
      {"/p/10-base.json", R"({"RequestLogLimitMB": 8, "LogRetentionDays": 30, "AllowedOrigins": ["https://b.test"]})", ""},
      {"/p/.50-web.json.tmp", "{", ""},
      {"/p/50-web.json~", "{", ""},
      {"/p/README", "{", ""},
  });
  ASSERT_TRUE(merged.origins);
  EXPECT_EQ(describe_origins(merged),
            (std::vector<settings_line>{
                {severity::info, "origin policy (/p/50-web.json): 1 origin may read the addresses: https://a.test"},
                {severity::warning, "origin policy (/p/50-web.json): ignored \"https://a.test/x\": has a path: an "
                                    "origin is scheme://host[:port] and nothing after it"}}));
  EXPECT_EQ(describe_logs(merged),
            (std::vector<settings_line>{
                {severity::info, "request log budget: 16 MiB a day (RequestLogLimitMB, /p/50-web.json)"},
                {severity::info, "log retention: daily files older than 30 days are deleted (LogRetentionDays, "
                                 "/p/10-base.json)"}}));
  EXPECT_TRUE(merged.problems.empty() && merged.errors.empty());

  // RestrictOrigins decides alone where it is set; without it a non-empty list restricts.
  const agent_settings split = from_files(
      {{"/p/10.json", R"({"RestrictOrigins": true})", ""}, {"/p/20.json", R"({"AllowedOrigins": ["https://c.test"]})", ""}});
  ASSERT_TRUE(split.origins);
  EXPECT_EQ(split.origins->source, "/p/10.json, /p/20.json");
  const agent_settings lifted = from_files(
      {{"/p/10.json", R"({"AllowedOrigins": ["https://c.test"]})", ""}, {"/p/20.json", R"({"RestrictOrigins": 0})", ""}});
  EXPECT_FALSE(lifted.origins);
  EXPECT_EQ(lifted.origins_unrestricted_by, "/p/20.json");
  EXPECT_TRUE(from_files({{"/p/1.json", R"({"AllowedOrigins": ["https://c.test"]})", ""}}).origins);
  EXPECT_FALSE(from_files({{"/p/1.json", R"({"AllowedOrigins": []})", ""}}).origins) << "an empty list restricts nothing";
}

TEST(settings_files, wrong_types_and_unknown_names_are_reported_and_a_wrong_restriction_restricts) {
  const agent_settings wrong = from_files({
      {"/p/10.json", R"({"LogRetentionDays": 7, "RequestLogLimitMB": 9})", ""},
      {"/p/20.json", R"({"RestrictOrigins": "no", "AllowedOrigins": ["https://a.test", 5],
                         "RequestLogLimitMB": -1, "LogRetentionDays": 1.5, "restrictOrigins": 0})", ""},
  });
  ASSERT_TRUE(wrong.origins) << "a RestrictOrigins that cannot be read restricts";
  EXPECT_EQ(wrong.origins->allowed.size(), 1u);
  EXPECT_EQ(wrong.origins->ignored, (std::vector<ignored_entry>{{"5", "not a string"}}));
  EXPECT_EQ(wrong.request_log_limit_mb, 9u) << "a wrong value is passed over: the earlier file's stays";
  EXPECT_EQ(wrong.log_retention_days, 7u);
  ASSERT_EQ(wrong.problems.size(), 4u);
  EXPECT_EQ(wrong.problems[0], "/p/20.json: LogRetentionDays is 1.5, not a whole number from 0 to 4294967295: ignored");
  EXPECT_EQ(describe_problems(wrong).back(),
            (settings_line{severity::warning, "settings: /p/20.json: unknown name \"restrictOrigins\": ignored"}));

  const agent_settings not_a_list = from_files({{"/p/1.json", R"({"AllowedOrigins": "https://a.test"})", ""}});
  ASSERT_TRUE(not_a_list.origins) << "something is there: restricted to nothing";
  EXPECT_TRUE(not_a_list.origins->allowed.empty());
  EXPECT_EQ(not_a_list.problems.size(), 1u);
}

TEST(settings_files, a_broken_file_restricts_to_none_until_it_is_mended) {
  const std::vector<platform::policy_file> good{{"/p/10.json", R"({"RestrictOrigins": 0, "LogRetentionDays": 3})", ""}};
  for (const auto& [broken, error] : std::vector<std::pair<platform::policy_file, std::string>>{
           {{"/p/20.json", "{\"RestrictOrigins\": 0,\n", ""},
            "settings: /p/20.json is not a JSON object: parse error at line 2, column 1: syntax error while parsing "
            "object key - unexpected end of input; expected string literal: its settings are unknown"},
           {{"/p/20.json", "[1]", ""}, "settings: /p/20.json is not a JSON object but [1]: its settings are unknown"},
           {{"/p/20.json", "", "open: Permission denied (errno 13)"},
            "settings: /p/20.json cannot be read: open: Permission denied (errno 13): its settings are unknown"},
           {{"/p", "", "cannot be listed: opendir: Permission denied (errno 13)"},
            "settings: /p cannot be read: cannot be listed: opendir: Permission denied (errno 13): its settings are "
            "unknown"}}) {
    std::vector<platform::policy_file> files = good;
    files.push_back(broken);
    const agent_settings settings = from_files(files);
    ASSERT_TRUE(settings.origins) << error;
    EXPECT_TRUE(settings.origins->allowed.empty());
    EXPECT_EQ(settings.log_retention_days, 3u) << "the readable files still count";
    EXPECT_EQ(describe_problems(settings), (std::vector<settings_line>{{severity::error, error}}));
    EXPECT_EQ(describe_origins(settings).front(),
              (settings_line{severity::warning, "origin policy (" + broken.path +
                                                    "): its settings are unknown: no web page may read the addresses "
                                                    "until it is mended"}));
  }
  EXPECT_FALSE(from_files(good).origins) << "mended";
}

}  // namespace
}  // namespace qelt
