// The local HTTP endpoint: one cpp-httplib server answering the MAC routes.
#pragma once

#include <condition_variable>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

#include "policy/origin_policy.h"

namespace qelt {

class http_server {
 public:
  // Where the routes get their MAC addresses from; the agent uses get_mac_addresses.
  using mac_lookup = bool (*)(std::list<std::string>& macs);

  static http_server& instance();

  explicit http_server(mac_lookup lookup);
  ~http_server();
  http_server(const http_server&) = delete;
  http_server& operator=(const http_server&) = delete;

  void init(const std::string& host, int port);
  // Listens on a thread of its own; while the address cannot be bound it says so and
  // tries again, every few seconds, until it can or stop() is called.
  void start();
  // Ends the endpoint whatever the listener has reached, and reclaims its thread.
  void stop();

  // Restricts which web pages may read the addresses; null: every page may, as without
  // a policy. Takes effect with the next request.
  void set_origin_policy(std::shared_ptr<const origin_policy> policy);

  void error_handler(const httplib::Request& request, httplib::Response& response);
  void exception_handler(const httplib::Request& request, httplib::Response& response,
                         std::exception_ptr error);
  void mac_handler(const httplib::Request& request, httplib::Response& response);
  void mac_option_handler(const httplib::Request& request, httplib::Response& response);
  void macp_handler(const httplib::Request& request, httplib::Response& response);

 private:
  void serve();
  // Binds the listening socket, retrying while it cannot; false when stopped first.
  bool bind_listener();
  void end_listener();
  httplib::Server::HandlerResponse screen_request(const httplib::Request& request, httplib::Response& response);
  void root_handler(const httplib::Request& request, httplib::Response& response);
  void root_option_handler(const httplib::Request& request, httplib::Response& response);
  std::string mac_body();

  std::shared_ptr<const origin_policy> current_origin_policy() const;
  // Under an origin policy, what this request may have; nullopt without a policy. A
  // refused request has its 403 status and its record when this returns.
  std::optional<access_decision> check_access(const httplib::Request& request, httplib::Response& response,
                                              mac_route route) const;
  static void refuse(const httplib::Request& request, httplib::Response& response, const std::string& what);

  httplib::Server server;
  std::thread listener;
  std::string host;
  int port = 0;

  mac_lookup lookup_;
  // Orders serve() against stop(): once stopping is set, serve() never begins to listen.
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  bool stopping_ = false;
  bool serving_done_ = false;

  mutable std::mutex policy_mutex_;
  std::shared_ptr<const origin_policy> origin_policy_;
};

// Rethrows the exception and returns a copy of it that outlives the catch clause.
std::runtime_error unwrap_exception(std::exception_ptr error);

}  // namespace qelt
