// The reference servers the agent's endpoint is measured against: the same
// cpp-httplib build and settings (TCP_NODELAY on, the library's defaults for the
// rest) answering GET /mac with a fixed 45-byte JSON body.
//   qelt-bench-server bare PORT       the body alone
//   qelt-bench-server adapters PORT   also makes the agent's two GetAdaptersAddresses
//                                     calls (size, then data) on every request
// Serves on 127.0.0.1 until a line or the end of standard input, like qelt-host.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "platform/windows_api.h"

namespace qelt::bench {

namespace {

constexpr std::string_view fixed_body = R"({"data":["00:1A:2B:3C:4D:5E"],"success":true})";
static_assert(fixed_body.size() == 45);

struct free_deleter {
  void operator()(void* block) const { std::free(block); }
};

// The agent's query: the size first, then the list into a block of that size.
bool query_adapters() {
  constexpr ULONG flags = GAA_FLAG_INCLUDE_PREFIX;
  ULONG size = 0;
  if (GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) {
    return false;
  }
  const std::unique_ptr<void, free_deleter> block(std::malloc(size));
  return GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                              static_cast<IP_ADAPTER_ADDRESSES*>(block.get()), &size) == NO_ERROR;
}

}  // namespace

int run(std::string_view mode, int port) {
  const bool with_adapters = mode == "adapters";
  if (!with_adapters && mode != "bare") {
    std::fprintf(stderr, "qelt-bench-server: unknown mode\n");
    return 2;
  }
  WSADATA wsa_data{};
  if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) return 1;
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Get("/mac", [with_adapters](const httplib::Request&, httplib::Response& response) {
    if (with_adapters && !query_adapters()) {
      response.status = 500;
      return;
    }
    response.set_header("Access-Control-Allow-Origin", "*");
    response.set_content(fixed_body.data(), fixed_body.size(), "application/json");
  });
  std::atomic<bool> listen_returned{false};
  std::thread listener([&] {
    server.listen("127.0.0.1", port);
    listen_returned = true;
  });
  std::string line;
  std::getline(std::cin, line);
  // stop() acts only on a listening server: keep asking until listen() has returned.
  while (!listen_returned) {
    server.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  listener.join();
  WSACleanup();
  return 0;
}

}  // namespace qelt::bench

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qelt-bench-server bare|adapters PORT\n");
    return 2;
  }
  return qelt::bench::run(argv[1], std::atoi(argv[2]));
}
