// Request records: written only when the request's turn in the daily budget came up
// (daily_log_sink.h). Every record of one request shares one decision, taken at its
// first record; the endpoint ends the request with end() once it is answered.
#pragma once

namespace qelt::request_log {

// Whether this thread's current request writes its records; decides at its first call.
bool admitted();
// Whether the record being written belongs to an admitted request (it then counts).
bool counting();
// The current request is answered: the next record on this thread starts a new one.
void end();

}  // namespace qelt::request_log
