// Deleting daily log files older than the administrator wants kept.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <spdlog/common.h>

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

// What a sweep did, as the log says it: each deletion (info), then each failure (warning).
struct retention_record {
  spdlog::level::level_enum level;
  std::string text;
};
std::vector<retention_record> retention_records(const retention_result& result, unsigned days);

// The local day of a moment, and a day as the daily files name it: YYYY-MM-DD.
std::chrono::sys_days local_day(spdlog::log_clock::time_point time);
std::string date_text(std::chrono::sys_days day);

}  // namespace qelt
