#include "log/request_log.h"

#include "log/events.h"
#include "log/log.h"
#include "platform/event_log.h"

namespace qelt::request_log {

namespace {

// A worker thread answers one request at a time, so its decision lives with the thread.
struct request_state {
  bool decided = false;
  bool admitted = false;
};

thread_local request_state current;

}  // namespace

bool admitted() {
  if (current.decided) return current.admitted;
  current.decided = true;
  const daily_log_sink::admission admission = log_manager::instance().admit_request();
  current.admitted = admission == daily_log_sink::admission::admitted;
  if (admission == daily_log_sink::admission::budget_spent) {
    const std::string budget = budget_text(log_manager::instance().request_budget());
    const std::string day = log_manager::instance().local_date();
    QELT_WARN("the request log budget of {} a day is spent for {}: request records are suppressed until midnight",
              budget, day);
    platform::report_event(platform::event_type::warning, events::log_budget_spent, {budget, day});
  }
  return current.admitted;
}

bool counting() { return current.decided && current.admitted; }

void end() { current = {}; }

}  // namespace qelt::request_log
