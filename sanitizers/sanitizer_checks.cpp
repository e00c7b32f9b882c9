// In-process checks built only in the asan and tsan presets. They drive the real
// endpoint and lookup concurrently so that the sanitizers see the threads the agent
// really runs: the listener, httplib's worker pool, the logger and stop().
//   qelt_sanitizer_checks CASE      (CASE: see the table in main)
// Exits 0 when the case held; a sanitizer report ends the process on its own.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http_server/http_server.h"
#include "log/log_manager.h"
#include "mac_lookup/mac_lookup.h"

namespace qelt::sanitizer_checks {

namespace {

std::atomic<int> failures{0};

void expect(bool condition, const std::string& what) {
  if (condition) return;
  ++failures;
  std::fprintf(stderr, "check failed: %s\n", what.c_str());
}

std::atomic<int> lookups{0};

bool two_macs(std::list<std::string>& macs) {
  ++lookups;
  macs.push_back("00:1A:2B:3C:4D:5E");
  macs.push_back("02:00:00:00:00:01");
  return true;
}

class log_folder {
 public:
  log_folder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("qelt-sanitizer-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
    log_manager::create((path_ / "qelt.log").string(), "QELT_LOGGER", "debug");
  }
  ~log_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path path_;
};

// Not httplib's bind_to_any_port: its socket stays open with SO_REUSEPORT after the
// Server object is gone, and the kernel then hands it half of the connections.
int free_port() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

// Polls until the endpoint answers or the deadline passes.
bool wait_until_answering(int port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(0, 200000);
    if (auto answer = client.Get("/mac"); answer && answer->status == 200) return true;
    std::this_thread::yield();
  }
  return false;
}

const std::string mac_body = R"({"data":["00:1A:2B:3C:4D:5E","02:00:00:00:00:01"],"success":true})";

// One client's mix of every route, kept alive or not.
void client_rounds(int port, int rounds, bool keep_alive) {
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(keep_alive);
  client.set_read_timeout(10, 0);
  for (int i = 0; i < rounds; ++i) {
    switch (i % 4) {
      case 0: {
        auto answer = client.Get("/mac");
        expect(answer && answer->status == 200 && answer->body == mac_body, "GET /mac");
        break;
      }
      case 1: {
        auto answer = client.Get("/macp");
        expect(answer && answer->body == "macCallback(" + mac_body + ")", "GET /macp");
        break;
      }
      case 2: {
        auto answer = client.Options("/mac");
        expect(answer && answer->status == 200 &&
                   answer->get_header_value("Access-Control-Allow-Origin") == "*",
               "OPTIONS /mac");
        break;
      }
      default: {
        auto answer = client.Get("/nothing-here");
        expect(answer && answer->status == 404 &&
                   answer->body == R"({"data":"error status: 404","success":false})",
               "GET of an unknown path");
      }
    }
  }
}

// Eight clients, half kept alive, against one endpoint; then a clean stop.
void concurrent_requests() {
  const log_folder log;
  const int port = free_port();
  http_server endpoint(two_macs);
  endpoint.init("127.0.0.1", port);
  endpoint.start();
  expect(wait_until_answering(port), "endpoint answers");
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) clients.emplace_back(client_rounds, port, 100, c % 2 == 0);
  for (auto& client : clients) client.join();
  endpoint.stop();
}

// stop() races the listener at every stage: before it binds, while it binds, and
// while clients are being served.
void stop_while_busy() {
  const log_folder log;
  for (int round = 0; round < 20; ++round) {
    const int port = free_port();
    http_server endpoint(two_macs);
    endpoint.init("127.0.0.1", port);
    endpoint.start();
    if (round % 4 == 0) {
      endpoint.stop();
      continue;
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
      clients.emplace_back([&, c] {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(c % 2 == 0);
        client.set_connection_timeout(0, 200000);
        client.set_read_timeout(2, 0);
        while (!done) {
          // Answers may fail once stop() has begun; only the sanitizers judge here.
          client.Get("/mac");
        }
      });
    }
    if (round % 4 != 1) wait_until_answering(port);
    endpoint.stop();
    done = true;
    for (auto& client : clients) client.join();
  }
}

// The real lookup (here netlink and sysfs) from several threads.
void concurrent_lookups() {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        std::list<std::string> macs;
        if (get_mac_addresses(macs)) {
          for (const auto& mac : macs) expect(mac.size() == 17, "MAC text length");
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace

int run(std::string_view name) {
  struct check {
    std::string_view name;
    void (*run)();
  };
  static constexpr check checks[] = {
      {"concurrent_requests", concurrent_requests},
      {"stop_while_busy", stop_while_busy},
      {"concurrent_lookups", concurrent_lookups},
  };
  for (const auto& c : checks) {
    if (c.name != name) continue;
    c.run();
    return failures == 0 ? 0 : 1;
  }
  std::fprintf(stderr, "unknown check: %.*s\n", static_cast<int>(name.size()), name.data());
  return 2;
}

}  // namespace qelt::sanitizer_checks

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qelt_sanitizer_checks CASE\n");
    return 2;
  }
  return qelt::sanitizer_checks::run(argv[1]);
}
