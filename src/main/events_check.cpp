// The message table compiled into the exe (event_messages.mc, through windmc) and the
// identifiers the code reports (log/events.h) must agree.
#include "platform/windows_api.h"

#include <event_messages.h>

#include "log/events.h"

static_assert(qelt::events::service_started == MSG_SERVICE_STARTED);
static_assert(qelt::events::service_stopped == MSG_SERVICE_STOPPED);
static_assert(qelt::events::cannot_listen == MSG_CANNOT_LISTEN);
static_assert(qelt::events::log_budget_spent == MSG_LOG_BUDGET_SPENT);
static_assert(qelt::events::log_write_failed == MSG_LOG_WRITE_FAILED);
