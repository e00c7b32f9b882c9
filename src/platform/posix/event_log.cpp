#include <mutex>

#include "platform/event_log.h"
#include "platform/posix/event_log_stand_in.h"

namespace qelt::platform {

namespace {

struct event_store {
  std::mutex mutex;
  std::vector<stand_in::reported_event> events;
};

event_store& store() {
  static event_store events;
  return events;
}

}  // namespace

void report_event(event_type type, std::uint32_t message, const std::vector<std::string>& inserts) {
  const std::lock_guard<std::mutex> lock(store().mutex);
  store().events.push_back({type, message, inserts});
}

std::vector<stand_in::reported_event> stand_in::reported_events() {
  const std::lock_guard<std::mutex> lock(store().mutex);
  return store().events;
}

}  // namespace qelt::platform
