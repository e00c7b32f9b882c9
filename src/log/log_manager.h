// The process-wide logger: one spdlog logger with a console sink and a daily file sink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "log/daily_log_sink.h"

namespace qelt {

class log_manager {
 public:
  static log_manager& instance();

  // Builds the process logger; throws std::runtime_error with the library's text on failure.
  static bool create(const std::filesystem::path& file_path, const std::string& logger_name,
                     const std::string& level_name);

  bool setup(const std::filesystem::path& file_path, const std::string& level_name, unsigned rotation_hour,
             unsigned rotation_minute, const std::string& logger_name);

  std::shared_ptr<spdlog::logger> get() const { return logger_; }

  static spdlog::level::level_enum level_from_name(const std::string& name);

  // The daily budget of request records (daily_log_sink.h); 0 for none.
  daily_log_sink::admission admit_request();
  void set_request_budget(std::uint64_t bytes);
  std::uint64_t request_budget() const;
  // Deletes daily files older than `days` now and at each rotation; 0 keeps them all.
  retention_result set_retention(unsigned days);
  // Today as the daily file names it: YYYY-MM-DD, local time.
  static std::string local_date();

  log_manager(const log_manager&) = delete;
  log_manager& operator=(const log_manager&) = delete;

 private:
  log_manager() = default;
  ~log_manager();

  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<daily_log_sink> file_sink_;
};

}  // namespace qelt
