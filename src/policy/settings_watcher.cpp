#include "policy/settings_watcher.h"

#include "log/log.h"

namespace qelt {

namespace {

bool origins_set(const agent_settings& settings) {
  return settings.origins || !settings.origins_unrestricted_by.empty();
}

bool logs_set(const agent_settings& settings) {
  return !settings.request_log_limit_source.empty() || !settings.log_retention_source.empty();
}

}  // namespace

settings_watcher::~settings_watcher() { stop(); }

void settings_watcher::log_lines(const std::vector<settings_line>& lines) {
  for (const settings_line& line : lines) {
    if (line.level == severity::warning) {
      QELT_WARN("{}", line.text);
    } else if (line.level == severity::info) {
      QELT_INFO("{}", line.text);
    } else {
      QELT_ERROR("{}", line.text);
    }
  }
}

void settings_watcher::start(apply_function apply, std::unique_ptr<settings_source> source) {
  apply_ = std::move(apply);
  // Armed since its creation, before this first reading: no change after it goes unnoticed.
  source_ = std::move(source);
  take(source_->read(), true);
  thread_ = std::thread(&settings_watcher::follow, this);
}

void settings_watcher::stop() {
  if (!thread_.joinable()) return;
  source_->stop();
  thread_.join();
  source_.reset();
}

void settings_watcher::follow() {
  while (source_->wait()) {
    agent_settings settings = source_->read();
    if (settings != current_) take(settings, false);
  }
}

void settings_watcher::take(const agent_settings& settings, bool at_start) {
  // At start only what is set is said; later whatever changed, back to the defaults too.
  if (at_start ? origins_set(settings) : describe_origins(settings) != describe_origins(current_)) {
    log_lines(describe_origins(settings));
  }
  if (at_start ? logs_set(settings) : describe_logs(settings) != describe_logs(current_)) {
    log_lines(describe_logs(settings));
  }
  if (describe_problems(settings) != describe_problems(current_)) log_lines(describe_problems(settings));
  current_ = settings;
  apply_(settings);
}

}  // namespace qelt
