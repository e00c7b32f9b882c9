#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "http_server/http_server.h"
#include "http_server/worker_pool.h"
#include "support/platform/raw_socket.h"
#include "support/test_support.h"

namespace qelt {
namespace {

using test::log_record;

// What the fake lookup does; read by the server's worker threads.
enum class lookup_mode { two_adapters, no_adapter, fails, throws, throws_empty, throws_non_std, throws_bad_utf8 };
std::atomic<lookup_mode> mode{lookup_mode::two_adapters};
std::atomic<int> lookups{0};

bool fake_lookup(std::list<std::string>& macs) {
  ++lookups;
  switch (mode.load()) {
    case lookup_mode::two_adapters:
      macs.push_back("00:1A:2B:3C:4D:5E");
      macs.push_back("00:1A:2B:3C:4D:5F");
      return true;
    case lookup_mode::no_adapter:
      return true;
    case lookup_mode::fails:
      return false;
    case lookup_mode::throws:
      throw std::runtime_error("lookup broke");
    case lookup_mode::throws_empty:
      throw std::runtime_error("");
    case lookup_mode::throws_non_std:
      throw 42;
    case lookup_mode::throws_bad_utf8:
      throw std::runtime_error("bad \xFF byte");
  }
  return false;
}

constexpr const char* two_macs = R"({"data":["00:1A:2B:3C:4D:5E","00:1A:2B:3C:4D:5F"],"success":true})";

// Whether the condition holds within 10 s.
bool wait_until(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  return condition();
}

bool wait_until_answering(int port) {
  return wait_until([port] { return test::port_answers(port); });
}

std::string client_get(int port, const char* path) {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(5, 0);
  const auto res = c.Get(path);
  return res ? res->body : "(no answer)";
}

// A server on a free loopback port with the fake lookup, logging into a folder of its own.
class endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    mode = lookup_mode::two_adapters;
    lookups = 0;
    log_file = test::use_log_in(dir.path());
    port = test::free_port();
    server = std::make_unique<http_server>(fake_lookup);
    server->init("127.0.0.1", port);
    server->start();
    ASSERT_TRUE(wait_until_answering(port));
  }

  void TearDown() override {
    server->stop();
    EXPECT_FALSE(test::port_answers(port)) << "still listening after stop";
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(5, 0);
    return c;
  }

  // The records written since the server started (init and start left out).
  std::vector<log_record> request_records() const {
    auto records = test::read_records(log_file);
    records.erase(records.begin(), records.begin() + std::min<std::size_t>(2, records.size()));
    return records;
  }

  test::temp_dir dir;
  std::filesystem::path log_file;
  int port = 0;
  std::unique_ptr<http_server> server;
};

void expect_record(const log_record& record, const char* level, const char* function,
                   const std::string& message) {
  EXPECT_EQ(record.level, level);
  EXPECT_EQ(record.function, function);
  EXPECT_EQ(record.message, message);
}

TEST_F(endpoint, mac_routes_answer_json_preflight_and_jsonp) {
  for (const bool keep_alive : {false, true}) {
    SCOPED_TRACE(keep_alive ? "kept alive" : "one connection a request");
    auto c = client();
    c.set_keep_alive(keep_alive);
    for (const char* path : {"/mac", "/"}) {
      const auto res = c.Get(path);
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, 200);
      EXPECT_EQ(res->body, two_macs);
      EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
      EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Private-Network"));
    }
    for (const char* path : {"/macp", "/macp?callback=other"}) {
      const auto res = c.Get(path);
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, 200);
      EXPECT_EQ(res->body, std::string("macCallback(") + two_macs + ")");
      EXPECT_EQ(res->get_header_value("Content-Type"), "application/javascript");
      EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
    }
    const int lookups_before = lookups;
    for (const char* path : {"/mac", "/"}) {
      const httplib::Headers preflight{{"Origin", "https://example.com"},
                                       {"Access-Control-Request-Method", "GET"},
                                       {"Access-Control-Request-Headers", "x-custom"},
                                       {"Access-Control-Request-Private-Network", "true"}};
      const auto res = c.Options(path, preflight);
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, 200);
      EXPECT_EQ(res->body, "");
      EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain");
      EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
      EXPECT_EQ(res->get_header_value("Access-Control-Allow-Private-Network"), "true");
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Methods"));
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Headers"));
      EXPECT_FALSE(res->has_header("Access-Control-Max-Age"));
    }
    EXPECT_EQ(lookups, lookups_before) << "the preflight looked the adapters up";
  }
}

