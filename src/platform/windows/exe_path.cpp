#include "main/exe_path.h"

#include <string>
#include <vector>

#include "platform/windows_api.h"

namespace qelt {

// In UTF-16: a folder the ANSI code page cannot spell (Cyrillic on a Western Windows,
// Chinese on a Russian one) is still found.
std::filesystem::path get_exe_path() {
  // MAX_PATH first; a longer path (long-path aware systems) gets a larger buffer.
  std::vector<WCHAR> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::filesystem::path(std::basic_string<WCHAR>(buffer.data(), length));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace qelt
