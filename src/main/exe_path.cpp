#include "main/exe_path.h"

#include <filesystem>
#include <vector>

#include "platform/windows_api.h"

namespace qelt {

std::string get_exe_path() {
  // MAX_PATH first; a longer path (long-path aware systems) gets a larger buffer.
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string get_exe_dir() { return std::filesystem::path(get_exe_path()).parent_path().string(); }

void set_working_dir() { SetCurrentDirectoryA(get_exe_dir().c_str()); }

}  // namespace qelt
