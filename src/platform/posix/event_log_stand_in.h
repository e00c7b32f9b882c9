// The events reported on targets without an event log: kept for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace qelt::platform::stand_in {

struct reported_event {
  event_type type;
  std::uint32_t message;
  std::vector<std::string> inserts;
};

// Every event reported so far, oldest first.
std::vector<reported_event> reported_events();

}  // namespace qelt::platform::stand_in
