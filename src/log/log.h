// The one way to write a record: QELT_LOG(level, format, args...), or the
// QELT_INFO / QELT_DEBUG / QELT_WARN / QELT_ERROR shorthands. Each record carries
// the short name of the source file, the line and the qualified name of the
// enclosing function, all fixed at compile time.
//
// The records of a request use QELT_REQUEST_LOG and its shorthands instead: they
// are written only if the request was admitted to the day's log budget
// (request_log.h), all of them or none.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include <spdlog/common.h>

#include "log/log_manager.h"
#include "log/request_log.h"
#include "platform/windows_api.h"

namespace qelt::detail {

// The file name without any directory part, whichever separator the compiler used.
constexpr const char* short_file_name(const char* path) {
  const char* name = path;
  for (const char* it = path; *it != '\0'; ++it) {
    if (*it == '/' || *it == '\\') name = it + 1;
  }
  return name;
}

// "void qelt::http_server::start()" -> "qelt::http_server::start": the name
// between the return type and the parameter list, templates kept whole.
// clang names an unnamed namespace "(anonymous namespace)": not a parameter list.
constexpr std::string_view unnamed_namespace = "(anonymous namespace)";

constexpr std::string_view qualified_name(std::string_view signature) {
  int depth = 0;
  std::size_t open = signature.size();
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const char c = signature[i];
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      --depth;
    } else if (c == '(' && signature.substr(i, unnamed_namespace.size()) == unnamed_namespace) {
      i += unnamed_namespace.size() - 1;
    } else if (c == '(' && depth == 0) {
      open = i;
      break;
    }
  }
  std::size_t start = 0;
  depth = 0;
  for (std::size_t i = open; i-- > 0;) {
    const char c = signature[i];
    if (c == '>' || c == ')') {
      ++depth;
    } else if (c == '<' || c == '(') {
      --depth;
    } else if (c == ' ' && depth == 0) {
      start = i + 1;
      break;
    }
  }
  return signature.substr(start, open - start);
}

template <std::size_t N>
struct function_name_text {
  std::array<char, N> text{};
};

template <std::size_t N>
constexpr function_name_text<N> function_name(const char (&signature)[N]) {
  function_name_text<N> name{};
  const std::string_view part = qualified_name(std::string_view(signature, N - 1));
  for (std::size_t i = 0; i < part.size(); ++i) name.text[i] = part[i];
  return name;
}

}  // namespace qelt::detail

#define QELT_LOG(level, ...)                                                                  \
  do {                                                                                        \
    static constexpr const char* qelt_file_ = ::qelt::detail::short_file_name(__FILE__);      \
    static constexpr auto qelt_function_ = ::qelt::detail::function_name(QELT_PRETTY_FUNCTION); \
    ::qelt::log_manager::instance().get()->log(                                              \
        ::spdlog::source_loc{qelt_file_, __LINE__, qelt_function_.text.data()}, level,       \
        __VA_ARGS__);                                                                         \
  } while (false)

#define QELT_DEBUG(...) QELT_LOG(::spdlog::level::debug, __VA_ARGS__)
#define QELT_INFO(...) QELT_LOG(::spdlog::level::info, __VA_ARGS__)
#define QELT_WARN(...) QELT_LOG(::spdlog::level::warn, __VA_ARGS__)
#define QELT_ERROR(...) QELT_LOG(::spdlog::level::err, __VA_ARGS__)

#define QELT_REQUEST_LOG(level, ...)                                  \
  do {                                                                \
    if (::qelt::request_log::admitted()) QELT_LOG(level, __VA_ARGS__); \
  } while (false)

#define QELT_REQUEST_DEBUG(...) QELT_REQUEST_LOG(::spdlog::level::debug, __VA_ARGS__)
#define QELT_REQUEST_INFO(...) QELT_REQUEST_LOG(::spdlog::level::info, __VA_ARGS__)
#define QELT_REQUEST_WARN(...) QELT_REQUEST_LOG(::spdlog::level::warn, __VA_ARGS__)
