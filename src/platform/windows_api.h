// The Windows interfaces the agent calls. On Windows these are the system's own
// headers; elsewhere a small stand-in layer gives the same names, so that the
// rest of the code is the same on every target.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <winsock2.h>
#  include <ws2tcpip.h>
#  include <windows.h>
#  include <iphlpapi.h>
#else
#  include "posix/windows_stand_in.h"
#endif

#if defined(_MSC_VER)
#  define QELT_PRETTY_FUNCTION __FUNCSIG__
#else
#  define QELT_PRETTY_FUNCTION __PRETTY_FUNCTION__
#endif

namespace qelt::platform {

#if defined(_WIN32)
inline constexpr char path_separator = '\\';
// The longest path, with its terminator, that Windows opens without long-path support.
inline constexpr std::size_t max_path = MAX_PATH;
#else
inline constexpr char path_separator = '/';
inline constexpr std::size_t max_path = 4096;
#endif

}  // namespace qelt::platform
