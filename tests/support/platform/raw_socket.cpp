#include "support/platform/raw_socket.h"

#include <chrono>
#include <cstring>

#include <httplib.h>  // brings the socket headers of each platform, and starts Winsock on Windows

namespace qelt::test {

namespace {

#if defined(_WIN32)
using native_socket = SOCKET;
constexpr native_socket no_socket = INVALID_SOCKET;
void close_native(native_socket s) { closesocket(s); }
void set_receive_timeout(native_socket s, int timeout_ms) {
  DWORD timeout = static_cast<DWORD>(timeout_ms);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}
constexpr int send_flags = 0;
void set_exclusive(native_socket s) {
  BOOL yes = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}
#else
using native_socket = int;
constexpr native_socket no_socket = -1;
void close_native(native_socket s) { ::close(s); }
void set_receive_timeout(native_socket s, int timeout_ms) {
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}
// The server may close before it has taken everything: an error, not a SIGPIPE.
constexpr int send_flags = MSG_NOSIGNAL;
void set_exclusive(native_socket) {}  // without SO_REUSEPORT, a bound port is exclusive here
#endif

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

native_socket connect_to(int port) {
  native_socket s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == no_socket) return no_socket;
  const sockaddr_in address = loopback(port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close_native(s);
    return no_socket;
  }
  return s;
}

}  // namespace

std::string raw_exchange(int port, const std::string& request, int timeout_ms) {
  native_socket s = connect_to(port);
  if (s == no_socket) return {};
  set_receive_timeout(s, timeout_ms);
  for (std::size_t sent = 0; sent < request.size();) {
    const auto n = ::send(s, request.data() + sent, static_cast<int>(request.size() - sent), send_flags);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  char chunk[4096];
  for (;;) {
    const auto n = ::recv(s, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  close_native(s);
  return answer;
}

int platform_free_port() {
  native_socket s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == no_socket) return 0;
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close_native(s);
  return port;
}

bool port_answers(int port) {
  native_socket s = connect_to(port);
  if (s == no_socket) return false;
  close_native(s);
  return true;
}

port_holder::port_holder(int port) : socket_(static_cast<long long>(::socket(AF_INET, SOCK_STREAM, 0))) {
  const auto s = static_cast<native_socket>(socket_);
  if (s == no_socket) return;
  set_exclusive(s);
  const sockaddr_in address = loopback(port);
  holding_ = ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(s, 5) == 0;
}

port_holder::~port_holder() {
  const auto s = static_cast<native_socket>(socket_);
  if (s != no_socket) close_native(s);
}

}  // namespace qelt::test
