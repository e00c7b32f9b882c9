// The stand-in machine registry of targets without one: empty until a test writes it.
#pragma once

#include <string>

#include "platform/registry.h"

namespace qelt::platform::stand_in {

// Creates the key (and those above it) if needed and sets the value; wakes watchers.
void set_registry_value(const std::string& path, registry_value value);
// Deletes the key with its values and subkeys, if it exists; wakes watchers.
void delete_registry_key(const std::string& path);

registry_value dword_value(std::string name, std::uint32_t number);
registry_value text_value(std::string name, std::string text);

}  // namespace qelt::platform::stand_in
