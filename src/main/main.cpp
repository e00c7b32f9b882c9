// qelt agent: tells web pages on this machine its MAC addresses over HTTP on
// 127.0.0.1:17654, as a Windows service (-i installs it, -u removes it).
#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "log/events.h"
#include "log/log.h"
#include "main/exe_path.h"
#include "main/service_installer.h"
#include "platform/event_log.h"
#include "platform/format.h"
#include "platform/windows_api.h"
#include "service/main_service.h"

namespace {

constexpr const char* service_name = "qelt agent service";
constexpr const char* log_file_name = "qelt.log";
constexpr const char* logger_name = "QELT_LOGGER";
constexpr const char* level_name = "debug";
constexpr const char* install_switch = "-i";
constexpr const char* uninstall_switch = "-u";
// Exit code when starting or stopping the endpoint failed.
constexpr int run_failed = 2;

std::filesystem::path log_path() { return qelt::get_exe_dir() / "logs" / log_file_name; }

std::string agent_address() { return qelt::format("{}:{}", qelt::agent_host, qelt::agent_port); }

// Whether the service manager started this process and it reported itself running.
std::atomic<bool> running_as_service{false};

// The frame's ServiceMain, and the Event Log's record of the start it reports.
void WINAPI agent_service_main(DWORD argc, LPSTR* argv) {
  qelt::CService::ServiceMain(argc, argv);
  if (qelt::CService::s_instance->m_statusHandle == nullptr) return;
  running_as_service = true;
  qelt::platform::report_event(qelt::platform::event_type::information, qelt::events::service_started,
                               {agent_address()});
}

void run(qelt::main_service& service) {
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
    qelt::platform::report_event(qelt::platform::event_type::information, qelt::events::service_stopped,
                                 {agent_address()});
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    // A service starts in the system folder: work beside the executable instead.
    qelt::set_working_dir();
    qelt::log_manager::create(log_path(), logger_name, level_name);
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return 0;
  }

  QELT_INFO("qelt logger initialized");
  try {
    qelt::main_service service;
    if (argc == 2) {
      const std::string command = argv[1];
      if (command == install_switch) {
        if (qelt::install_service(service_name)) {
          QELT_INFO("{}: service installed successfully", service_name);
        } else {
          QELT_ERROR("{}: error installing service", service_name);
        }
      } else if (command == uninstall_switch) {
        if (qelt::uninstall_service(service_name)) {
          QELT_INFO("{}: service uninstalled successfully", service_name);
        } else {
          QELT_ERROR("{}: error uninstalling service", service_name);
        }
      }
      // Installed, removed or not: the exit code only says which way was taken.
      return 1;
    }
    run(service);
    return 0;
  } catch (const std::exception& e) {
    QELT_ERROR("{}", e.what());
    return run_failed;
  }
}
