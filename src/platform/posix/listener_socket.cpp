#include "platform/listener_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qelt::platform {

std::string bind_failure_reason(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return "not an IPv4 address";
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  int code = probe < 0 ? errno : 0;
  if (code == 0) set_listener_options(probe);
  if (code == 0 && bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) code = errno;
  if (code == 0 && listen(probe, 1) != 0) code = errno;
  if (probe >= 0) close(probe);
  if (code == 0) return "the address was in use for a moment";
  return std::string(std::strerror(code)) + " (errno " + std::to_string(code) + ")";
}

}  // namespace qelt::platform
