// scm_control: sends one control to an installed service through the service
// control manager and prints what the manager then reports, for the end-to-end
// tests (Wine's sc.exe has no pause, continue, interrogate or qc).
//
//   scm_control COMMAND SERVICE_NAME
//     COMMAND: query | pause | continue | interrogate | stop | config
//
// query and the controls print one line:
//   state=<dwCurrentState> controls_accepted=<dwControlsAccepted> exit_code=<dwWin32ExitCode>
// config prints one key=value a line: service_type, start_type, binary_path.
// Exit codes: 0 done, 1 a service-manager call failed (its GetLastError is
// printed to stderr), 2 wrong usage.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/sc_handle.h"

namespace qelt::e2e {

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

int report_failure(const char* call) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "scm_control: %s failed: error %lu\n", call, static_cast<unsigned long>(error));
  return exit_failed;
}

// The ControlService code of a command; none for query and config.
std::optional<DWORD> control_code(std::string_view command) {
  if (command == "stop") return SERVICE_CONTROL_STOP;
  if (command == "pause") return SERVICE_CONTROL_PAUSE;
  if (command == "continue") return SERVICE_CONTROL_CONTINUE;
  if (command == "interrogate") return SERVICE_CONTROL_INTERROGATE;
  return std::nullopt;
}

bool known_command(std::string_view command) {
  return control_code(command) || command == "query" || command == "config";
}

int print_status(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return report_failure("QueryServiceStatus");
  std::printf("state=%lu controls_accepted=%lu exit_code=%lu\n",
              static_cast<unsigned long>(status.dwCurrentState),
              static_cast<unsigned long>(status.dwControlsAccepted),
              static_cast<unsigned long>(status.dwWin32ExitCode));
  return exit_ok;
}

// The path in UTF-8, whatever characters it holds.
int print_config(SC_HANDLE service) {
  DWORD needed = 0;
  // The first call only asks for the size the configuration needs.
  if (!QueryServiceConfigW(service, nullptr, 0, &needed) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return report_failure("QueryServiceConfigW");
  }
  std::vector<char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed)) {
    return report_failure("QueryServiceConfigW");
  }
  const wchar_t* path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
  std::printf("service_type=%lu\n", static_cast<unsigned long>(config->dwServiceType));
  std::printf("start_type=%lu\n", static_cast<unsigned long>(config->dwStartType));
  std::printf("binary_path=%s\n", utf8.c_str());
  return exit_ok;
}

int send_control(SC_HANDLE service, DWORD control) {
  SERVICE_STATUS status{};
  if (!ControlService(service, control, &status)) return report_failure("ControlService");
  return print_status(service);
}

int run(std::string_view command, const std::string& service_name) {
  const sc_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return report_failure("OpenSCManagerA");
  constexpr DWORD access = SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_STOP |
                           SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE;
  const sc_handle service(OpenServiceA(manager.get(), service_name.c_str(), access));
  if (!service) return report_failure("OpenServiceA");

  if (command == "query") return print_status(service.get());
  if (command == "config") return print_config(service.get());
  return send_control(service.get(), *control_code(command));
}

}  // namespace

}  // namespace qelt::e2e

int main(int argc, char* argv[]) {
  if (argc != 3 || !qelt::e2e::known_command(argv[1])) {
    std::fprintf(stderr,
                 "usage: scm_control query|pause|continue|interrogate|stop|config SERVICE_NAME\n");
    return qelt::e2e::exit_usage;
  }
  return qelt::e2e::run(argv[1], argv[2]);
}
