// The agent's events go to the journal, each with a MESSAGE_ID of its own, so that
// `journalctl MESSAGE_ID=...` finds one kind of event across machines and versions.
#include "platform/event_log.h"

#include <array>
#include <string>

#include "log/events.h"
#include "platform/linux/journal.h"

namespace qelt::platform {

namespace {

struct event_text {
  std::uint32_t message;
  const char* message_id;
  // %1, %2: the inserts, as in the Windows message table.
  const char* text;
};

// The IDs are fixed for good: administrators' filters and alerts name them.
constexpr std::array<event_text, 5> event_texts{{
    {events::service_started, "882cfafe0d114fb3813720bfefb47f66",
     "qelt agent started. It answers web pages on this computer at http://%1."},
    {events::service_stopped, "f175d6bce83342b3a4c5923062c9191a",
     "qelt agent stopped: it no longer answers at http://%1."},
    {events::cannot_listen, "ea31f0493eef46e1ae5baf7321acff90",
     "qelt agent cannot listen on %1: %2 Web pages get no answer until it can. It tries again every few "
     "seconds, up to every 30 seconds, and its log says when it listens. Another program may hold the port."},
    {events::log_budget_spent, "ef0de80602c84517bcad4da13ed7c048",
     "qelt agent's request records of %2 have used the day's budget of %1 (policy RequestLogLimitMB): request "
     "records are suppressed until midnight. Start, stop, settings and failures are still logged, and the first "
     "record of the next day says how many requests went unrecorded."},
    {events::log_write_failed, "5a316ae0813d41d281969e956445c105",
     "qelt agent cannot write its log: %1 Records are lost until this is mended (a full disk, or the log folder "
     "gone). This event is written at most once an hour while it lasts."},
}};

const char* priority(event_type type) {
  switch (type) {
    case event_type::warning: return "4";
    case event_type::error: return "3";
    case event_type::information: break;
  }
  return "6";
}

std::string filled(const char* text, const std::vector<std::string>& inserts) {
  std::string out;
  for (const char* it = text; *it != '\0'; ++it) {
    const unsigned index = it[1] >= '1' && it[1] <= '9' ? static_cast<unsigned>(it[1] - '1') : 9;
    if (*it == '%' && index < inserts.size()) {
      out += inserts[index];
      ++it;
    } else {
      out += *it;
    }
  }
  return out;
}

}  // namespace

void report_event(event_type type, std::uint32_t message, const std::vector<std::string>& inserts) {
  for (const event_text& event : event_texts) {
    if (event.message != message) continue;
    send_journal_entry(journal_socket, {{"MESSAGE", filled(event.text, inserts)},
                                        {"MESSAGE_ID", event.message_id},
                                        {"PRIORITY", priority(type)},
                                        {"SYSLOG_IDENTIFIER", "qelt-agent"},
                                        {"QELT_EVENT_ID", std::to_string(events::event_id(message))}});
    return;
  }
}

}  // namespace qelt::platform
