// How the agent runs as this system's service, once its log is up and the command
// line asks for a run: under the Windows service control manager, or in the foreground
// under systemd (or by hand) on Linux.
#pragma once

#include <string>

#include "service/main_service.h"

namespace qelt::platform {

// Runs `service` under `name` until this system stops it, calling its OnStart before
// and its OnStop after; exceptions from the hooks pass through.
void run_service(main_service& service, const std::string& name);

}  // namespace qelt::platform
