// The reference servers the agent's endpoint is measured against: the same
// cpp-httplib build and settings (TCP_NODELAY on, five requests a kept-alive
// connection as the agent's answers promise, the library's defaults for the rest)
// answering GET /mac with a fixed 45-byte JSON body.
//   qelt-bench-server bare PORT             the body alone
//   qelt-bench-server adapters PORT         also makes the agent's two GetAdaptersAddresses
//                                           calls (size, then data) on every request
//   qelt-bench-server adapters-prefix PORT  the same with the flag the agent used before
//                                           (GAA_FLAG_INCLUDE_PREFIX: every address list)
//   qelt-bench-server accept PORT           no HTTP at all: one thread blocked in accept(),
//                                           the floor of what an idle listener costs
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

constexpr ULONG agent_flags =
    GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;

// The agent's query: the size first, then the list into a block of that size.
bool query_adapters(ULONG flags) {
  ULONG size = 0;
  if (GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) {
    return false;
  }
  const std::unique_ptr<void, free_deleter> block(std::malloc(size));
  return GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                              static_cast<IP_ADAPTER_ADDRESSES*>(block.get()), &size) == NO_ERROR;
}

}  // namespace

// Blocks in accept() until standard input ends; then closes the socket, which ends the wait.
int block_in_accept(int port) {
  const socket_t listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener == INVALID_SOCKET ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0) {
    return 1;
  }
  std::thread waiter([listener] {
    for (;;) {
      const socket_t client = ::accept(listener, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      httplib::detail::close_socket(client);
    }
  });
  std::string line;
  std::getline(std::cin, line);
  // 2: both directions, SD_BOTH on Windows and SHUT_RDWR elsewhere (httplib, compiled
  // apart, declares no shutdown_socket of its own).
  ::shutdown(listener, 2);
  httplib::detail::close_socket(listener);
  waiter.join();
  return 0;
}

int run(std::string_view mode, int port) {
  const bool with_adapters = mode == "adapters" || mode == "adapters-prefix";
  const ULONG flags = mode == "adapters-prefix" ? GAA_FLAG_INCLUDE_PREFIX : agent_flags;
  if (!with_adapters && mode != "bare" && mode != "accept") {
    std::fprintf(stderr, "qelt-bench-server: unknown mode\n");
    return 2;
  }
  WSADATA wsa_data{};
  if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) return 1;
  if (mode == "accept") {
    const int result = block_in_accept(port);
    WSACleanup();
    return result;
  }
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(5);
  server.Get("/mac", [with_adapters, flags](const httplib::Request&, httplib::Response& response) {
    if (with_adapters && !query_adapters(flags)) {
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
    std::fprintf(stderr, "usage: qelt-bench-server bare|adapters|adapters-prefix|accept PORT\n");
    return 2;
  }
  return qelt::bench::run(argv[1], std::atoi(argv[2]));
}
