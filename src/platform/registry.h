// Reading the machine's registry (HKEY_LOCAL_MACHINE, its 64-bit view) and waiting
// for it to change: Windows only (platform/windows/registry.cpp). The value types are
// everywhere, so that the settings they give can be tested on every build.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelt::platform {

struct registry_value {
  enum class kind { number, text, other };
  std::string name;
  kind type = kind::other;
  std::uint32_t number = 0;  // REG_DWORD
  std::string text;          // REG_SZ and REG_EXPAND_SZ, as UTF-8
  std::string type_name;     // "REG_DWORD", "REG_SZ", ...: for messages about a wrong type
};

struct registry_key {
  bool exists = false;
  std::vector<registry_value> values;

  // The value of that name (names ignore case, as the registry does); null if none.
  const registry_value* find(std::string_view name) const;
};

// HKLM\path; a key that is missing or cannot be read is one that does not exist.
registry_key read_machine_key(const std::string& path);

// Waits for a change to any of the given HKLM keys, their values and subkeys, including
// their creation and deletion. Waiting costs nothing: no timer, no polling.
class registry_watch {
 public:
  explicit registry_watch(std::vector<std::string> paths);
  ~registry_watch();
  registry_watch(const registry_watch&) = delete;
  registry_watch& operator=(const registry_watch&) = delete;

  // Blocks until something changed (true; changes from then on are caught again) or
  // stop() was called (false). Read the keys after it returns, never before.
  bool wait();
  // Ends every wait, now and later; callable from any thread.
  void stop();

  struct state;

 private:
  std::unique_ptr<state> state_;
};

}  // namespace qelt::platform
