// Where this executable lives.
#pragma once

#include <filesystem>

namespace qelt {

// The executable's full path, whatever characters it holds; empty when it cannot be read.
std::filesystem::path get_exe_path();
// Its directory, without a trailing separator.
std::filesystem::path get_exe_dir();
// Makes the executable's directory the working directory (a service starts in the system folder).
void set_working_dir();

}  // namespace qelt
