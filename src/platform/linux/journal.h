// Entries for the systemd journal, sent to its native socket: one datagram of
// FIELD=value lines, the journal's stable protocol (no library needed).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qelt::platform {

inline constexpr const char* journal_socket = "/run/systemd/journal/socket";

using journal_fields = std::vector<std::pair<std::string, std::string>>;

// The datagram for these fields: "NAME=value\n", or, for a value holding a newline,
// the name, a newline, its length as 64-bit little-endian, the value and a newline.
std::string journal_datagram(const journal_fields& fields);

// Sends one entry; false when the journal cannot be reached (no systemd, or a full
// queue): the file log is the full record, so nothing more is done.
bool send_journal_entry(const std::string& socket_path, const journal_fields& fields);

}  // namespace qelt::platform
