// The three MAC routes: JSON on /mac, the CORS preflight, JSONP on /macp.
#include <list>
#include <string>

#include "http_server/http_server.h"
#include "http_server/response_envelope.h"
#include "log/log.h"
#include "platform/format.h"

namespace qelt {

std::string http_server::mac_body() {
  std::list<std::string> macs;
  if (lookup_(macs)) return to_body(response_envelope<std::list<std::string>>{true, macs});
  return to_body(response_envelope<const char*>{false, "could not find mac address"});
}

void http_server::mac_handler(const httplib::Request& request, httplib::Response& response) {
  QELT_INFO("mac addres request: {}, {}", request.path, request.remote_addr);
  const std::string body = mac_body();
  QELT_DEBUG("response for {}: {}", request.path, body);
  response.set_header("Access-Control-Allow-Origin", "*");
  response.set_content(body, "application/json");
}

void http_server::mac_option_handler(const httplib::Request& request, httplib::Response& response) {
  QELT_INFO("mac addres options request: {}, {}", request.path, request.remote_addr);
  response.set_header("Access-Control-Allow-Origin", "*");
  response.set_header("Access-Control-Allow-Private-Network", "true");
  response.set_content("", "text/plain");
}

void http_server::macp_handler(const httplib::Request& request, httplib::Response& response) {
  QELT_INFO("macp addres request: {}, {}", request.path, request.remote_addr);
  const std::string body = mac_body();
  QELT_DEBUG("response for {}: {}", request.path, body);
  response.set_header("Access-Control-Allow-Origin", "*");
  const std::string jsonp = qelt::format("macCallback({})", body);
  QELT_DEBUG(jsonp);
  response.set_content(jsonp, "application/javascript");
}

void http_server::root_handler(const httplib::Request& request, httplib::Response& response) {
  mac_handler(request, response);
}

void http_server::root_option_handler(const httplib::Request& request, httplib::Response& response) {
  mac_option_handler(request, response);
}

}  // namespace qelt
