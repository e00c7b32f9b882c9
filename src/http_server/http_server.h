// The local HTTP endpoint: one cpp-httplib server answering the MAC routes.
#pragma once

#include <condition_variable>
#include <exception>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

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
  void start();
  // Ends the endpoint whatever the listener has reached, and reclaims its thread.
  void stop();

  void error_handler(const httplib::Request& request, httplib::Response& response);
  void exception_handler(const httplib::Request& request, httplib::Response& response,
                         std::exception_ptr error);
  void mac_handler(const httplib::Request& request, httplib::Response& response);
  void mac_option_handler(const httplib::Request& request, httplib::Response& response);
  void macp_handler(const httplib::Request& request, httplib::Response& response);

 private:
  void serve();
  void end_listener();
  httplib::Server::HandlerResponse refuse_large_body(const httplib::Request& request,
                                                     httplib::Response& response);
  void root_handler(const httplib::Request& request, httplib::Response& response);
  void root_option_handler(const httplib::Request& request, httplib::Response& response);
  std::string mac_body();

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
};

// Rethrows the exception and returns a copy of it that outlives the catch clause.
std::runtime_error unwrap_exception(std::exception_ptr error);

}  // namespace qelt
