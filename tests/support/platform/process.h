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

}  // namespace qelt::test::platform
