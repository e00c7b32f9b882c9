#include "platform/linux/service_notify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qelt::platform {

bool notify_service_manager(const std::string& state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return false;
  const std::size_t length = std::strlen(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const bool path = name[0] == '/';
  if ((!path && name[0] != '@') || length < 2 || length > sizeof address.sun_path - (path ? 1 : 0)) return false;
  std::memcpy(address.sun_path, name, length);
  // An abstract name starts with a NUL byte and is exactly as long as given.
  if (name[0] == '@') address.sun_path[0] = '\0';
  const socklen_t address_size =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path ? 1 : 0));
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  const ssize_t sent = sendto(sock, state.data(), state.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), address_size);
  close(sock);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace qelt::platform
