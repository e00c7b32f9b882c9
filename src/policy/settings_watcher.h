// Follows the administrator's settings: reads them at start, then again whenever their
// source (settings_source.h) changes, and hands each new version to the agent. The log says what is
// in force whenever it changes (and at start, if anything is set).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "policy/settings.h"
#include "policy/settings_source.h"

namespace qelt {

class settings_watcher {
 public:
  using apply_function = std::function<void(const agent_settings&)>;

  settings_watcher() = default;
  ~settings_watcher();
  settings_watcher(const settings_watcher&) = delete;
  settings_watcher& operator=(const settings_watcher&) = delete;

  // Reads and applies the settings on this thread, then follows them on a thread of its own.
  void start(apply_function apply, std::unique_ptr<settings_source> source);
  // Ends following; the settings applied last stay in force.
  void stop();

 private:
  void follow();
  void take(const agent_settings& settings, bool at_start);
  static void log_lines(const std::vector<settings_line>& lines);

  apply_function apply_;
  std::unique_ptr<settings_source> source_;
  std::thread thread_;
  agent_settings current_;
};

}  // namespace qelt
