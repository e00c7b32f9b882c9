// Registration of the agent as this system's service: -i and -u.
#pragma once

#include <string>

namespace qelt {

enum class service_change {
  done,
  failed,
  // This system's packages install and remove the service; the switch does nothing.
  left_to_packages,
};

// Registers this executable as an own-process, demand-start service.
service_change install_service(const std::string& name);
// Marks the service for deletion.
service_change uninstall_service(const std::string& name);

// For left_to_packages: what to do instead, as the log says it.
std::string service_packages_advice();

}  // namespace qelt
