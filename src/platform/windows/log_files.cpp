#include "platform/log_files.h"

#include "main/exe_path.h"

namespace qelt::platform {

std::filesystem::path log_folder() { return get_exe_dir() / "logs"; }

}  // namespace qelt::platform
