#include <algorithm>
#include <cctype>

#include "platform/registry.h"

namespace qelt::platform {

const registry_value* registry_key::find(std::string_view name) const {
  const auto same = [name](const registry_value& value) {
    return value.name.size() == name.size() &&
           std::equal(name.begin(), name.end(), value.name.begin(), [](unsigned char a, unsigned char b) {
             return std::tolower(a) == std::tolower(b);
           });
  };
  const auto it = std::find_if(values.begin(), values.end(), same);
  return it == values.end() ? nullptr : &*it;
}

}  // namespace qelt::platform
