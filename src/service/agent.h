// What the agent runs, as a service or in the foreground: the administrator's
// settings, followed while it runs, and the HTTP endpoint.
#pragma once

#include <memory>
#include <string>

#include "policy/settings_source.h"

namespace qelt {

// Reads and applies the settings (the machine's unless another source is given), then
// starts the endpoint on host:port.
void start_agent(const std::string& host, int port,
                 std::unique_ptr<settings_source> settings = machine_settings_source());
// Stops the endpoint and stops following the settings.
void stop_agent();

}  // namespace qelt
