// The settings as Windows keeps them: the registry's two keys.
#include <stdexcept>

#include "platform/registry.h"
#include "policy/settings_source.h"

namespace qelt {

namespace {

class registry_settings final : public settings_source {
 public:
  agent_settings read() override {
    return settings_from({platform::read_machine_key(policy_key_path),
                          platform::read_machine_key(policy_origins_key_path),
                          platform::read_machine_key(install_key_path)});
  }
  bool wait() override { return watch_.wait(); }
  void stop() override { watch_.stop(); }

 private:
  platform::registry_watch watch_{{policy_key_path, install_key_path}};
};

}  // namespace

std::unique_ptr<settings_source> machine_settings_source() { return std::make_unique<registry_settings>(); }

std::unique_ptr<settings_source> folder_settings_source(const std::string&) {
  throw std::runtime_error("a policy folder is read on Linux only: on Windows the settings are in the registry");
}

}  // namespace qelt
