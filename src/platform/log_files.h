// Where the agent's daily log files go, and how its records end, on each system.
#pragma once

#include <filesystem>

namespace qelt::platform {

// The folder of the daily files: beside the executable on Windows; on Linux the
// service's log directory (see linux/log_files.cpp).
std::filesystem::path log_folder();

#if defined(_WIN32)
inline constexpr const char* record_end = "\r\n";
// A log that cannot be opened ends the process quietly: the service manager is told nothing.
inline constexpr int log_failure_exit_code = 0;
#else
// The journal reads standard output line by line: a CR would stay in every message.
inline constexpr const char* record_end = "\n";
// So that systemd records a failure (and Restart=on-failure applies).
inline constexpr int log_failure_exit_code = 1;
#endif

}  // namespace qelt::platform
