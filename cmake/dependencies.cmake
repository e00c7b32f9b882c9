# Finds cpp-httplib, spdlog, {fmt} and nlohmann-json and gathers them in the
# interface target qelt_deps.
#
# - Both targets here: the header-only releases that scripts/install-deps staged in
#   third_party/include (Debian 13's source packages with Debian's patches), so the
#   native and the MinGW build compile the very same headers and link no library.
# - Anywhere else (vcpkg, MSVC): find_package for each of them.

add_library(qelt_deps INTERFACE)
# httplib's listen backlog of 5 drops bursts of new connections, which then wait
# 1-3 s for the client's retry; 512 holds a few hundred at once. Every target that
# includes httplib.h takes it from here, so all agree on the value.
# An idle kept-alive connection's worker looks every CHECK_INTERVAL whether the server
# is stopping: 10 ms by default, which under Wine makes a few browsers' idle
# connections slow everyone else down. 50 ms still ends them well within 100 ms of stop.
set(QELT_LISTEN_BACKLOG 512 CACHE STRING "The endpoint's listen backlog (the benchmark tries others)")
target_compile_definitions(qelt_deps INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=${QELT_LISTEN_BACKLOG}
                           CPPHTTPLIB_KEEPALIVE_TIMEOUT_CHECK_INTERVAL_USECOND=50000)

if(EXISTS "${QELT_THIRD_PARTY_INCLUDE_DIR}/httplib.h")
  target_include_directories(qelt_deps SYSTEM INTERFACE "${QELT_THIRD_PARTY_INCLUDE_DIR}")
  # Debian's spdlog is configured for an external {fmt}; both are used header-only.
  target_compile_definitions(qelt_deps INTERFACE FMT_HEADER_ONLY)
  if(NOT WIN32)
    find_package(Threads REQUIRED)
    target_link_libraries(qelt_deps INTERFACE Threads::Threads)
  endif()
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "${QELT_THIRD_PARTY_INCLUDE_DIR}/httplib.h is missing: run scripts/install-deps")
else()
  find_package(httplib CONFIG REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.11.3 REQUIRED)
  find_package(Threads REQUIRED)
  target_link_libraries(qelt_deps INTERFACE httplib::httplib spdlog::spdlog fmt::fmt
                        nlohmann_json::nlohmann_json Threads::Threads)
endif()

if(WIN32)
  target_link_libraries(qelt_deps INTERFACE ws2_32 iphlpapi advapi32)
  # Log file names in UTF-16: the log lands beside the exe in any folder, whether or
  # not the ANSI code page can spell its name.
  target_compile_definitions(qelt_deps INTERFACE SPDLOG_WCHAR_FILENAMES)
endif()
