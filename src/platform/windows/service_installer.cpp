#include "main/service_installer.h"

#include <filesystem>

#include "main/exe_path.h"
#include "main/sc_handle.h"
#include "platform/windows_api.h"

namespace qelt {

namespace {

// The standard access right DELETE, spelt out: resolver headers elsewhere take the name.
constexpr DWORD delete_access = 0x00010000;

sc_handle open_manager() {
  return sc_handle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
}

std::basic_string<WCHAR> quoted_path(const std::filesystem::path& path) {
  const WCHAR quote = '"';
  return quote + path.string<WCHAR>() + quote;
}

bool create_service(const std::string& name) {
  if (name.empty()) return false;
  const std::filesystem::path path = get_exe_path();
  if (path.empty()) return false;
  // Quoted, so that a path with blanks starts the right file; in UTF-16, so that it is
  // registered as it is, whatever its characters.
  const std::basic_string<WCHAR> binary_path = quoted_path(path);
  const std::basic_string<WCHAR> wide_name(name.begin(), name.end());

  const sc_handle manager = open_manager();
  if (!manager) return false;
  const sc_handle service(CreateServiceW(manager.get(), wide_name.c_str(), wide_name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binary_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  return static_cast<bool>(service);
}

bool delete_service(const std::string& name) {
  if (name.empty()) return false;
  const sc_handle manager = open_manager();
  if (!manager) return false;
  const sc_handle service(OpenServiceA(manager.get(), name.c_str(), delete_access));
  if (!service) return false;
  return DeleteService(service.get()) != FALSE;
}

service_change outcome(bool done) { return done ? service_change::done : service_change::failed; }

}  // namespace

service_change install_service(const std::string& name) { return outcome(create_service(name)); }

service_change uninstall_service(const std::string& name) { return outcome(delete_service(name)); }

std::string service_packages_advice() { return {}; }

}  // namespace qelt
