// Where this executable lives.
#pragma once

#include <string>

namespace qelt {

// The executable's full path, in the ANSI code page; empty when it cannot be read.
std::string get_exe_path();
// Its directory, without a trailing separator.
std::string get_exe_dir();
// Makes the executable's directory the working directory (a service starts in the system folder).
void set_working_dir();

}  // namespace qelt
