// Options for the endpoint's listening socket: the port is this program's alone.
// httplib's defaults let another listener share it (SO_REUSEPORT on Linux;
// SO_REUSEADDR on Windows, which binds over a non-exclusive holder of the port).
#pragma once

#include <httplib.h>

namespace qelt::platform {

inline void exclusive_listener(socket_t socket) {
#if defined(_WIN32)
  BOOL yes = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
  // A restart may bind again while old connections linger in TIME_WAIT.
  int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
}

}  // namespace qelt::platform
