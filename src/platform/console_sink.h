// The coloured console sink of the process log: the console's text attributes on
// Windows, ANSI escape codes elsewhere.
#pragma once

#if defined(_WIN32)
#  include "windows_api.h"
#  include <spdlog/sinks/wincolor_sink.h>
namespace qelt::platform {
using console_sink_mt = spdlog::sinks::wincolor_stdout_sink_mt;
}
#else
#  include <spdlog/sinks/ansicolor_sink.h>
namespace qelt::platform {
using console_sink_mt = spdlog::sinks::ansicolor_stdout_sink_mt;
}
#endif
