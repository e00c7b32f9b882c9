// Where the administrator's settings come from, and how their changes are noticed:
// the registry's keys on Windows (registry_settings.cpp), the policy folder's files on
// Linux (policy_folder_settings.cpp).
#pragma once

#include <memory>
#include <string>

#include "policy/settings.h"

namespace qelt {

class settings_source {
 public:
  virtual ~settings_source() = default;

  // What the settings are now. Changes are watched for from the source's creation on,
  // so that none after a reading goes unnoticed.
  virtual agent_settings read() = 0;
  // Blocks until they may have changed (true) or stop() was called (false).
  virtual bool wait() = 0;
  // Ends every wait, now and later; callable from any thread.
  virtual void stop() = 0;
};

// The agent's: the registry's keys on Windows, /etc/qelt/agent/policies on Linux.
std::unique_ptr<settings_source> machine_settings_source();
// The files of another folder instead (tests and test tools); Linux only: elsewhere
// it throws, saying so.
std::unique_ptr<settings_source> folder_settings_source(const std::string& folder);

}  // namespace qelt
