#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/posix/registry_stand_in.h"
#include "platform/registry.h"

namespace qelt::platform {

namespace {

std::string folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

struct stand_in_registry {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t generation = 0;
  std::map<std::string, registry_key> keys;  // by folded path
};

stand_in_registry& registry() {
  static stand_in_registry store;
  return store;
}

}  // namespace

registry_key read_machine_key(const std::string& path) {
  stand_in_registry& store = registry();
  const std::lock_guard<std::mutex> lock(store.mutex);
  const auto it = store.keys.find(folded(path));
  return it == store.keys.end() ? registry_key{} : it->second;
}

struct registry_watch::state {
  std::uint64_t seen = 0;
  bool stopped = false;
};

registry_watch::registry_watch(std::vector<std::string>) : state_(std::make_unique<state>()) {
  const std::lock_guard<std::mutex> lock(registry().mutex);
  state_->seen = registry().generation;
}

registry_watch::~registry_watch() = default;

bool registry_watch::wait() {
  stand_in_registry& store = registry();
  std::unique_lock<std::mutex> lock(store.mutex);
  store.changed.wait(lock, [&] { return state_->stopped || store.generation != state_->seen; });
  state_->seen = store.generation;
  return !state_->stopped;
}

void registry_watch::stop() {
  {
    const std::lock_guard<std::mutex> lock(registry().mutex);
    state_->stopped = true;
  }
  registry().changed.notify_all();
}

namespace stand_in {

void set_registry_value(const std::string& path, registry_value value) {
  stand_in_registry& store = registry();
  {
    const std::lock_guard<std::mutex> lock(store.mutex);
    for (std::size_t end = path.find('\\'); end != std::string::npos; end = path.find('\\', end + 1)) {
      store.keys[folded(path.substr(0, end))].exists = true;
    }
    registry_key& key = store.keys[folded(path)];
    key.exists = true;
    std::erase_if(key.values, [&](const registry_value& old) { return folded(old.name) == folded(value.name); });
    key.values.push_back(std::move(value));
    ++store.generation;
  }
  store.changed.notify_all();
}

void delete_registry_key(const std::string& path) {
  stand_in_registry& store = registry();
  {
    const std::lock_guard<std::mutex> lock(store.mutex);
    const std::string key = folded(path);
    std::erase_if(store.keys, [&](const auto& entry) {
      return entry.first == key || entry.first.rfind(key + "\\", 0) == 0;
    });
    ++store.generation;
  }
  store.changed.notify_all();
}

registry_value dword_value(std::string name, std::uint32_t number) {
  registry_value value;
  value.name = std::move(name);
  value.type = registry_value::kind::number;
  value.number = number;
  value.type_name = "REG_DWORD";
  return value;
}

registry_value text_value(std::string name, std::string text) {
  registry_value value;
  value.name = std::move(name);
  value.type = registry_value::kind::text;
  value.text = std::move(text);
  value.type_name = "REG_SZ";
  return value;
}

}  // namespace stand_in

}  // namespace qelt::platform
