// Deleting daily log files older than the administrator wants kept.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace qelt {

struct retention_result {
  std::vector<std::string> deleted;  // file names
  std::vector<std::string> failed;   // "name: reason"
};

// In `folder`, deletes the regular files named <stem>_YYYY-MM-DD<extension> (a real
// date) whose date lies more than `days` days before `today`; nothing else is touched.
// The folder is scanned, so files after a gap of missing days are found too.
retention_result delete_old_logs(const std::filesystem::path& folder, const std::string& stem,
                                 const std::string& extension, std::chrono::sys_days today, unsigned days);

}  // namespace qelt
