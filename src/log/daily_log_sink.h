// The daily log file, with a daily budget for the records of requests.
//
// Wraps spdlog's daily file sink, whose records and files stay as they are. Each
// request's records are admitted or suppressed as a whole, when its first record is
// written (request_log.h); once the request records of a local day have used the
// budget, further requests write none until midnight. The first record of the next
// day says how many requests went unrecorded. Records of start, stop, settings and
// failures never count and are always written.
//
// At each day's rotation it also deletes daily files older than the retention, if the
// administrator set one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/daily_file_sink.h>

#include "log/log_retention.h"

namespace qelt {

// "64 MiB": a budget as the log and the events name it.
std::string budget_text(std::uint64_t bytes);

class daily_log_sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  static constexpr std::uint64_t default_budget = 64ull << 20;
  // Room left in the budget when a request is admitted: about what one request writes,
  // so that the last one admitted still fits.
  static constexpr std::uint64_t request_reserve = 1024;

  // Opens (creates, appends to) the day's file like spdlog's daily file sink. The
  // day's file as it is counts against the budget: a restart goes on from there.
  daily_log_sink(const spdlog::filename_t& base_file, int rotation_hour, int rotation_minute,
                 std::string logger_name);

  enum class admission { admitted, suppressed, budget_spent };
  // Whether the request now beginning writes its records. budget_spent: suppressed,
  // and the first request of the day to be so.
  admission admit();
  // 0: no budget.
  void set_budget(std::uint64_t bytes);
  std::uint64_t budget();
  // 0: keep every file. A new retention deletes what is too old now; what it did, for the log.
  retention_result set_retention(unsigned days);

  spdlog::filename_t filename();

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;
  void set_pattern_(const std::string& pattern) override;
  void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override;

 private:
  // Starts a new day's count when `now` falls on another local day than the count's.
  void roll_day(spdlog::log_clock::time_point now);
  // A record of the sink's own, to the file only (the logger's sinks are busy).
  void write_own(spdlog::log_clock::time_point time, spdlog::level::level_enum level, const std::string& text,
                 int line);
  retention_result sweep(std::chrono::sys_days today, unsigned days) const;

  std::unique_ptr<spdlog::sinks::daily_file_sink_st> file_;
  const std::string logger_name_;
  // Where the daily files are, and their names' parts around the date.
  const std::filesystem::path folder_;
  const std::string stem_;
  const std::string extension_;
  std::uint64_t budget_ = default_budget;
  std::uint64_t spent_ = 0;
  std::uint64_t suppressed_ = 0;
  bool warned_ = false;
  std::chrono::sys_days day_;
  unsigned retention_days_ = 0;
};

}  // namespace qelt
