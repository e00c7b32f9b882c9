// The JSON envelope of every answer body: {"data":...,"success":...}.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qelt {

template <typename T>
struct response_envelope {
  bool success;
  T data;
};

template <typename T>
void to_json(nlohmann::json& json, const response_envelope<T>& envelope) {
  json = nlohmann::json{{"success", envelope.success}, {"data", envelope.data}};
}

// The compact body text; "data" comes first because the members are sorted.
// Bytes that are not UTF-8 (say, in an exception's text) are replaced, not thrown on.
template <typename T>
std::string to_body(const response_envelope<T>& envelope) {
  return nlohmann::json(envelope).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace qelt