TEST_F(endpoint, an_origin_policy_answers_allowed_pages_and_refuses_the_rest) {
  server->set_origin_policy(std::make_shared<const origin_policy>(
      origin_policy::from_entries("test", {"https://app.example.com", "https://[*.]example.org"})));
  const std::string refused = R"({"data":"error status: 403","success":false})";
  struct request_case {
    const char* method;
    const char* path;
    httplib::Headers headers;
    const char* allow_origin;  // nullptr: refused; "": allowed without the header
  };
  const request_case cases[] = {
      {"GET", "/mac", {{"Origin", "https://app.example.com"}}, "https://app.example.com"},
      {"GET", "/", {{"Origin", "https://a.b.example.org"}}, "https://a.b.example.org"},
      {"GET", "/mac", {{"Referer", "https://App.Example.com:443/page?q=1"}}, "https://app.example.com"},
      {"GET", "/mac", {}, ""},
      {"GET", "/macp", {{"Referer", "https://app.example.com/"}}, ""},
      {"OPTIONS", "/mac", {{"Origin", "https://app.example.com"}}, "https://app.example.com"},
      {"GET", "/mac", {{"Origin", "https://app.example.com.evil.test"}}, nullptr},
      {"GET", "/mac", {{"Origin", "https://badexample.org"}}, nullptr},
      {"GET", "/mac", {{"Origin", "null"}}, nullptr},
      {"GET", "/mac", {{"Origin", "https://evil.test"}, {"Referer", "https://app.example.com/"}}, nullptr},
      {"OPTIONS", "/", {{"Origin", "http://app.example.com"}}, nullptr},
      {"GET", "/macp", {{"Referer", "https://evil.test/"}}, nullptr},
      {"GET", "/macp", {}, nullptr},
      {"GET", "/mac", {{"Origin", "https://app.example.com"}, {"Host", "rebound.evil.test:" + std::to_string(port)}}, nullptr},
  };
  auto c = client();
  int refusals = 0;
  int allowed_gets = 0;
  const int lookups_before = lookups;
  for (const request_case& rc : cases) {
    SCOPED_TRACE(std::string(rc.method) + " " + rc.path + " " + (rc.headers.empty() ? "" : rc.headers.begin()->second));
    const auto res = std::string(rc.method) == "GET" ? c.Get(rc.path, rc.headers) : c.Options(rc.path, rc.headers);
    ASSERT_TRUE(res);
    if (rc.allow_origin == nullptr) {
      ++refusals;
      EXPECT_EQ(res->status, 403);
      EXPECT_EQ(res->body, refused);
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
      EXPECT_EQ(res->get_header_value("Vary"), "Origin");
      EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
      continue;
    }
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), rc.allow_origin);
    EXPECT_EQ(res->get_header_value("Vary"), *rc.allow_origin != '\0' ? "Origin" : "");
    EXPECT_FALSE(res->has_header("Cache-Control"));
    if (std::string(rc.method) == "GET") ++allowed_gets;
  }
  EXPECT_EQ(lookups - lookups_before, allowed_gets) << "a refused request looked the adapters up";
  int warnings = 0;
  for (const log_record& r : request_records()) warnings += r.level == "warning" ? 1 : 0;
  EXPECT_EQ(warnings, refusals) << "one warning record a refusal";
  EXPECT_EQ(request_records().back().message,
            "request refused by the origin policy: /mac, Host rebound.evil.test:" + std::to_string(port));

  server->set_origin_policy(nullptr);
  EXPECT_EQ(c.Get("/mac", {{"Origin", "https://evil.test"}})->get_header_value("Access-Control-Allow-Origin"), "*");
}

