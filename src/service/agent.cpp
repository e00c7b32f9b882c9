#include "service/agent.h"

#include <cstdint>
#include <memory>

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
  const unsigned days = settings.log_retention_days;
  for (const retention_record& record : retention_records(log_manager::instance().set_retention(days), days)) {
    QELT_LOG(record.level, "{}", record.text);
  }
}

}  // namespace

void start_agent(const std::string& host, int port, std::unique_ptr<settings_source> settings) {
  watcher().start(apply, std::move(settings));
  http_server::instance().init(host, port);
  http_server::instance().start();
}

void stop_agent() {
  http_server::instance().stop();
  watcher().stop();
}

}  // namespace qelt
