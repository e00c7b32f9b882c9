// The events the agent writes to the Application log, source "qelt agent". The
// identifiers are those of the message table compiled into qelt-agent.exe
// (event_messages.mc): severity in the top two bits, the event ID below.
#pragma once

#include <cstdint>

namespace qelt::events {

inline constexpr const char* source = "qelt agent";

inline constexpr std::uint32_t informational = 0x40000000;
inline constexpr std::uint32_t warning = 0x80000000;
inline constexpr std::uint32_t error = 0xC0000000;

// %1 address and port, both
inline constexpr std::uint32_t service_started = informational | 1;
inline constexpr std::uint32_t service_stopped = informational | 2;
// %1 address and port, %2 the system's reason
inline constexpr std::uint32_t cannot_listen = error | 100;
// %1 the budget ("64 MiB"), %2 the day
inline constexpr std::uint32_t log_budget_spent = warning | 200;
// %1 what failed
inline constexpr std::uint32_t log_write_failed = error | 300;

// The event ID as Event Viewer shows it.
constexpr std::uint32_t event_id(std::uint32_t message) { return message & 0xFFFF; }

}  // namespace qelt::events
