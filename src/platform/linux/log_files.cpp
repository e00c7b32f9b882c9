#include "platform/log_files.h"

#include <cstdlib>
#include <string>

#include "main/exe_path.h"

namespace qelt::platform {

namespace {

constexpr const char* packaged_exe = "/usr/sbin/qelt-agent";
constexpr const char* packaged_logs = "/var/log/qelt-agent";

}  // namespace

// Under systemd, LogsDirectory= names the folder (the first one, should there be a
// list); the packaged binary run by hand writes to the same folder; any other copy
// keeps its logs beside itself, as on Windows.
std::filesystem::path log_folder() {
  if (const char* given = std::getenv("LOGS_DIRECTORY"); given != nullptr && *given != '\0') {
    const std::string folders = given;
    return folders.substr(0, folders.find(':'));
  }
  const std::filesystem::path exe = get_exe_path();
  if (exe == packaged_exe) return packaged_logs;
  return exe.parent_path() / "logs";
}

}  // namespace qelt::platform
