#include "log/daily_log_sink.h"

#include <filesystem>
#include <system_error>

#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>

#include "log/log.h"
#include "log/request_log.h"
#include "platform/format.h"

namespace qelt {

std::string budget_text(std::uint64_t bytes) { return qelt::format("{} MiB", bytes >> 20); }

daily_log_sink::daily_log_sink(const spdlog::filename_t& base_file, int rotation_hour, int rotation_minute,
                               std::string logger_name)
    : file_(std::make_unique<spdlog::sinks::daily_file_sink_st>(base_file, rotation_hour, rotation_minute,
                                                                /*truncate=*/false, /*max_files=*/0)),
      logger_name_(std::move(logger_name)),
      folder_(std::filesystem::path(base_file).parent_path()),
      stem_(std::filesystem::path(base_file).stem().string()),
      extension_(std::filesystem::path(base_file).extension().string()),
      day_(local_day(spdlog::log_clock::now())) {
  std::error_code error;
  const auto size = std::filesystem::file_size(std::filesystem::path(file_->filename()), error);
  spent_ = error ? 0 : size;
}

daily_log_sink::admission daily_log_sink::admit() {
  const std::lock_guard<std::mutex> lock(mutex_);
  roll_day(spdlog::log_clock::now());
  if (budget_ == 0 || spent_ + request_reserve <= budget_) return admission::admitted;
  ++suppressed_;
  if (warned_) return admission::suppressed;
  warned_ = true;
  return admission::budget_spent;
}

void daily_log_sink::set_budget(std::uint64_t bytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  budget_ = bytes;
  // A larger budget lets requests in again; should it be spent later, say so again.
  if (budget_ == 0 || spent_ + request_reserve <= budget_) warned_ = false;
}

std::uint64_t daily_log_sink::budget() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return budget_;
}

retention_result daily_log_sink::set_retention(unsigned days) {
  std::chrono::sys_days today;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A new retention sweeps at once; the same one again waits for the next rotation.
    if (days == retention_days_) return {};
    retention_days_ = days;
    today = day_;
  }
  if (days == 0) return {};
  return sweep(today, days);
}

spdlog::filename_t daily_log_sink::filename() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return file_->filename();
}

void daily_log_sink::sink_it_(const spdlog::details::log_msg& msg) {
  roll_day(msg.time);
  file_->log(msg);
  if (request_log::counting()) {
    spdlog::memory_buf_t text;
    formatter_->format(msg, text);
    spent_ += text.size();
  }
}

void daily_log_sink::flush_() { file_->flush(); }

void daily_log_sink::set_pattern_(const std::string& pattern) {
  set_formatter_(std::make_unique<spdlog::pattern_formatter>(pattern));
}

void daily_log_sink::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
  file_->set_formatter(formatter->clone());
  formatter_ = std::move(formatter);
}

void daily_log_sink::roll_day(spdlog::log_clock::time_point now) {
  const std::chrono::sys_days today = local_day(now);
  if (today <= day_) return;
  const std::chrono::sys_days previous = day_;
  day_ = today;
  if (suppressed_ > 0) {
    write_own(now, spdlog::level::warn,
              qelt::format("{} requests went unrecorded on {}: the request log budget of {} a day was spent",
                           suppressed_, date_text(previous), budget_text(budget_)),
              __LINE__);
  }
  spent_ = 0;
  suppressed_ = 0;
  warned_ = false;
  if (retention_days_ == 0) return;
  for (const retention_record& record : retention_records(sweep(today, retention_days_), retention_days_)) {
    write_own(now, record.level, record.text, __LINE__);
  }
}

void daily_log_sink::write_own(spdlog::log_clock::time_point time, spdlog::level::level_enum level,
                               const std::string& text, int line) {
  static constexpr const char* file = detail::short_file_name(__FILE__);
  // The records are the day's rotation's, so they carry its name.
  const spdlog::details::log_msg msg(time, spdlog::source_loc{file, line, "qelt::daily_log_sink::roll_day"},
                                     logger_name_, level, text);
  file_->log(msg);
}

retention_result daily_log_sink::sweep(std::chrono::sys_days today, unsigned days) const {
  return delete_old_logs(folder_, stem_, extension_, today, days);
}

}  // namespace qelt
