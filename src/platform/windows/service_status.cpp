#include "platform/service_status.h"

namespace qelt::platform {

// The service reports itself running from ServiceMain, whatever the socket does; the
// log and event 100 say when it cannot listen.
void report_listening(const std::string&) {}

void report_cannot_listen(const std::string&, const std::string&) {}

}  // namespace qelt::platform
