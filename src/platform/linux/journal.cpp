#include "platform/linux/journal.h"

#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qelt::platform {

std::string journal_datagram(const journal_fields& fields) {
  std::string datagram;
  for (const auto& [name, value] : fields) {
    datagram += name;
    if (value.find('\n') == std::string::npos) {
      datagram += '=';
    } else {
      datagram += '\n';
      std::uint64_t size = value.size();
      for (int i = 0; i < 8; ++i, size >>= 8) datagram += static_cast<char>(size & 0xFF);
    }
    datagram += value;
    datagram += '\n';
  }
  return datagram;
}

bool send_journal_entry(const std::string& socket_path, const journal_fields& fields) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  const std::string datagram = journal_datagram(fields);
  const ssize_t sent = sendto(sock, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(sock);
  return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace qelt::platform
