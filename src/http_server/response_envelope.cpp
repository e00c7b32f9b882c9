#include "http_server/response_envelope.h"

#include <nlohmann/json.hpp>

namespace qelt {

namespace {

template <typename T>
std::string dump(const response_envelope<T>& envelope) {
  const nlohmann::json json{{"success", envelope.success}, {"data", envelope.data}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string to_body(const response_envelope<std::string>& envelope) { return dump(envelope); }
std::string to_body(const response_envelope<const char*>& envelope) { return dump(envelope); }
std::string to_body(const response_envelope<std::list<std::string>>& envelope) { return dump(envelope); }

}  // namespace qelt
