// How the endpoint's listening socket and accept loop differ between targets.
#pragma once

#include <ctime>
#include <string>

#include <httplib.h>

namespace qelt::platform {

// Why host:port cannot be bound and listened on just now, as the system says it, with
// its error code: asked again with a socket of the listener's kind, which is then closed.
std::string bind_failure_reason(const std::string& host, int port);

#if defined(_WIN32)
// No address option at all: another program can then neither share the port nor
// bind over it, and a restarted agent binds at once. SO_EXCLUSIVEADDRUSE would keep
// the port from a new exclusive socket while the old one's connections wind down,
// and SO_REUSEADDR (the library's default) lets another socket take the port.
inline void set_listener_options(socket_t) {}

// httplib's Windows accept loop always waits for the listening socket with a
// timeout, 10 ms by default: a hundred wake-ups a second for an agent nobody calls.
// Closing the socket in stop() ends the wait at once, so it can be long.
inline constexpr std::time_t accept_wait_seconds = 3600;
#else
// A restart may bind again while old connections linger in TIME_WAIT. No
// SO_REUSEPORT (the library's default adds it): a second listener never shares the port.
inline void set_listener_options(socket_t socket) {
  int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Elsewhere the accept loop blocks in accept() when the wait is 0, and stop()'s
// shutdown of the socket ends it.
inline constexpr std::time_t accept_wait_seconds = 0;
#endif

}  // namespace qelt::platform
