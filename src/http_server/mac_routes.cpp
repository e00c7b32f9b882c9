// The three MAC routes: JSON on /mac, the CORS preflight, JSONP on /macp.
#include <list>
#include <optional>
#include <string>

#include "http_server/http_server.h"
#include "http_server/response_envelope.h"
#include "log/log.h"
#include "platform/format.h"

namespace qelt {

namespace {

// Without a policy every page may read the answer. Under one, an allowed page's origin
// (and Vary, for caches), or nothing: a program or a JSONP script needs no CORS header.
void allow_origin(httplib::Response& response, const std::optional<access_decision>& access) {
  if (!access) {
    response.set_header("Access-Control-Allow-Origin", "*");
  } else if (!access->allow_origin.empty()) {
    response.set_header("Access-Control-Allow-Origin", access->allow_origin);
    response.set_header("Vary", "Origin");
  }
}

}  // namespace

std::string http_server::mac_body() {
  std::list<std::string> macs;
  if (lookup_(macs)) return to_body(response_envelope<std::list<std::string>>{true, macs});
  return to_body(response_envelope<const char*>{false, "could not find mac address"});
}

void http_server::mac_handler(const httplib::Request& request, httplib::Response& response) {
  const std::optional<access_decision> access = check_access(request, response, mac_route::json);
  if (access && !access->allowed) return;
  QELT_REQUEST_INFO("mac addres request: {}, {}", request.path, request.remote_addr);
  const std::string body = mac_body();
  QELT_REQUEST_DEBUG("response for {}: {}", request.path, body);
  allow_origin(response, access);
  response.set_content(body, "application/json");
}

void http_server::mac_option_handler(const httplib::Request& request, httplib::Response& response) {
  const std::optional<access_decision> access = check_access(request, response, mac_route::preflight);
  if (access && !access->allowed) return;
  QELT_REQUEST_INFO("mac addres options request: {}, {}", request.path, request.remote_addr);
  allow_origin(response, access);
  if (!access || !access->allow_origin.empty()) response.set_header("Access-Control-Allow-Private-Network", "true");
  response.set_content("", "text/plain");
}

void http_server::macp_handler(const httplib::Request& request, httplib::Response& response) {
  const std::optional<access_decision> access = check_access(request, response, mac_route::jsonp);
  if (access && !access->allowed) return;
  QELT_REQUEST_INFO("macp addres request: {}, {}", request.path, request.remote_addr);
  const std::string body = mac_body();
  QELT_REQUEST_DEBUG("response for {}: {}", request.path, body);
  allow_origin(response, access);
  const std::string jsonp = qelt::format("macCallback({})", body);
  QELT_REQUEST_DEBUG(jsonp);
  response.set_content(jsonp, "application/javascript");
}

void http_server::root_handler(const httplib::Request& request, httplib::Response& response) {
  mac_handler(request, response);
}

void http_server::root_option_handler(const httplib::Request& request, httplib::Response& response) {
  mac_option_handler(request, response);
}

}  // namespace qelt
