// qelt::format: std::format where the standard library has it, {fmt} otherwise.
#pragma once

#if __has_include(<format>)
#  include <format>
#endif

#if defined(__cpp_lib_format)
namespace qelt {
using std::format;
}
#else
#  include <fmt/format.h>
namespace qelt {
using fmt::format;
}
#endif
