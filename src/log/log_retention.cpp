#include "log/log_retention.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <system_error>

#include <spdlog/details/os.h>

#include "platform/format.h"

namespace qelt {

namespace {

std::optional<int> number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The date of a name <stem>_YYYY-MM-DD<extension>, if it is one.
std::optional<std::chrono::sys_days> date_of(std::string_view name, std::string_view stem, std::string_view extension) {
  constexpr std::size_t date_length = 10;  // YYYY-MM-DD
  if (name.size() != stem.size() + 1 + date_length + extension.size() || name.substr(0, stem.size()) != stem ||
      name[stem.size()] != '_' || name.substr(name.size() - extension.size()) != extension) {
    return std::nullopt;
  }
  const std::string_view date = name.substr(stem.size() + 1, date_length);
  if (date[4] != '-' || date[7] != '-') return std::nullopt;
  const auto year = number(date.substr(0, 4));
  const auto month = number(date.substr(5, 2));
  const auto day = number(date.substr(8, 2));
  if (!year || !month || !day) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                        std::chrono::day(static_cast<unsigned>(*day))};
  if (!ymd.ok()) return std::nullopt;
  return std::chrono::sys_days(ymd);
}

}  // namespace

retention_result delete_old_logs(const std::filesystem::path& folder, const std::string& stem,
                                 const std::string& extension, std::chrono::sys_days today, unsigned days) {
  retention_result result;
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::filesystem::path& path = it->path();
    // The names looked for are ASCII; any other name is not one of them.
    const auto native = path.filename().native();
    if (!std::all_of(native.begin(), native.end(), [](auto c) { return c > 0 && c < 0x80; })) continue;
    const std::string name(native.begin(), native.end());
    const auto date = date_of(name, stem, extension);
    std::error_code status_error;
    if (!date || !it->is_regular_file(status_error) || today - *date <= std::chrono::days(days)) continue;
    std::error_code remove_error;
    if (std::filesystem::remove(path, remove_error)) {
      result.deleted.push_back(name);
    } else if (remove_error) {
      result.failed.push_back(name + ": " + remove_error.message());
    }
  }
  if (error) result.failed.push_back("the log folder: " + error.message());
  return result;
}

std::vector<retention_record> retention_records(const retention_result& result, unsigned days) {
  std::vector<retention_record> records;
  for (const std::string& name : result.deleted) {
    records.push_back({spdlog::level::info, qelt::format("log retention: deleted {}, older than {} days", name, days)});
  }
  for (const std::string& failure : result.failed) {
    records.push_back({spdlog::level::warn, qelt::format("log retention: could not delete {}", failure)});
  }
  return records;
}

std::chrono::sys_days local_day(spdlog::log_clock::time_point time) {
  const std::tm local = spdlog::details::os::localtime(spdlog::log_clock::to_time_t(time));
  return std::chrono::sys_days(std::chrono::year(local.tm_year + 1900) /
                               std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)) /
                               std::chrono::day(static_cast<unsigned>(local.tm_mday)));
}

std::string date_text(std::chrono::sys_days day) {
  const std::chrono::year_month_day date(day);
  return qelt::format("{:04}-{:02}-{:02}", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()));
}

}  // namespace qelt
