// The service manager's notification protocol (sd_notify): one datagram of
// "NAME=value" lines to the socket named by $NOTIFY_SOCKET, a path or, with a
// leading '@', an abstract socket name. Spoken here directly: it is stable and small.
#pragma once

#include <string>

namespace qelt::platform {

// Sends `state` (e.g. "READY=1\nSTATUS=listening") where $NOTIFY_SOCKET says; false
// when it is not set (not started by systemd) or the datagram could not be sent.
bool notify_service_manager(const std::string& state);

}  // namespace qelt::platform
