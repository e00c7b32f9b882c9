#include "platform/event_log.h"

#include "log/events.h"
#include "platform/windows/utf16.h"
#include "platform/windows_api.h"

namespace qelt::platform {

namespace {

WORD to_windows(event_type type) {
  switch (type) {
    case event_type::warning: return EVENTLOG_WARNING_TYPE;
    case event_type::error: return EVENTLOG_ERROR_TYPE;
    case event_type::information: break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

// Registered once and kept until the process ends.
HANDLE event_source() {
  static const HANDLE source = RegisterEventSourceW(nullptr, to_utf16(events::source).c_str());
  return source;
}

}  // namespace

void report_event(event_type type, std::uint32_t message, const std::vector<std::string>& inserts) {
  const HANDLE source = event_source();
  if (source == nullptr) return;
  std::vector<std::wstring> texts;
  texts.reserve(inserts.size());
  for (const std::string& insert : inserts) texts.push_back(to_utf16(insert));
  std::vector<LPCWSTR> strings;
  for (const std::wstring& text : texts) strings.push_back(text.c_str());
  ReportEventW(source, to_windows(type), 0, message, nullptr, static_cast<WORD>(strings.size()), 0,
               strings.empty() ? nullptr : strings.data(), nullptr);
}

}  // namespace qelt::platform
