// Which web pages may read the addresses, once an administrator restricts it, and
// what a request gets under that restriction. Without a policy nothing here applies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/origin.h"

namespace qelt {

struct ignored_entry {
  std::string entry;
  std::string reason;
  bool operator==(const ignored_entry&) const = default;
};

struct origin_policy {
  // Where it came from, for the log: "Group Policy" or "the installation".
  std::string source;
  std::vector<origin> allowed;
  std::vector<ignored_entry> ignored;

  // Builds the policy from the listed entries, keeping the valid ones in order.
  static origin_policy from_entries(std::string source, const std::vector<std::string>& entries);
  bool allows(const origin& requested) const;
  bool operator==(const origin_policy&) const = default;
};

// The three kinds of MAC answer.
enum class mac_route { json, preflight, jsonp };

// The headers a restricted answer depends on; nullopt where the request has none.
struct request_origin_headers {
  std::optional<std::string_view> origin;
  std::optional<std::string_view> referer;
};

struct access_decision {
  bool allowed = false;
  // The Access-Control-Allow-Origin value; empty for none.
  std::string allow_origin;
  // For a refusal: what was refused, as the log names it ("Origin https://a.test").
  std::string refused;
};

// The answer a restricted agent gives: the web origin is the Origin header if there is
// one, else the origin of the Referer (a preflight looks at Origin only).
access_decision decide_access(const origin_policy& policy, mac_route route,
                              const request_origin_headers& headers);

}  // namespace qelt
