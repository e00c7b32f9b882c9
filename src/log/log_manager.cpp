#include "log/log_manager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/details/os.h>
#include <spdlog/details/registry.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

#include "log/events.h"
#include "platform/console_sink.h"
#include "platform/event_log.h"
#include "platform/format.h"
#include "platform/log_files.h"
#include "platform/windows_api.h"

namespace qelt {

namespace {

constexpr const char* record_pattern = "[%Y-%m-%d %H:%M:%S] [%^%l%$] [%s, %!:%#] %v";

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return x == y || std::toupper(x) == std::toupper(y);
         });
}

// A record that could not be written (a full disk, the folder gone): said on standard
// error at most once a second, as spdlog does by default, and in the Event Log at
// most once an hour.
void report_write_failure(const std::string& logger_name, const std::string& message) {
  using clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static std::size_t failures = 0;
  static std::optional<clock::time_point> last_said, last_event;
  const std::lock_guard<std::mutex> lock(mutex);
  const auto now = clock::now();
  ++failures;
  if (!last_said || now - *last_said >= std::chrono::seconds(1)) {
    last_said = now;
    const std::tm local = spdlog::details::os::localtime(std::time(nullptr));
    std::array<char, 64> time{};
    std::strftime(time.data(), time.size(), "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "[*** LOG ERROR #%04zu ***] [%s] [%s] %s\n", failures, time.data(), logger_name.c_str(),
                 message.c_str());
  }
  if (!last_event || now - *last_event >= std::chrono::hours(1)) {
    last_event = now;
    platform::report_event(platform::event_type::error, events::log_write_failed, {message});
  }
}

// The day's file is the base path with "_YYYY-MM-DD" before its extension.
constexpr std::size_t date_suffix = 11;

}  // namespace

log_manager& log_manager::instance() {
  // The holder's destructor shuts the library's registry down, so the registry
  // must be made first: statics end in the reverse order of their making.
  static const bool registry_made = (spdlog::details::registry::instance(), true);
  static log_manager holder;
  (void)registry_made;
  return holder;
}

log_manager::~log_manager() {
  spdlog::shutdown();
  logger_.reset();
  file_sink_.reset();
}

bool log_manager::create(const std::filesystem::path& file_path, const std::string& logger_name,
                         const std::string& level_name) {
  log_manager& holder = instance();
  if (holder.logger_) spdlog::shutdown();
  return holder.setup(file_path, level_name, 0, 0, logger_name);
}

bool log_manager::setup(const std::filesystem::path& file_path, const std::string& level_name,
                        unsigned rotation_hour, unsigned rotation_minute,
                        const std::string& logger_name) {
  try {
    // Windows opens no longer path without long-path support: say so the way a failed open does.
    if (file_path.native().size() + date_suffix >= platform::max_path) {
      throw std::runtime_error(qelt::format("Failed opening file {} for writing: the path is longer than {} characters",
                                            spdlog::details::os::filename_to_str(file_path.native()),
                                            platform::max_path - 1));
    }
    const auto level = level_from_name(level_name);
    std::vector<spdlog::sink_ptr> sinks;
    sinks.push_back(std::make_shared<platform::console_sink_mt>(spdlog::color_mode::automatic));
    auto file_sink = std::make_shared<daily_log_sink>(file_path.native(), static_cast<int>(rotation_hour),
                                                      static_cast<int>(rotation_minute), logger_name);
    sinks.push_back(file_sink);
    auto logger = std::make_shared<spdlog::logger>(logger_name, sinks.begin(), sinks.end());
    logger_ = std::move(logger);
    file_sink_ = std::move(file_sink);
    logger_->set_level(level);
    logger_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        record_pattern, spdlog::pattern_time_type::local, platform::record_end));
    logger_->flush_on(spdlog::level::debug);
    logger_->set_error_handler(
        [logger_name](const std::string& message) { report_write_failure(logger_name, message); });
    return true;
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

daily_log_sink::admission log_manager::admit_request() {
  return file_sink_ ? file_sink_->admit() : daily_log_sink::admission::admitted;
}

void log_manager::set_request_budget(std::uint64_t bytes) {
  if (file_sink_) file_sink_->set_budget(bytes);
}

std::uint64_t log_manager::request_budget() const {
  return file_sink_ ? file_sink_->budget() : daily_log_sink::default_budget;
}

retention_result log_manager::set_retention(unsigned days) {
  return file_sink_ ? file_sink_->set_retention(days) : retention_result{};
}

std::string log_manager::local_date() { return date_text(local_day(spdlog::log_clock::now())); }

spdlog::level::level_enum log_manager::level_from_name(const std::string& name) {
  using spdlog::level::level_enum;
  static constexpr std::array<std::pair<std::string_view, level_enum>, 7> names{{
      {"info", level_enum::info},
      {"trace", level_enum::trace},
      {"debug", level_enum::debug},
      {"warn", level_enum::warn},
      {"error", level_enum::err},
      {"critical", level_enum::critical},
      {"off", level_enum::off},
  }};
  for (const auto& [text, level] : names) {
    if (same_name(name, text)) return level;
  }
  return level_enum::info;
}

}  // namespace qelt
