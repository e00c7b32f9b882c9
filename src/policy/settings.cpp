#include "policy/settings.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "platform/format.h"

namespace qelt {

namespace {

constexpr const char* group_policy = "Group Policy";
constexpr const char* installation = "the installation";

// The number a value name such as "12" stands for; names that are not numbers sort last.
std::uint64_t list_position(const std::string& name) {
  if (name.empty() || name.size() > 9 || !std::all_of(name.begin(), name.end(), ::isdigit)) return UINT64_MAX;
  return std::stoull(name);
}

std::vector<std::string> split_blanks(const std::string& text) {
  std::istringstream words(text);
  std::vector<std::string> entries;
  for (std::string word; words >> word;) entries.push_back(word);
  return entries;
}

// A REG_DWORD named `name`: from the policy key if it is there, else from the
// installation's key. A value of another type is reported and passed over.
struct number_setting {
  std::optional<std::uint32_t> value;
  std::string source;
};

number_setting read_number(const policy_keys& keys, const char* name, std::vector<std::string>& problems) {
  for (const auto& [key, source, path] :
       {std::tuple{&keys.policy, group_policy, policy_key_path}, std::tuple{&keys.install, installation, install_key_path}}) {
    const platform::registry_value* value = key->find(name);
    if (value == nullptr) continue;
    if (value->type == platform::registry_value::kind::number) return {value->number, source};
    problems.push_back(qelt::format("HKLM\\{}\\{} is {}, not REG_DWORD: ignored", path, name, value->type_name));
  }
  return {};
}

void read_origins(const policy_keys& keys, agent_settings& settings) {
  if (const platform::registry_value* restrict = keys.policy.find("RestrictOrigins")) {
    // The policy key decides alone. A value that is not a number still asks for a
    // restriction: reading it as "restrict" is the safe way to be wrong.
    bool restricted = true;
    if (restrict->type == platform::registry_value::kind::number) {
      restricted = restrict->number != 0;
    } else {
      settings.problems.push_back(qelt::format(
          "HKLM\\{}\\RestrictOrigins is {}, not REG_DWORD: taken as 1, restricted", policy_key_path, restrict->type_name));
    }
    if (!restricted) {
      settings.origins_unrestricted_by = group_policy;
      return;
    }
    std::vector<const platform::registry_value*> values;
    for (const auto& value : keys.policy_origins.values) values.push_back(&value);
    std::stable_sort(values.begin(), values.end(), [](const auto* a, const auto* b) {
      return list_position(a->name) < list_position(b->name);
    });
    std::vector<std::string> entries;
    std::vector<ignored_entry> wrong_type;
    for (const auto* value : values) {
      if (value->type == platform::registry_value::kind::text) {
        entries.push_back(value->text);
      } else {
        wrong_type.push_back({"value " + value->name, value->type_name + ", not REG_SZ"});
      }
    }
    settings.origins = origin_policy::from_entries(group_policy, entries);
    settings.origins->ignored.insert(settings.origins->ignored.begin(), wrong_type.begin(), wrong_type.end());
    return;
  }
  const platform::registry_value* listed = keys.install.find("AllowedOrigins");
  if (listed == nullptr) return;
  if (listed->type != platform::registry_value::kind::text) {
    // Something is there, so the administrator meant to restrict: restrict to nothing.
    settings.origins = origin_policy::from_entries(installation, {});
    settings.origins->ignored.push_back({"AllowedOrigins", listed->type_name + ", not REG_SZ"});
    return;
  }
  const std::vector<std::string> entries = split_blanks(listed->text);
  if (entries.empty()) return;
  settings.origins = origin_policy::from_entries(installation, entries);
}

std::string joined(const std::vector<origin>& origins) {
  std::string text;
  for (const origin& entry : origins) text += (text.empty() ? "" : ", ") + entry.text();
  return text;
}

}  // namespace

agent_settings settings_from(const policy_keys& keys) {
  agent_settings settings;
  read_origins(keys, settings);
  const number_setting limit = read_number(keys, "RequestLogLimitMB", settings.problems);
  if (limit.value) {
    settings.request_log_limit_mb = *limit.value;
    settings.request_log_limit_source = limit.source;
  }
  const number_setting retention = read_number(keys, "LogRetentionDays", settings.problems);
  if (retention.value) {
    settings.log_retention_days = *retention.value;
    settings.log_retention_source = retention.source;
  }
  return settings;
}

std::vector<settings_line> describe_origins(const agent_settings& settings) {
  std::vector<settings_line> lines;
  if (!settings.origins) {
    lines.push_back({severity::info,
                     settings.origins_unrestricted_by.empty()
                         ? "origin policy: none: every web page may read the addresses"
                         : qelt::format("origin policy ({}): RestrictOrigins is 0: every web page may read the addresses",
                                        settings.origins_unrestricted_by)});
    return lines;
  }
  const origin_policy& policy = *settings.origins;
  if (settings.origins_unknown) {
    lines.push_back({severity::warning,
                     qelt::format("origin policy ({}): its settings are unknown: no web page may read the addresses "
                                  "until it is mended",
                                  policy.source)});
  } else if (policy.allowed.empty()) {
    lines.push_back({severity::warning, qelt::format("origin policy ({}): no valid origin is listed: no web page may read the addresses",
                                        policy.source)});
  } else {
    lines.push_back({severity::info, qelt::format("origin policy ({}): {} {} may read the addresses: {}", policy.source,
                                         policy.allowed.size(), policy.allowed.size() == 1 ? "origin" : "origins",
                                         joined(policy.allowed))});
  }
  for (const ignored_entry& ignored : policy.ignored) {
    lines.push_back({severity::warning, qelt::format("origin policy ({}): ignored \"{}\": {}", policy.source,
                                        printable(ignored.entry), ignored.reason)});
  }
  return lines;
}

std::vector<settings_line> describe_logs(const agent_settings& settings) {
  std::vector<settings_line> lines;
  const std::string limit_from =
      settings.request_log_limit_source.empty() ? "the default" : "RequestLogLimitMB, " + settings.request_log_limit_source;
  lines.push_back({severity::info, settings.request_log_limit_mb == 0
                              ? qelt::format("request log budget: none ({})", limit_from)
                              : qelt::format("request log budget: {} MiB a day ({})", settings.request_log_limit_mb,
                                             limit_from)});
  const std::string retention_from =
      settings.log_retention_source.empty() ? "the default" : "LogRetentionDays, " + settings.log_retention_source;
  lines.push_back({severity::info, settings.log_retention_days == 0
                              ? qelt::format("log retention: every daily file is kept ({})", retention_from)
                              : qelt::format("log retention: daily files older than {} days are deleted ({})",
                                             settings.log_retention_days, retention_from)});
  return lines;
}

std::vector<settings_line> describe_problems(const agent_settings& settings) {
  std::vector<settings_line> lines;
  for (const std::string& error : settings.errors) lines.push_back({severity::error, "settings: " + error});
  for (const std::string& problem : settings.problems) lines.push_back({severity::warning, "settings: " + problem});
  return lines;
}

}  // namespace qelt
