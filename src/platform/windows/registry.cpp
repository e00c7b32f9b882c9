#include "platform/registry.h"

#include <vector>

#include "platform/windows/utf16.h"
#include "platform/windows_api.h"

namespace qelt::platform {

namespace {

constexpr DWORD settle_ms = 250;

class key_handle {
 public:
  key_handle() = default;
  explicit key_handle(HKEY key) : key_(key) {}
  ~key_handle() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  key_handle(key_handle&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  key_handle& operator=(key_handle&&) = delete;
  key_handle(const key_handle&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

key_handle open_machine_key(const std::wstring& path, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return key_handle();
  }
  return key_handle(key);
}

std::string type_name(DWORD type) {
  switch (type) {
    case REG_DWORD: return "REG_DWORD";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    default: return "type " + std::to_string(type);
  }
}

registry_value to_value(std::wstring_view name, DWORD type, const BYTE* data, DWORD size) {
  registry_value value;
  value.name = to_utf8(name);
  value.type_name = type_name(type);
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    value.type = registry_value::kind::number;
    value.number = static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16)) |
                   (static_cast<std::uint32_t>(data[3]) << 24);
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::wstring_view text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    // The stored terminator, if any, and anything after it.
    text = text.substr(0, text.find(L'\0'));
    value.type = registry_value::kind::text;
    value.text = to_utf8(text);
  }
  return value;
}

}  // namespace

registry_key read_machine_key(const std::string& path) {
  registry_key result;
  const key_handle key = open_machine_key(to_utf16(path), KEY_QUERY_VALUE);
  if (key.get() == nullptr) return result;
  result.exists = true;
  DWORD longest_name = 0, longest_data = 0;
  if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest_name,
                       &longest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return result;
  }
  std::vector<wchar_t> name(longest_name + 1);
  std::vector<BYTE> data(longest_data + sizeof(wchar_t));
  for (DWORD index = 0;;) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG status =
        RegEnumValueW(key.get(), index, name.data(), &name_length, nullptr, &type, data.data(), &data_size);
    if (status == ERROR_MORE_DATA) {
      // Written to since the sizes were asked for: larger buffers, same value.
      name.resize(name.size() * 2 + 256);
      data.resize(data.size() * 2 + 1024);
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    result.values.push_back(to_value(std::wstring_view(name.data(), name_length), type, data.data(), data_size));
    ++index;
  }
  return result;
}

// Each watched path is armed on the deepest key of it that exists: the key itself
// for every change below it, and its parent for its deletion; or, while it is
// missing, its nearest ancestor for the creation of the next key on the way.
struct registry_watch::state {
  std::vector<std::wstring> paths;
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<key_handle> armed;

  void arm_one(const std::wstring& path, bool subtree) {
    key_handle key = open_machine_key(path, KEY_NOTIFY);
    if (key.get() == nullptr) return;
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | (subtree ? REG_NOTIFY_CHANGE_LAST_SET : 0);
    if (RegNotifyChangeKeyValue(key.get(), subtree ? TRUE : FALSE, filter, changed, TRUE) == ERROR_SUCCESS) {
      armed.push_back(std::move(key));
    }
  }

  void arm() {
    // Closing a watched key signals its event: that is no change, and must not wake the next wait.
    armed.clear();
    ResetEvent(changed);
    for (const std::wstring& path : paths) {
      std::wstring existing = path;
      while (!existing.empty() && open_machine_key(existing, KEY_NOTIFY).get() == nullptr) {
        const std::size_t separator = existing.rfind(L'\\');
        existing = separator == std::wstring::npos ? std::wstring() : existing.substr(0, separator);
      }
      if (existing.empty()) continue;
      const std::size_t separator = existing.rfind(L'\\');
      if (existing == path) {
        arm_one(existing, true);
        if (separator != std::wstring::npos) arm_one(existing.substr(0, separator), false);
      } else {
        arm_one(existing, false);
      }
    }
  }
};

registry_watch::registry_watch(std::vector<std::string> paths) : state_(std::make_unique<state>()) {
  for (const std::string& path : paths) state_->paths.push_back(to_utf16(path));
  state_->arm();
}

registry_watch::~registry_watch() {
  state_->armed.clear();
  CloseHandle(state_->changed);
  CloseHandle(state_->stopped);
}

bool registry_watch::wait() {
  const HANDLE events[] = {state_->stopped, state_->changed};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
  // Group Policy and reg.exe write a setting in several steps: let them finish, so
  // that one change is read once and no half-written state is taken for a policy.
  if (WaitForSingleObject(state_->stopped, settle_ms) == WAIT_OBJECT_0) return false;
  state_->arm();
  return true;
}

void registry_watch::stop() { SetEvent(state_->stopped); }

}  // namespace qelt::platform
