// A folder of settings files, the way Linux keeps the administrator's settings
// (/etc/qelt/agent/policies): reading its files and waiting for them to change.
// Implemented for Linux (platform/linux/policy_folder.cpp); the types and the name
// rule are everywhere, so that the settings they give can be tested on every build.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelt::platform {

// The files that count: "*.json", never a name starting with "." (editors and
// Ansible write their temporary files that way before renaming them into place).
inline bool is_policy_file_name(std::string_view name) {
  constexpr std::string_view suffix = ".json";
  return !name.empty() && name.front() != '.' && name.size() > suffix.size() && name.ends_with(suffix);
}

struct policy_file {
  std::string path;     // folder/name, as the log names it
  std::string content;  // the whole file
  std::string error;    // why it (or the folder, then `path` is the folder) cannot be read; empty if read
  bool operator==(const policy_file&) const = default;
};

// The folder's settings files in name order. A missing folder has none; one that
// cannot be listed gives one entry with its error. Directories are passed over.
std::vector<policy_file> read_policy_folder(const std::string& folder);

// Waits for a settings file in the folder to be written, renamed, replaced or removed,
// and for the folder itself to be created or removed (while it is missing, its nearest
// existing ancestor is watched). Waiting costs nothing: no timer, no polling.
class policy_folder_watch {
 public:
  explicit policy_folder_watch(std::string folder);
  ~policy_folder_watch();
  policy_folder_watch(const policy_folder_watch&) = delete;
  policy_folder_watch& operator=(const policy_folder_watch&) = delete;

  // Blocks until something changed (true; changes from then on are caught again) or
  // stop() was called (false). Read the folder after it returns, never before.
  bool wait();
  // Ends every wait, now and later; callable from any thread.
  void stop();

  struct state;

 private:
  std::unique_ptr<state> state_;
};

}  // namespace qelt::platform
