// qelt agent: tells web pages on this machine its MAC addresses over HTTP on
// 127.0.0.1:17654, as this system's service: under the Windows service control
// manager (-i installs it, -u removes it), or under systemd on Linux.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "log/log.h"
#include "main/exe_path.h"
#include "main/service_installer.h"
#include "platform/log_files.h"
#include "platform/service_host.h"
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

}  // namespace

int main(int argc, char* argv[]) {
  try {
    // A service starts in the system folder: work beside the executable instead.
    qelt::set_working_dir();
    qelt::log_manager::create(qelt::platform::log_folder() / log_file_name, logger_name, level_name);
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return qelt::platform::log_failure_exit_code;
  }

  QELT_INFO("qelt logger initialized");
  try {
    qelt::main_service service;
    if (argc == 2) {
      const std::string command = argv[1];
      if (command == install_switch) {
        switch (qelt::install_service(service_name)) {
          case qelt::service_change::done: QELT_INFO("{}: service installed successfully", service_name); break;
          case qelt::service_change::failed: QELT_ERROR("{}: error installing service", service_name); break;
          case qelt::service_change::left_to_packages:
            QELT_ERROR("{}: {}", command, qelt::service_packages_advice());
            break;
        }
      } else if (command == uninstall_switch) {
        switch (qelt::uninstall_service(service_name)) {
          case qelt::service_change::done: QELT_INFO("{}: service uninstalled successfully", service_name); break;
          case qelt::service_change::failed: QELT_ERROR("{}: error uninstalling service", service_name); break;
          case qelt::service_change::left_to_packages:
            QELT_ERROR("{}: {}", command, qelt::service_packages_advice());
            break;
        }
      }
      // Installed, removed or not: the exit code only says which way was taken.
      return 1;
    }
    qelt::platform::run_service(service, service_name);
    return 0;
  } catch (const std::exception& e) {
    QELT_ERROR("{}", e.what());
    return run_failed;
  }
}
