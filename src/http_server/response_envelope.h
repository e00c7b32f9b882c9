// The JSON envelope of every answer body: {"data":...,"success":...}.
#pragma once

#include <list>
#include <string>

namespace qelt {

template <typename T>
struct response_envelope {
  bool success;
  T data;
};

// The compact body text; "data" comes first because the members are sorted.
// Bytes that are not UTF-8 (say, in an exception's text) are replaced, not thrown on.
// The envelopes the routes answer with; nlohmann-json stays in response_envelope.cpp.
std::string to_body(const response_envelope<std::string>& envelope);
std::string to_body(const response_envelope<const char*>& envelope);
std::string to_body(const response_envelope<std::list<std::string>>& envelope);

}  // namespace qelt
