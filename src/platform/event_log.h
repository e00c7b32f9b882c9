// Events for the Application log, source "qelt agent" (log/events.h). On Windows the
// system's event log; elsewhere a stand-in that keeps them for tests
// (platform/posix/event_log_stand_in.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelt::platform {

enum class event_type { information, warning, error };

// One event: `message` is its identifier in the message table, `inserts` fill its %1, %2, ...
// Failures are ignored: the file log is the full record.
void report_event(event_type type, std::uint32_t message, const std::vector<std::string>& inserts);

}  // namespace qelt::platform
