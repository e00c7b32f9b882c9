#include "platform/service_status.h"

#include "platform/linux/service_notify.h"

namespace qelt::platform {

void report_listening(const std::string& address) {
  notify_service_manager("READY=1\nSTATUS=listening on " + address);
}

// Ready all the same: the service is up and will listen once the port is free, and
// `systemctl status` shows why it does not yet.
void report_cannot_listen(const std::string& address, const std::string& reason) {
  notify_service_manager("READY=1\nSTATUS=cannot listen on " + address + ": " + reason +
                         "; trying again every few seconds");
}

}  // namespace qelt::platform
