// What the endpoint tells this system's service manager about its listening socket.
// systemd waits for the first of these before it calls the service started; the
// Windows service manager has no such status, so there they do nothing.
#pragma once

#include <string>

namespace qelt::platform {

// The endpoint listens on `address` (host:port).
void report_listening(const std::string& address);
// It cannot yet: `reason` says why; it keeps trying, as the service keeps running.
void report_cannot_listen(const std::string& address, const std::string& reason);

}  // namespace qelt::platform
