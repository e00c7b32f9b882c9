#include "main/exe_path.h"

#include <system_error>

namespace qelt {

std::filesystem::path get_exe_path() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

}  // namespace qelt
