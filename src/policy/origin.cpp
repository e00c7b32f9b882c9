#include "policy/origin.h"

#include <algorithm>
#include <cstddef>

namespace qelt {

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

int default_port(std::string_view scheme) { return scheme == "https" ? 443 : 80; }

origin_parse failed(std::string reason) { return {std::nullopt, std::move(reason)}; }

// Dot-separated labels of letters, digits, '-' and '_', none empty.
bool is_domain_name(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  std::size_t label = 0;
  for (const char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (is_alpha(c) || is_digit(c) || c == '-' || c == '_') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return label != 0;
}

bool is_ipv4(std::string_view host) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= host.size()) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    const std::string_view part = host.substr(start, end - start);
    if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), is_digit)) return false;
    if (std::stoi(std::string(part)) > 255) return false;
    ++parts;
    start = end + 1;
  }
  return parts == 4;
}

// Between the brackets: hexadecimal groups, colons and a dotted IPv4 tail.
bool is_ipv6_inside(std::string_view inside) {
  if (inside.size() < 2 || inside.find(':') == std::string_view::npos) return false;
  return std::all_of(inside.begin(), inside.end(), [](char c) {
    return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f') || c == ':' || c == '.';
  });
}

// host[:port] after "scheme://", with nothing after it.
origin_parse parse_authority(std::string scheme, std::string_view rest, bool wildcard_allowed) {
  origin result;
  result.scheme = std::move(scheme);
  for (const char c : rest) {
    if (c == '/') return failed("has a path: an origin is scheme://host[:port] and nothing after it");
    if (c == '?') return failed("has a query: an origin is scheme://host[:port] and nothing after it");
    if (c == '#') return failed("has a fragment: an origin is scheme://host[:port] and nothing after it");
    if (c == '@') return failed("has user information: an origin is scheme://host[:port]");
    if (static_cast<unsigned char>(c) >= 0x80) {
      return failed("the host is not ASCII: write an internationalised name in its xn-- form");
    }
  }
  constexpr std::string_view subdomains = "[*.]";
  if (rest.substr(0, subdomains.size()) == subdomains) {
    if (!wildcard_allowed) return failed("not an origin");
    result.subdomains = true;
    rest.remove_prefix(subdomains.size());
  }
  std::string_view host = rest;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return failed("not a valid host");
    host = rest.substr(0, close + 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return failed("not a valid host");
      port = after.substr(1);
      if (port.empty()) return failed("an empty port");
    }
    if (!is_ipv6_inside(host.substr(1, host.size() - 2))) return failed("not a valid host");
    if (result.subdomains) return failed("[*.] needs a domain name, not an address");
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      if (port.empty()) return failed("an empty port");
    }
    if (host.empty()) return failed("no host");
    if (!is_domain_name(host)) return failed("not a valid host");
    if (result.subdomains && is_ipv4(host)) return failed("[*.] needs a domain name, not an address");
  }
  result.host = lowered(host);
  if (port.empty()) {
    result.port = default_port(result.scheme);
  } else {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), is_digit)) return failed("not a valid port");
    result.port = std::stoi(std::string(port));
    if (result.port < 1 || result.port > 65535) return failed("not a valid port");
  }
  return {result, {}};
}

// "scheme://" and what follows it; the scheme must be http or https.
origin_parse parse_origin(std::string_view text, bool wildcard_allowed) {
  const std::size_t separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) return failed("not an origin (scheme://host[:port])");
  const std::string_view scheme_text = text.substr(0, separator);
  if (!is_alpha(scheme_text.front()) ||
      !std::all_of(scheme_text.begin(), scheme_text.end(),
                   [](char c) { return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.'; })) {
    return failed("not an origin (scheme://host[:port])");
  }
  std::string scheme = lowered(scheme_text);
  if (scheme != "http" && scheme != "https") return failed("the scheme is not http or https");
  return parse_authority(std::move(scheme), text.substr(separator + 3), wildcard_allowed);
}

}  // namespace

std::string origin::text() const {
  std::string out = scheme;
  out.append("://").append(subdomains ? "[*.]" : "").append(host);
  if (port != default_port(scheme)) out.append(":").append(std::to_string(port));
  return out;
}

origin_parse parse_allowed_origin(std::string_view entry) {
  entry = trimmed(entry);
  if (entry.empty()) return failed("empty");
  if (entry == "*") return failed("* would allow every web page: set no policy instead");
  if (lowered(entry) == "null") return failed("null is the origin of sandboxed and local pages, which any page can forge");
  return parse_origin(entry, true);
}

origin_parse parse_origin_header(std::string_view value) {
  if (lowered(trimmed(value)) == "null") return failed("null");
  return parse_origin(trimmed(value), false);
}

origin_parse origin_of_url(std::string_view url) {
  url = trimmed(url);
  const std::size_t separator = url.find("://");
  if (separator == std::string_view::npos) return failed("not an absolute URL");
  const std::size_t end = url.find_first_of("/?#", separator + 3);
  return parse_origin(url.substr(0, end), false);
}

bool allows(const origin& entry, const origin& requested) {
  if (entry.scheme != requested.scheme || entry.port != requested.port || requested.subdomains) return false;
  if (entry.host == requested.host) return true;
  // Below the entry's host on a label boundary: "a.example.com" for example.com, never "badexample.com".
  const std::string& host = requested.host;
  return entry.subdomains && host.size() > entry.host.size() + 1 &&
         host.compare(host.size() - entry.host.size(), entry.host.size(), entry.host) == 0 &&
         host[host.size() - entry.host.size() - 1] == '.';
}

bool is_own_host(std::string_view host_header, int port) {
  const std::size_t colon = host_header.rfind(':');
  if (colon == std::string_view::npos || host_header.substr(colon + 1) != std::to_string(port)) return false;
  std::string host = lowered(host_header.substr(0, colon));
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host == "127.0.0.1" || host == "localhost";
}

std::string printable(std::string_view value, std::size_t most) {
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) continue;
    out.push_back(c);
  }
  if (out.size() <= most) return out;
  std::size_t cut = most;
  // Back to the first byte of a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
  out.resize(cut);
  return out + "...";
}

}  // namespace qelt
