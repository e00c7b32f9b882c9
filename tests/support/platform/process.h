// Running a command line and reading its standard output: popen here, _popen on Windows.
#pragma once

#include <cstdio>
#include <string>

#if !defined(_WIN32)
#  include <sys/wait.h>
#endif

#include "support/test_support.h"

namespace qelt::test::platform {

inline process_result run_and_capture(const std::string& command_line) {
#if defined(_WIN32)
  FILE* pipe = _popen(command_line.c_str(), "rb");
#else
  FILE* pipe = popen(command_line.c_str(), "r");
#endif
  if (pipe == nullptr) return {-1, {}};
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
#if defined(_WIN32)
  const int status = _pclose(pipe);
  return {status, output};
#else
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
#endif
}

// A command line that runs program with args in folder, through the system's shell.
inline std::string command_in(const std::string& folder, const std::string& program,
                              const std::string& args) {
#if defined(_WIN32)
  // cmd /c drops the outer pair of quotes and runs the rest as it stands.
  return "\"cd /d \"" + folder + "\" && \"" + program + "\" " + args + "\"";
#else
  return "cd '" + folder + "' && '" + program + "' " + args;
#endif
}

}  // namespace qelt::test::platform
