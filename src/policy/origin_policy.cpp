#include "policy/origin_policy.h"

#include <algorithm>

namespace qelt {

origin_policy origin_policy::from_entries(std::string source, const std::vector<std::string>& entries) {
  origin_policy policy;
  policy.source = std::move(source);
  for (const std::string& entry : entries) {
    origin_parse parsed = parse_allowed_origin(entry);
    if (!parsed.value) {
      policy.ignored.push_back({entry, parsed.reason});
    } else if (std::find(policy.allowed.begin(), policy.allowed.end(), *parsed.value) == policy.allowed.end()) {
      policy.allowed.push_back(*parsed.value);
    }
  }
  return policy;
}

bool origin_policy::allows(const origin& requested) const {
  return std::any_of(allowed.begin(), allowed.end(), [&](const origin& entry) { return qelt::allows(entry, requested); });
}

access_decision decide_access(const origin_policy& policy, mac_route route, const request_origin_headers& headers) {
  std::optional<std::string_view> referer = headers.referer;
  // A preflight always carries Origin; a Referer says nothing about it.
  if (route == mac_route::preflight) referer.reset();

  origin_parse web_origin;
  std::string named;
  if (headers.origin) {
    web_origin = parse_origin_header(*headers.origin);
    named = "Origin " + printable(*headers.origin);
  } else if (referer) {
    web_origin = origin_of_url(*referer);
    named = "Referer " + printable(*referer);
  } else if (route == mac_route::jsonp) {
    // A script element without a Referer may come from any page.
    return {false, {}, "no Origin or Referer"};
  } else {
    // A program on this machine, or an address typed into the browser: no page to answer.
    return {true, {}, {}};
  }

  if (!web_origin.value || !policy.allows(*web_origin.value)) return {false, {}, named};
  if (route == mac_route::jsonp) return {true, {}, {}};
  return {true, web_origin.value->text(), {}};
}

}  // namespace qelt
