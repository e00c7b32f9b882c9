#include "policy/settings_watcher.h"

#include "log/log.h"

namespace qelt {

namespace {

bool origins_set(const agent_settings& settings) {
  return settings.origins || settings.origins_unrestricted_by_policy;
}

bool logs_set(const agent_settings& settings) {
  return !settings.request_log_limit_source.empty() || !settings.log_retention_source.empty();
}

}  // namespace

settings_watcher::~settings_watcher() { stop(); }

void settings_watcher::log_lines(const std::vector<settings_line>& lines) {
  for (const settings_line& line : lines) {
    if (line.warning) {
      QELT_WARN("{}", line.text);
    } else {
      QELT_INFO("{}", line.text);
    }
  }
}

void settings_watcher::start(apply_function apply) {
  apply_ = std::move(apply);
  // Armed before the first reading, so that no change after it goes unnoticed.
  watch_ = std::make_unique<platform::registry_watch>(
      std::vector<std::string>{policy_key_path, install_key_path});
  take(settings_from(read_policy_keys()), true);
  thread_ = std::thread(&settings_watcher::follow, this);
}

void settings_watcher::stop() {
  if (!thread_.joinable()) return;
  watch_->stop();
  thread_.join();
  watch_.reset();
}

void settings_watcher::follow() {
  while (watch_->wait()) {
    agent_settings settings = settings_from(read_policy_keys());
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
