// Web origins as an administrator lists them and as a request names them:
// scheme://host[:port], parsed strictly and compared on label boundaries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qelt {

struct origin {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower case; an IPv6 literal keeps its brackets
  int port = 0;        // always set: the scheme's default when none was written
  // Written as scheme://[*.]host: this host and every host below it.
  bool subdomains = false;

  // The serialisation browsers send: scheme://host, then :port unless it is the default.
  std::string text() const;
  bool operator==(const origin&) const = default;
};

// An origin, or why the text is not one.
struct origin_parse {
  std::optional<origin> value;
  std::string reason;
};

// One entry of an allowlist: scheme://host[:port], or scheme://[*.]host[:port].
origin_parse parse_allowed_origin(std::string_view entry);
// A request's Origin header ("null" and anything else that is not an origin give a reason).
origin_parse parse_origin_header(std::string_view value);
// The origin of a Referer: the scheme, host and port of an absolute http(s) URL.
origin_parse origin_of_url(std::string_view url);

// Whether an allowlist entry lets the request's origin in: same scheme and port, and
// the same host or, for a [*.] entry, a host that ends in "." and the entry's host.
bool allows(const origin& entry, const origin& requested);

// Whether a Host header names this agent: 127.0.0.1 or localhost (any case, one
// optional final dot), with exactly the given port.
bool is_own_host(std::string_view host_header, int port);

// A header value as a log record may show it: control characters dropped, at most
// `most` bytes (never ending inside a UTF-8 sequence), "..." where it was cut.
std::string printable(std::string_view value, std::size_t most = 200);

}  // namespace qelt
