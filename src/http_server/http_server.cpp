#include "http_server/http_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "http_server/response_envelope.h"
#include "http_server/worker_pool.h"
#include "log/events.h"
#include "log/log.h"
#include "mac_lookup/mac_lookup.h"
#include "platform/event_log.h"
#include "platform/format.h"
#include "platform/listener_socket.h"
#include "platform/service_status.h"

namespace qelt {

using namespace std::placeholders;

namespace {

constexpr std::size_t max_request_body = 8 * 1024;
// Longer than any target httplib accepts (8 KiB): paths are logged whole.
constexpr std::size_t max_logged_path = 16 * 1024;
// Answers say "Keep-Alive: timeout=5, max=5": five requests a connection, as always.
constexpr std::size_t keep_alive_requests = 5;
// An idle kept-alive connection (a browser tab that called once) holds a worker until
// its keep-alive timeout, and so does a client that sends its request slowly. Up to
// this many workers, a few browsers' idle connections never make a fresh request
// wait; beyond the library's usual count they are made only when needed.
constexpr std::size_t most_workers = 48;
constexpr std::chrono::seconds spare_worker_linger{10};
constexpr std::chrono::milliseconds spare_worker_grace{10};
// While the address cannot be bound: the first retry after this, each later one after
// twice the wait before, up to the last.
constexpr std::chrono::seconds first_listen_retry{2};
constexpr std::chrono::seconds last_listen_retry{30};
// The origin policy's refusals; no other answer has this status.
constexpr int refused_status = 403;

bool ends_the_connection(int status) { return status == 400 || status == 413 || status == 414; }

// httplib keeps a connection open after it refused a request and reads what the client
// sends next (the rest of a refused body, a header flood) as further requests. So a
// refusal's body goes out through a content provider that reports failure once it
// has written it all: httplib then closes the connection instead of reading on.
void close_after_refusal(const httplib::Request& request, httplib::Response& response) {
  // Ranges would make httplib write only part of the provider's body.
  if (!ends_the_connection(response.status) || response.body.empty() || !request.ranges.empty()) return;
  auto body = std::make_shared<std::string>(std::move(response.body));
  response.body.clear();
  const std::string type = response.get_header_value("Content-Type");
  response.headers.erase("Content-Type");
  response.headers.erase("Keep-Alive");
  if (!response.has_header("Connection")) response.set_header("Connection", "close");
  response.set_content_provider(body->size(), type,
                                [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                  sink.write(body->data() + offset, length);
                                  return false;
                                });
}

// Every request ends here, answered, right before its answer is written.
void finish_request(const httplib::Request& request, httplib::Response& response) {
  close_after_refusal(request, response);
  request_log::end();
}

// Headers go out sorted by name, ignoring case, as they always have: httplib keeps
// them in a hash map, whose order says nothing and could change with its internals.
ssize_t write_sorted_headers(httplib::Stream& stream, httplib::Headers& headers) {
  std::vector<const httplib::Headers::value_type*> sorted;
  sorted.reserve(headers.size());
  for (const auto& header : headers) sorted.push_back(&header);
  const auto folded_less = [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); };
  std::stable_sort(sorted.begin(), sorted.end(), [&](const auto* a, const auto* b) {
    return std::lexicographical_compare(a->first.begin(), a->first.end(), b->first.begin(), b->first.end(),
                                        folded_less);
  });
  std::string text;
  for (const auto* header : sorted) {
    text.append(header->first).append(": ").append(header->second).append("\r\n");
  }
  text.append("\r\n");
  return stream.write(text.data(), text.size());
}

}  // namespace

http_server& http_server::instance() {
  static http_server endpoint(get_mac_addresses);
  return endpoint;
}

http_server::http_server(mac_lookup lookup) : lookup_(lookup) {}

http_server::~http_server() { end_listener(); }

void http_server::init(const std::string& host_address, int port_number) {
  host = host_address;
  port = port_number;
  // Headers and body leave in two writes: without TCP_NODELAY the body waits for the
  // client's delayed acknowledgement, about 40 ms on every kept-alive request.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(keep_alive_requests);
  server.new_task_queue = [] {
    return new worker_pool(CPPHTTPLIB_THREAD_POOL_COUNT, most_workers, spare_worker_linger, spare_worker_grace);
  };
  server.set_idle_interval(platform::accept_wait_seconds, 0);
  // No route takes a body: a larger one is refused (413) and never kept in memory.
  server.set_payload_max_length(max_request_body);
  // httplib applies that bound only after reading and dropping the announced bytes,
  // and to a chunked body once it has read that much: refuse both from the headers.
  // The origin policy's Host check is made there too.
  server.set_pre_routing_handler(std::bind(&http_server::screen_request, this, _1, _2));
  server.set_post_routing_handler(finish_request);
  server.set_header_writer(write_sorted_headers);
  server.set_socket_options(platform::set_listener_options);
  server.set_error_handler(std::bind(&http_server::error_handler, this, _1, _2));
  server.set_exception_handler(std::bind(&http_server::exception_handler, this, _1, _2, _3));
  server.Get("/", std::bind(&http_server::root_handler, this, _1, _2));
  server.Options("/", std::bind(&http_server::root_option_handler, this, _1, _2));
  server.Get("/mac", std::bind(&http_server::mac_handler, this, _1, _2));
  server.Options("/mac", std::bind(&http_server::mac_option_handler, this, _1, _2));
  server.Get("/macp", std::bind(&http_server::macp_handler, this, _1, _2));
  QELT_INFO("server initialized success");
}

void http_server::start() {
  // Held until the record is written: the listener's first records follow it.
  const std::lock_guard<std::mutex> lock(state_mutex_);
  listener = std::thread(&http_server::serve, this);
  QELT_INFO("server start succeed");
}

