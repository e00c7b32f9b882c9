#include "main/exe_path.h"

#include <system_error>

namespace qelt {

std::filesystem::path get_exe_dir() { return get_exe_path().parent_path(); }

void set_working_dir() {
  std::error_code ignored;
  std::filesystem::current_path(get_exe_dir(), ignored);
}

}  // namespace qelt
