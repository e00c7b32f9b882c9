// The settings as Linux keeps them: the JSON files of a policy folder.
#include "platform/policy_folder.h"
#include "policy/settings_source.h"

namespace qelt {

namespace {

class policy_folder_settings final : public settings_source {
 public:
  explicit policy_folder_settings(std::string folder) : folder_(std::move(folder)), watch_(folder_) {}
  agent_settings read() override { return settings_from_files(platform::read_policy_folder(folder_)); }
  bool wait() override { return watch_.wait(); }
  void stop() override { watch_.stop(); }

 private:
  std::string folder_;
  platform::policy_folder_watch watch_;
};

}  // namespace

std::unique_ptr<settings_source> machine_settings_source() { return folder_settings_source(policy_folder_path); }

std::unique_ptr<settings_source> folder_settings_source(const std::string& folder) {
  return std::make_unique<policy_folder_settings>(folder);
}

}  // namespace qelt