TEST_F(endpoint, head_is_served_by_the_get_route_without_a_body) {
  const std::string answer = test::raw_exchange(port, "HEAD /mac HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 4), "\r\n\r\n") << "a body was sent";
  const auto records = request_records();
  ASSERT_EQ(records.size(), 2u);
  expect_record(records[0], "info", "qelt::http_server::mac_handler", "mac addres request: /mac, 127.0.0.1");
}

TEST_F(endpoint, lookup_results_shape_the_envelope) {
  auto c = client();
  mode = lookup_mode::no_adapter;
  EXPECT_EQ(c.Get("/mac")->body, R"({"data":[],"success":true})");
  mode = lookup_mode::fails;
  const auto failed = c.Get("/mac");
  EXPECT_EQ(failed->status, 200);
  EXPECT_EQ(failed->body, R"({"data":"could not find mac address","success":false})");
  EXPECT_EQ(failed->get_header_value("Access-Control-Allow-Origin"), "*");
  const auto failed_jsonp = c.Get("/macp");
  EXPECT_EQ(failed_jsonp->body, R"(macCallback({"data":"could not find mac address","success":false}))");
  EXPECT_EQ(failed_jsonp->get_header_value("Content-Type"), "application/javascript");
}

TEST_F(endpoint, unrouted_requests_get_their_status_and_a_json_failure_without_cors) {
  for (const bool keep_alive : {false, true}) {
    SCOPED_TRACE(keep_alive ? "kept alive" : "one connection a request");
    auto c = client();
    c.set_keep_alive(keep_alive);
    const auto check = [](const httplib::Result& res, int status) {
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, status);
      EXPECT_EQ(res->body, "{\"data\":\"error status: " + std::to_string(status) + "\",\"success\":false}");
      EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
    };
    check(c.Get("/mac/"), 404);
    check(c.Get("/MAC"), 404);
    check(c.Get("/macp/x"), 404);
    check(c.Post("/mac", "", "text/plain"), 404);
    check(c.Options("/macp"), 404);
    check(c.Delete("/mac"), 404);
  }
  // A method the library does not route at all. The connection ends with the answer:
  // a request sent after it on the same connection is never read.
  const std::string answer =
      test::raw_exchange(port, "BREW /mac HTTP/1.1\r\nHost: x\r\n\r\nGET /mac HTTP/1.1\r\nHost: x\r\n\r\n", 1000);
  EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\n\r\n{\"data\":\"error status: 400\",\"success\":false}"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos);
  EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos) << "read on after the refusal: " << answer;
}

TEST_F(endpoint, bodies_larger_than_any_route_takes_are_refused_before_they_are_read) {
  const std::string head = "POST /mac HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 1048576\r\n\r\n";
  const std::string answer = test::raw_exchange(port, head + std::string(1048576, 'x'));
  EXPECT_EQ(answer.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("{\"data\":\"error status: 413\",\"success\":false}"), std::string::npos) << answer;
  // Announced but not sent, and chunked without end: refused from the headers alone,
  // and the connection ends there; what follows is not read as another request.
  for (const char* headers : {"Content-Length: 268435456\r\n", "Transfer-Encoding: chunked\r\n"}) {
    SCOPED_TRACE(headers);
    const std::string refused = test::raw_exchange(
        port, std::string("POST /mac HTTP/1.1\r\nHost: x\r\n") + headers + "\r\n" +
                  "GET /mac HTTP/1.1\r\nHost: x\r\n\r\n", 1000);
    EXPECT_EQ(refused.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("{\"data\":\"error status: 413\",\"success\":false}"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("HTTP/1.1 200"), std::string::npos) << "read on after the refusal: " << refused;
  }
  EXPECT_EQ(client().Get("/mac")->status, 200);
}

TEST_F(endpoint, handler_exceptions_answer_200_with_the_message) {
  struct exception_case {
    lookup_mode mode;
    std::string data;
  };
  const exception_case cases[] = {
      {lookup_mode::throws, "error status: -1, lookup broke"},
      {lookup_mode::throws_empty, "error status: -1, Unknown exception"},
      {lookup_mode::throws_non_std, "error status: -1, Unknown exception"},
      // Bytes that are not UTF-8 are replaced rather than breaking the answer.
      {lookup_mode::throws_bad_utf8, "error status: -1, bad \xEF\xBF\xBD byte"},
  };
  auto c = client();
  for (const auto& [failure, data] : cases) {
    mode = failure;
    for (const char* path : {"/mac", "/macp"}) {
      const auto res = c.Get(path);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200);
      EXPECT_EQ(res->body, "{\"data\":\"" + data + "\",\"success\":false}");
      EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
      EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
    }
  }
}

