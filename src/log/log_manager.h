// The process-wide logger: one spdlog logger with a console sink and a daily file sink.
#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace qelt {

class log_manager {
 public:
  static log_manager& instance();

  // Builds the process logger; throws std::runtime_error with the library's text on failure.
  static bool create(const std::string& file_path, const std::string& logger_name,
                     const std::string& level_name);

  bool setup(const std::string& file_path, const std::string& level_name,
             unsigned rotation_hour, unsigned rotation_minute, const std::string& logger_name);

  std::shared_ptr<spdlog::logger> get() const { return logger_; }

  static spdlog::level::level_enum level_from_name(const std::string& name);

  log_manager(const log_manager&) = delete;
  log_manager& operator=(const log_manager&) = delete;

 private:
  log_manager() = default;
  ~log_manager();

  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace qelt
