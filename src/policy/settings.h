// The administrator's settings, read from the registry's two keys:
//   HKLM\SOFTWARE\Policies\qelt\agent   Group Policy and Intune; decides first
//   HKLM\SOFTWARE\qelt\agent            written at installation (the MSI's properties)
// Nothing set there leaves the agent as it always was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "policy/origin_policy.h"

namespace qelt {

inline constexpr const char* policy_key_path = "SOFTWARE\\Policies\\qelt\\agent";
inline constexpr const char* policy_origins_key_path = "SOFTWARE\\Policies\\qelt\\agent\\AllowedOrigins";
inline constexpr const char* install_key_path = "SOFTWARE\\qelt\\agent";

inline constexpr std::uint32_t default_request_log_limit_mb = 64;

// What the keys hold.
struct policy_keys {
  platform::registry_key policy;
  platform::registry_key policy_origins;
  platform::registry_key install;
};

policy_keys read_policy_keys();

struct agent_settings {
  // Restricted to these origins; none: every web page may read the addresses.
  std::optional<origin_policy> origins;
  // Set by RestrictOrigins = 0: the administrator said so (logged, but nothing changes).
  bool origins_unrestricted_by_policy = false;

  std::uint32_t request_log_limit_mb = default_request_log_limit_mb;  // 0: no budget
  std::uint32_t log_retention_days = 0;                               // 0: keep every file
  // Where each of the two came from ("Group Policy", "the installation"); empty: the default.
  std::string request_log_limit_source;
  std::string log_retention_source;

  // Values that were not used, and why.
  std::vector<std::string> problems;

  bool operator==(const agent_settings&) const = default;
};

agent_settings settings_from(const policy_keys& keys);

// What the log says of the settings, area by area (origins; the request log budget
// and retention; values not used): each line a record, a warning when `warning` is set.
struct settings_line {
  bool warning = false;
  std::string text;
  bool operator==(const settings_line&) const = default;
};
std::vector<settings_line> describe_origins(const agent_settings& settings);
std::vector<settings_line> describe_logs(const agent_settings& settings);
std::vector<settings_line> describe_problems(const agent_settings& settings);

}  // namespace qelt