TEST_F(endpoint, every_answer_writes_its_records) {
  auto c = client();
  c.Get("/mac");
  c.Get("/");
  c.Get("/macp?callback=x");
  c.Options("/mac");
  c.Get("/MAC");
  mode = lookup_mode::throws;
  c.Get("/mac");

  const auto r = request_records();
  ASSERT_EQ(r.size(), 12u);
  const std::string json = two_macs;
  expect_record(r[0], "info", "qelt::http_server::mac_handler", "mac addres request: /mac, 127.0.0.1");
  expect_record(r[1], "debug", "qelt::http_server::mac_handler", "response for /mac: " + json);
  expect_record(r[2], "info", "qelt::http_server::mac_handler", "mac addres request: /, 127.0.0.1");
  expect_record(r[3], "debug", "qelt::http_server::mac_handler", "response for /: " + json);
  expect_record(r[4], "info", "qelt::http_server::macp_handler", "macp addres request: /macp, 127.0.0.1");
  expect_record(r[5], "debug", "qelt::http_server::macp_handler", "response for /macp: " + json);
  expect_record(r[6], "debug", "qelt::http_server::macp_handler", "macCallback(" + json + ")");
  expect_record(r[7], "info", "qelt::http_server::mac_option_handler",
                "mac addres options request: /mac, 127.0.0.1");
  expect_record(r[8], "info", "qelt::http_server::error_handler", "error occured: /MAC, 404");
  expect_record(r[9], "info", "qelt::http_server::mac_handler", "mac addres request: /mac, 127.0.0.1");
  expect_record(r[10], "error", "qelt::unwrap_exception", "lookup broke");
  expect_record(r[11], "info", "qelt::http_server::exception_handler", "exception: /mac, 127.0.0.1, lookup broke");
  for (const auto& record : r) EXPECT_EQ(record.file, record.function.find("exception") != std::string::npos ||
                                                             record.function.find("error") != std::string::npos
                                                         ? "http_server.cpp"
                                                         : "mac_routes.cpp");
}

TEST_F(endpoint, concurrent_requests_all_get_the_same_answer) {
  constexpr int clients = 64;
  std::vector<std::string> bodies(clients);
  std::vector<int> statuses(clients, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      // Generous limits: this checks that every request is answered, not how fast.
      auto c = client();
      c.set_connection_timeout(30, 0);
      c.set_read_timeout(30, 0);
      if (const auto res = c.Get(i % 2 ? "/mac" : "/")) {
        statuses[i] = res->status;
        bodies[i] = res->body;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < clients; ++i) {
    EXPECT_EQ(statuses[i], 200) << i;
    EXPECT_EQ(bodies[i], two_macs) << i;
  }
}

// Lifecycle cases need their own servers, so they are not endpoint fixtures.
class endpoint_lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { log_file = test::use_log_in(dir.path()); }
  test::temp_dir dir;
  std::filesystem::path log_file;
};

TEST_F(endpoint_lifecycle, logs_init_start_and_stop) {
  const int port = test::free_port();
  {
    http_server server(fake_lookup);
    server.init("127.0.0.1", port);
    server.start();
    ASSERT_TRUE(wait_until_answering(port));
    server.stop();
  }
  const auto r = test::read_records(log_file);
  ASSERT_EQ(r.size(), 3u);
  expect_record(r[0], "info", "qelt::http_server::init", "server initialized success");
  expect_record(r[1], "info", "qelt::http_server::start", "server start succeed");
  expect_record(r[2], "info", "qelt::http_server::stop", "server stopped");
}

TEST_F(endpoint_lifecycle, stop_does_not_wait_for_idle_kept_alive_connections) {
  const int port = test::free_port();
  http_server server(fake_lookup);
  server.init("127.0.0.1", port);
  server.start();
  ASSERT_TRUE(wait_until_answering(port));
  httplib::Client browser("127.0.0.1", port);
  browser.set_keep_alive(true);
  ASSERT_TRUE(browser.Get("/mac"));
  // Waiting out the connection's 5 s keep-alive would let a restart find the old process still there.
  const auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
}

// Whether the log holds a record with this message start, within 10 s.
bool wait_for_record(const std::filesystem::path& log_file, const std::string& start) {
  return wait_until([&] {
    for (const log_record& r : test::read_records(log_file)) {
      if (r.message.rfind(start, 0) == 0) return true;
    }
    return false;
  });
}

TEST_F(endpoint_lifecycle, a_taken_port_is_said_then_tried_again_until_it_is_free) {
  const int port = test::free_port();
  const std::string address = "127.0.0.1:" + std::to_string(port);
  http_server server(fake_lookup);
  {
    const test::port_holder other_program(port);
    ASSERT_TRUE(other_program.holding());
    server.init("127.0.0.1", port);
    server.start();
    ASSERT_TRUE(wait_for_record(log_file, "cannot listen on " + address + ": "));
  }
  ASSERT_TRUE(wait_until_answering(port)) << "not listening once the port was free";
  EXPECT_EQ(client_get(port, "/mac"), two_macs);
  server.stop();
  const auto r = test::read_records(log_file);
  ASSERT_EQ(r.size(), 7u);  // with the GET's two
  EXPECT_EQ(r[1].message, "server start succeed");
  expect_record(r[2], "error", "qelt::http_server::bind_listener", r[2].message);
  EXPECT_NE(r[2].message.find("trying again every few seconds"), std::string::npos) << r[2].message;
  expect_record(r[3], "info", "qelt::http_server::bind_listener", "listening on " + address);
  EXPECT_EQ(r[6].message, "server stopped");
}

