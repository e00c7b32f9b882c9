// The coloured console sink of the process log: the console's text attributes on
// Windows; on Linux ANSI escape codes on a terminal, and the journal's priority
// prefixes under systemd.
#pragma once

#if defined(_WIN32)
#  include "windows_api.h"
#  include <spdlog/sinks/wincolor_sink.h>
namespace qelt::platform {
using console_sink_mt = spdlog::sinks::wincolor_stdout_sink_mt;
}
#else
#  include "platform/linux/console_sink.h"
namespace qelt::platform {
using console_sink_mt = journal_console_sink;
}
#endif
