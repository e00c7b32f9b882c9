#include "log/log_manager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/details/registry.h>
#include <spdlog/spdlog.h>

#include "platform/console_sink.h"

namespace qelt {

namespace {

constexpr const char* record_pattern = "[%Y-%m-%d %H:%M:%S] [%^%l%$] [%s, %!:%#] %v";
constexpr const char* record_end = "\r\n";

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return x == y || std::toupper(x) == std::toupper(y);
         });
}

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
}

bool log_manager::create(const std::string& file_path, const std::string& logger_name,
                         const std::string& level_name) {
  log_manager& holder = instance();
  if (holder.logger_) spdlog::shutdown();
  return holder.setup(file_path, level_name, 0, 0, logger_name);
}

bool log_manager::setup(const std::string& file_path, const std::string& level_name,
                        unsigned rotation_hour, unsigned rotation_minute,
                        const std::string& logger_name) {
  try {
    const auto level = level_from_name(level_name);
    std::vector<spdlog::sink_ptr> sinks;
    sinks.push_back(std::make_shared<platform::console_sink_mt>(spdlog::color_mode::automatic));
    sinks.push_back(std::make_shared<spdlog::sinks::daily_file_sink_mt>(
        file_path, static_cast<int>(rotation_hour), static_cast<int>(rotation_minute),
        /*truncate=*/false, /*max_files=*/0));
    auto logger = std::make_shared<spdlog::logger>(logger_name, sinks.begin(), sinks.end());
    logger_ = std::move(logger);
    logger_->set_level(level);
    logger_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        record_pattern, spdlog::pattern_time_type::local, record_end));
    logger_->flush_on(spdlog::level::debug);
    return true;
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

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
