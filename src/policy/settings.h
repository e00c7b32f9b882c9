// The administrator's settings. On Windows, read from the registry's two keys:
//   HKLM\SOFTWARE\Policies\qelt\agent   Group Policy and Intune; decides first
//   HKLM\SOFTWARE\qelt\agent            written at installation (the MSI's properties)
// On Linux, from the JSON files in /etc/qelt/agent/policies (settings_from_files).
// Nothing set there leaves the agent as it always was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/policy_folder.h"
#include "platform/registry.h"
#include "policy/origin_policy.h"

namespace qelt {

inline constexpr const char* policy_key_path = "SOFTWARE\\Policies\\qelt\\agent";
inline constexpr const char* policy_origins_key_path = "SOFTWARE\\Policies\\qelt\\agent\\AllowedOrigins";
inline constexpr const char* install_key_path = "SOFTWARE\\qelt\\agent";

inline constexpr const char* policy_folder_path = "/etc/qelt/agent/policies";

inline constexpr std::uint32_t default_request_log_limit_mb = 64;

// What the keys hold.
struct policy_keys {
  platform::registry_key policy;
  platform::registry_key policy_origins;
  platform::registry_key install;
};

struct agent_settings {
  // Restricted to these origins; none: every web page may read the addresses.
  std::optional<origin_policy> origins;
  // Where RestrictOrigins = 0 came from: the administrator said so (logged, but nothing
  // changes); empty if it is not set.
  std::string origins_unrestricted_by;
  // Restricted to none because a settings file cannot be read: its settings are unknown.
  bool origins_unknown = false;

  std::uint32_t request_log_limit_mb = default_request_log_limit_mb;  // 0: no budget
  std::uint32_t log_retention_days = 0;                               // 0: keep every file
  // Where each of the two came from ("Group Policy", "the installation"); empty: the default.
  std::string request_log_limit_source;
  std::string log_retention_source;

  // Values that were not used, and why; files that could not be read at all, and why.
  std::vector<std::string> problems;
  std::vector<std::string> errors;

  bool operator==(const agent_settings&) const = default;
};

agent_settings settings_from(const policy_keys& keys);

// The settings that files of the policy folder give, in any order: the *.json ones
// not starting with "." are taken in name order, and a setting in a later file
// replaces the same setting of an earlier one. Each file is one JSON object with the
// registry's names; a file that cannot be read or is not one restricts origins to none.
agent_settings settings_from_files(std::vector<platform::policy_file> files);

// What the log says of the settings, area by area (origins; the request log budget
// and retention; values and files not used): each line a record at its level.
enum class severity { info, warning, error };
struct settings_line {
  severity level = severity::info;
  std::string text;
  bool operator==(const settings_line&) const = default;
};
std::vector<settings_line> describe_origins(const agent_settings& settings);
std::vector<settings_line> describe_logs(const agent_settings& settings);
std::vector<settings_line> describe_problems(const agent_settings& settings);

}  // namespace qelt