TEST_F(endpoint_lifecycle, stop_ends_the_retrying_at_once) {
  const int port = test::free_port();
  const test::port_holder other_program(port);
  http_server server(fake_lookup);
  server.init("127.0.0.1", port);
  server.start();
  ASSERT_TRUE(wait_for_record(log_file, "cannot listen on "));
  // The first retry is 2 s away: a stop that waited for it would show.
  const auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(test::read_records(log_file).back().message, "server stopped");
}

TEST_F(endpoint_lifecycle, a_second_endpoint_never_shares_the_port) {
  const int port = test::free_port();
  http_server first(fake_lookup);
  first.init("127.0.0.1", port);
  first.start();
  ASSERT_TRUE(wait_until_answering(port));
  {
    http_server second(fake_lookup);
    second.init("127.0.0.1", port);
    second.start();
    ASSERT_TRUE(wait_for_record(log_file, "cannot listen on "));
    second.stop();
  }
  const auto r = test::read_records(log_file);
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[5].message, "server stopped");
  // Every connection reaches the first endpoint, none waits in a second listener.
  for (int i = 0; i < 20; ++i) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(2, 0);
    const auto res = c.Get("/mac");
    ASSERT_TRUE(res) << i;
    EXPECT_EQ(res->body, two_macs);
  }
  first.stop();
}

TEST_F(endpoint_lifecycle, start_and_stop_back_to_back_leave_no_listener) {
  const int port = test::free_port();
  for (int cycle = 0; cycle < 100; ++cycle) {
    http_server server(fake_lookup);
    server.init("127.0.0.1", port);
    server.start();
    if (cycle % 2 == 1) {
      ASSERT_TRUE(wait_until_answering(port)) << cycle;
    }
    server.stop();  // on even cycles, most likely before the listener listens
    ASSERT_FALSE(test::port_answers(port)) << "listener left behind in cycle " << cycle;
  }
  // The port is free again for anyone.
  const test::port_holder next(port);
  EXPECT_TRUE(next.holding());
}

TEST_F(endpoint_lifecycle, destroyed_without_stop_still_ends_its_listener) {
  const int port = test::free_port();
  {
    http_server server(fake_lookup);
    server.init("127.0.0.1", port);
    server.start();
    ASSERT_TRUE(wait_until_answering(port));
  }
  EXPECT_FALSE(test::port_answers(port));
}

// Idle kept-alive connections each hold a worker: the pool must grow past its ready
// workers when all are busy, shrink back once the rush is over, and lose no job.
TEST(worker_pool, grows_while_all_are_busy_shrinks_back_and_runs_every_job) {
  std::atomic<int> started{0};
  std::atomic<int> done{0};
  worker_pool pool(1, 4, std::chrono::milliseconds(20), std::chrono::milliseconds(5));
  EXPECT_EQ(pool.workers(), 1u);
  // Four jobs that each wait for the others: they finish only if all four run at once.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(pool.enqueue([&] {
      ++started;
      wait_until([&] { return started == 4; });
      ++done;
    }));
  }
  EXPECT_TRUE(wait_until([&] { return done == 4; })) << started << " of 4 jobs ran at once";
  EXPECT_TRUE(wait_until([&] { return pool.workers() == 1; })) << pool.workers() << " workers left";
  // More jobs than workers wait their turn, and shutdown runs those still waiting.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(pool.enqueue([&] { ++done; }));
  pool.shutdown();
  EXPECT_EQ(done, 24);
  EXPECT_EQ(pool.workers(), 0u);
  EXPECT_FALSE(pool.enqueue([] {}));
}

// A worker about to finish is waited for: under Wine every needless thread costs memory.
TEST(worker_pool, waits_for_a_worker_that_comes_back_within_the_grace) {
  worker_pool pool(1, 4, std::chrono::seconds(10), std::chrono::seconds(5));
  std::atomic<int> done{0};
  ASSERT_TRUE(pool.enqueue([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++done;
  }));
  ASSERT_TRUE(pool.enqueue([&] { ++done; }));
  EXPECT_EQ(pool.workers(), 1u);
  pool.shutdown();
  EXPECT_EQ(done, 2);
}

}  // namespace
}  // namespace qelt
