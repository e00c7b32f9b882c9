// settings_from_files: the settings of the policy folder's JSON files.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/format.h"
#include "policy/settings.h"

namespace qelt {

namespace {

using json = nlohmann::json;

std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A value as a message shows it: its JSON text, shortened.
std::string shown(const json& value) {
  return printable(value.dump(-1, ' ', false, json::error_handler_t::replace), 60);
}

// Each setting as the last file that set it left it.
template <typename T>
struct from_file {
  T value{};
  std::string path;
};

struct origin_list {
  std::vector<std::string> entries;
  std::vector<ignored_entry> wrong_type;
  bool is_list = true;
};

struct merged {
  std::optional<from_file<bool>> restrict;
  std::optional<from_file<origin_list>> allowed;
  std::optional<from_file<std::uint32_t>> request_log_limit;
  std::optional<from_file<std::uint32_t>> log_retention;
  std::string unknown;  // the first file whose settings are unknown
};

std::optional<std::uint32_t> whole_number(const json& value) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) return {};
  return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

void take_file(const std::string& path, const json& object, merged& settings, std::vector<std::string>& problems) {
  for (const auto& [name, value] : object.items()) {
    if (name == "RestrictOrigins") {
      // As on Windows, a value that cannot be read still asks for a restriction.
      bool restricted = true;
      if (value.is_boolean()) {
        restricted = value.get<bool>();
      } else if (const auto number = whole_number(value); number && *number <= 1) {
        restricted = *number == 1;
      } else {
        problems.push_back(qelt::format("{}: RestrictOrigins is {}, not 0, 1, false or true: taken as 1, restricted",
                                        path, shown(value)));
      }
      settings.restrict = {restricted, path};
    } else if (name == "AllowedOrigins") {
      origin_list list;
      if (!value.is_array()) {
        // Something is there, so the administrator meant to restrict: restrict to nothing.
        list.is_list = false;
        problems.push_back(qelt::format("{}: AllowedOrigins is {}, not a list of strings: no origin is taken from it",
                                        path, shown(value)));
      } else {
        for (const json& entry : value) {
          if (entry.is_string()) {
            list.entries.push_back(entry.get<std::string>());
          } else {
            list.wrong_type.push_back({entry.dump(-1, ' ', false, json::error_handler_t::replace), "not a string"});
          }
        }
      }
      settings.allowed = {std::move(list), path};
    } else if (name == "RequestLogLimitMB" || name == "LogRetentionDays") {
      const auto number = whole_number(value);
      if (!number) {
        // Passed over, as on Windows: the earlier file's value, if any, stays.
        problems.push_back(
            qelt::format("{}: {} is {}, not a whole number from 0 to 4294967295: ignored", path, name, shown(value)));
      } else {
        (name == "RequestLogLimitMB" ? settings.request_log_limit : settings.log_retention) = {*number, path};
      }
    } else {
      problems.push_back(qelt::format("{}: unknown name \"{}\": ignored", path, printable(name, 60)));
    }
  }
}

// nlohmann's message without its "[json.exception.parse_error.101] " tag.
std::string parse_message(const json::parse_error& error) {
  const std::string_view text = error.what();
  const std::size_t tag_end = text.find("] ");
  return printable(tag_end == std::string_view::npos ? text : text.substr(tag_end + 2), 300);
}

// Where the origin policy came from: one file, or the two that set its parts.
std::string origins_source(const merged& settings) {
  const std::string& restrict_path = settings.restrict->path;
  if (!settings.allowed || settings.allowed->path == restrict_path) return restrict_path;
  return settings.allowed->path < restrict_path ? settings.allowed->path + ", " + restrict_path
                                                : restrict_path + ", " + settings.allowed->path;
}

origin_policy policy_of(std::string source, const origin_list& list) {
  origin_policy policy = origin_policy::from_entries(std::move(source), list.entries);
  policy.ignored.insert(policy.ignored.begin(), list.wrong_type.begin(), list.wrong_type.end());
  return policy;
}

}  // namespace

agent_settings settings_from_files(std::vector<platform::policy_file> files) {
  // A file that cannot be read restricts whatever its name; the folder itself may be one.
  std::erase_if(files, [](const platform::policy_file& file) {
    return file.error.empty() && !platform::is_policy_file_name(file_name(file.path));
  });
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return file_name(a.path) < file_name(b.path);
  });

  agent_settings result;
  merged settings;
  for (const platform::policy_file& file : files) {
    std::string broken;
    if (!file.error.empty()) {
      broken = qelt::format("{} cannot be read: {}", file.path, file.error);
    } else {
      try {
        const json parsed = json::parse(file.content);
        if (parsed.is_object()) {
          take_file(file.path, parsed, settings, result.problems);
          continue;
        }
        broken = qelt::format("{} is not a JSON object but {}", file.path, shown(parsed));
      } catch (const json::parse_error& error) {
        broken = qelt::format("{} is not a JSON object: {}", file.path, parse_message(error));
      }
    }
    result.errors.push_back(broken + ": its settings are unknown");
    if (settings.unknown.empty()) settings.unknown = file.path;
  }

  if (!settings.unknown.empty()) {
    // Its settings are unknown, and restricting is the safe way to be wrong.
    result.origins = origin_policy::from_entries(settings.unknown, {});
    result.origins_unknown = true;
  } else if (settings.restrict) {
    // RestrictOrigins decides alone, as the policy key does on Windows.
    if (settings.restrict->value) {
      result.origins = policy_of(origins_source(settings), settings.allowed ? settings.allowed->value : origin_list{});
    } else {
      result.origins_unrestricted_by = settings.restrict->path;
    }
  } else if (settings.allowed) {
    // Without it, a list restricts to itself, as the installation's does on Windows.
    const origin_list& list = settings.allowed->value;
    if (!list.is_list || !list.entries.empty() || !list.wrong_type.empty()) {
      result.origins = policy_of(settings.allowed->path, list);
    }
  }
  if (settings.request_log_limit) {
    result.request_log_limit_mb = settings.request_log_limit->value;
    result.request_log_limit_source = settings.request_log_limit->path;
  }
  if (settings.log_retention) {
    result.log_retention_days = settings.log_retention->value;
    result.log_retention_source = settings.log_retention->path;
  }
  return result;
}

}  // namespace qelt
