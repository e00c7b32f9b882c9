#include "service/agent.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "http_server/http_server.h"
#include "log/log.h"
#include "policy/settings_watcher.h"

namespace qelt {

namespace {

settings_watcher& watcher() {
  static settings_watcher settings;
  return settings;
}

// Runs at start on the main thread, then on the watcher's thread: never two at once.
void apply(const agent_settings& settings) {
  http_server::instance().set_origin_policy(settings.origins ? std::make_shared<const origin_policy>(*settings.origins)
                                                             : nullptr);
  log_manager::instance().set_request_budget(std::uint64_t{settings.request_log_limit_mb} << 20);
  // Old files go at start, when the retention changes, and at each day's rotation.
  static std::optional<unsigned> retention;
  if (retention == settings.log_retention_days) return;
  retention = settings.log_retention_days;
  const retention_result swept = log_manager::instance().set_retention(settings.log_retention_days);
  for (const std::string& name : swept.deleted) {
    QELT_INFO("log retention: deleted {}, older than {} days", name, settings.log_retention_days);
  }
  for (const std::string& failure : swept.failed) QELT_WARN("log retention: could not delete {}", failure);
}

}  // namespace

void start_agent(const std::string& host, int port) {
  watcher().start(apply);
  http_server::instance().init(host, port);
  http_server::instance().start();
}

void stop_agent() {
  http_server::instance().stop();
  watcher().stop();
}

}  // namespace qelt