void http_server::serve() {
  if (bind_listener()) {
    try {
      server.listen_after_bind();
    } catch (const std::exception& e) {
      // The library's worker threads could not be made: end as when binding fails,
      // rather than take the process down from this thread.
      QELT_ERROR("{}", e.what());
    }
  }
  {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    serving_done_ = true;
  }
  state_changed_.notify_all();
}

// Another program may hold the port, or a restarted agent's old connections may still
// be closing: say so once, then keep trying quietly until the port is free.
bool http_server::bind_listener() {
  std::chrono::seconds wait = first_listen_retry;
  bool failed = false;
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(state_mutex_);
      if (stopping_ || !server.is_valid()) return false;
    }
    if (server.bind_to_port(host, port)) {
      if (failed) QELT_INFO("listening on {}:{}", host, port);
      platform::report_listening(qelt::format("{}:{}", host, port));
      return true;
    }
    // httplib marks a server whose bind failed as out of use; stop() on a server that
    // is not running only clears that mark, so that the next bind is tried for real.
    server.stop();
    if (!failed) {
      failed = true;
      const std::string address = qelt::format("{}:{}", host, port);
      const std::string reason = platform::bind_failure_reason(host, port);
      QELT_ERROR("cannot listen on {}: {}; trying again every few seconds until it can", address, reason);
      platform::report_event(platform::event_type::error, events::cannot_listen, {address, reason});
      platform::report_cannot_listen(address, reason);
    }
    std::unique_lock<std::mutex> lock(state_mutex_);
    if (state_changed_.wait_for(lock, wait, [this] { return stopping_; })) return false;
    wait = std::min(wait * 2, last_listen_retry);
  }
}

void http_server::stop() {
  end_listener();
  QELT_INFO("server stopped");
}

// The listener may be anywhere: not yet started, binding, listening, or ended
// after a failed bind. httplib's stop() only acts on a listening server, so keep
// asking until the listener thread has finished.
void http_server::end_listener() {
  if (!listener.joinable()) return;
  std::unique_lock<std::mutex> lock(state_mutex_);
  stopping_ = true;
  state_changed_.notify_all();  // a listener waiting to retry ends at once
  bool stop_sent = false;
  while (!serving_done_) {
    if (!stop_sent && server.is_running()) {
      server.stop();
      stop_sent = true;
    }
    state_changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
  lock.unlock();
  listener.join();
}

httplib::Server::HandlerResponse http_server::screen_request(const httplib::Request& request,
                                                            httplib::Response& response) {
  const bool chunked = request.has_header("Transfer-Encoding");
  const bool too_long =
      std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10) > max_request_body;
  if (chunked || too_long) {
    response.status = 413;
    return httplib::Server::HandlerResponse::Handled;
  }
  // A page on a host name that resolves to 127.0.0.1 (DNS rebinding) is same-origin
  // with the agent to its browser: only the Host header tells it apart.
  if (current_origin_policy() && !is_own_host(request.get_header_value("Host"), port)) {
    refuse(request, response,
           request.has_header("Host") ? "Host " + printable(request.get_header_value("Host")) : "no Host");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

void http_server::set_origin_policy(std::shared_ptr<const origin_policy> policy) {
  const std::lock_guard<std::mutex> lock(policy_mutex_);
  origin_policy_ = std::move(policy);
}

std::shared_ptr<const origin_policy> http_server::current_origin_policy() const {
  const std::lock_guard<std::mutex> lock(policy_mutex_);
  return origin_policy_;
}

std::optional<access_decision> http_server::check_access(const httplib::Request& request, httplib::Response& response,
                                                         mac_route route) const {
  const std::shared_ptr<const origin_policy> policy = current_origin_policy();
  if (!policy) return std::nullopt;
  const auto header = [&request](const char* name) -> std::optional<std::string_view> {
    const auto it = request.headers.find(name);
    if (it == request.headers.end()) return std::nullopt;
    return std::string_view(it->second);
  };
  access_decision access = decide_access(*policy, route, {header("Origin"), header("Referer")});
  if (!access.allowed) refuse(request, response, access.refused);
  return access;
}

void http_server::refuse(const httplib::Request& request, httplib::Response& response, const std::string& what) {
  response.status = refused_status;
  // The answer depends on the asking site: no cache may hand it to another one.
  response.set_header("Vary", "Origin");
  response.set_header("Cache-Control", "no-store");
  QELT_REQUEST_WARN("request refused by the origin policy: {}, {}", printable(request.path), what);
}

void http_server::error_handler(const httplib::Request& request, httplib::Response& response) {
  // The origin policy's refusal wrote its own record. Control characters of a decoded
  // path never reach the log: they could forge records.
  if (response.status != refused_status) {
    QELT_REQUEST_INFO("error occured: {}, {}", printable(request.path, max_logged_path), response.status);
  }
  const std::string text = qelt::format("error status: {}", response.status);
  response.set_content(to_body(response_envelope<std::string>{false, text}), "application/json");
}

void http_server::exception_handler(const httplib::Request& request, httplib::Response& response,
                                    std::exception_ptr error) {
  std::string text = unwrap_exception(error).what();
  if (text.empty()) text = "Unknown exception";
  QELT_INFO("exception: {}, {}, {}", request.path, request.remote_addr, text);
  const std::string data = qelt::format("error status: {}, {}", response.status, text);
  response.set_content(to_body(response_envelope<std::string>{false, data}), "application/json");
}

std::runtime_error unwrap_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    QELT_ERROR(std::string(e.what()));
    return std::runtime_error(e.what());
  } catch (...) {
    // Nothing but std::exception is thrown on purpose; anything else still gets an answer.
    QELT_ERROR("Unknown exception");
    return std::runtime_error("Unknown exception");
  }
}

}  // namespace qelt
