#include "main/service_installer.h"

namespace qelt {

// systemd runs the unit that the .deb or .rpm installs; a unit written by the program
// itself would be nobody's to upgrade or remove.
service_change install_service(const std::string&) { return service_change::left_to_packages; }

service_change uninstall_service(const std::string&) { return service_change::left_to_packages; }

std::string service_packages_advice() {
  return "on Linux the qelt-agent package (.deb or .rpm) installs the service qelt-agent.service and "
         "removing the package removes it; start, stop, enable or disable it with systemctl";
}

}  // namespace qelt
