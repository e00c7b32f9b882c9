// What the agent runs, as a service or in the foreground: the administrator's
// settings, followed while it runs, and the HTTP endpoint.
#pragma once

#include <string>

namespace qelt {

// Reads and applies the settings, then starts the endpoint on host:port.
void start_agent(const std::string& host, int port);
// Stops the endpoint and stops following the settings.
void stop_agent();

}  // namespace qelt
