// Registration of the agent with the Windows service control manager.
#pragma once

#include <filesystem>
#include <string>

#include "platform/windows_api.h"

namespace qelt {

// Registers this executable as an own-process, demand-start service; true when created.
bool install_service(const std::string& name);
// Marks the service for deletion; true when that succeeded.
bool uninstall_service(const std::string& name);

// The executable path as the service manager is to run it: between double quotes.
std::basic_string<WCHAR> quoted_path(const std::filesystem::path& path);

}  // namespace qelt
