#include "platform/service_host.h"

#include <atomic>
#include <cstdio>

#include "log/events.h"
#include "platform/event_log.h"
#include "platform/format.h"
#include "platform/windows_api.h"

namespace qelt::platform {

namespace {

std::string agent_address() { return qelt::format("{}:{}", agent_host, agent_port); }

// Whether the service manager started this process and it reported itself running.
std::atomic<bool> running_as_service{false};

// The frame's ServiceMain, and the Event Log's record of the start it reports.
void WINAPI agent_service_main(DWORD argc, LPSTR* argv) {
  CService::ServiceMain(argc, argv);
  if (CService::s_instance->m_statusHandle == nullptr) return;
  running_as_service = true;
  report_event(event_type::information, events::service_started, {agent_address()});
}

}  // namespace

void run_service(main_service& service, const std::string& service_name) {
  {
    std::string name = service_name;
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), &agent_service_main}, {nullptr, nullptr}};
    service.m_serviceName = name;
    service.OnStart();
    // Returns once the service has reported itself stopped, or at once when the
    // service control manager did not start this process.
    if (!StartServiceCtrlDispatcherA(table)) {
      const DWORD error = GetLastError();
      std::printf("## Debug console mode ##\n");
      std::printf("last error = %d\n", static_cast<int>(error));
    }
  }
  service.OnStop();
  if (running_as_service) {
    report_event(event_type::information, events::service_stopped, {agent_address()});
  }
}

}  // namespace qelt::platform
