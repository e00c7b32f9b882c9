# Finds cpp-httplib, spdlog, {fmt} and nlohmann-json and gathers them in the
# interface target qelt_deps.
#
# - Native builds and vcpkg: find_package for spdlog, fmt and nlohmann_json.
# - MinGW cross build: the Debian headers through a staging folder that holds
#   links to those header folders only (the whole /usr/include would pull in glibc).
# - cpp-httplib: the header-only httplib.h staged by scripts/install-deps when it
#   is there (one library build for both targets), else find_package (vcpkg).

add_library(qelt_deps INTERFACE)
# httplib's listen backlog of 5 drops bursts of new connections, which then wait
# 1-3 s for the client's retry; 512 holds a few hundred at once. Every target that
# includes httplib.h takes it from here, so all agree on the value.
target_compile_definitions(qelt_deps INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=512)

if(EXISTS "${QELT_HTTPLIB_DIR}/httplib.h")
  add_library(qelt_httplib INTERFACE)
  target_include_directories(qelt_httplib SYSTEM INTERFACE "${QELT_HTTPLIB_DIR}")
  set(qelt_httplib_target qelt_httplib)
else()
  find_package(httplib CONFIG REQUIRED)
  set(qelt_httplib_target httplib::httplib)
endif()

if(CMAKE_CROSSCOMPILING AND MINGW)
  set(stage "${CMAKE_BINARY_DIR}/stage-include")
  file(MAKE_DIRECTORY "${stage}")
  foreach(dir spdlog fmt nlohmann)
    if(NOT EXISTS "${QELT_HOST_INCLUDE_DIR}/${dir}")
      message(FATAL_ERROR "${QELT_HOST_INCLUDE_DIR}/${dir} is missing: run scripts/install-deps")
    endif()
    file(CREATE_LINK "${QELT_HOST_INCLUDE_DIR}/${dir}" "${stage}/${dir}" SYMBOLIC)
  endforeach()
  target_include_directories(qelt_deps SYSTEM INTERFACE "${stage}")
  # Debian's spdlog is configured for an external {fmt}: use both header-only.
  target_compile_definitions(qelt_deps INTERFACE FMT_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
  target_link_libraries(qelt_deps INTERFACE ${qelt_httplib_target} ws2_32 iphlpapi advapi32)
else()
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.11 REQUIRED)
  find_package(Threads REQUIRED)
  target_link_libraries(qelt_deps INTERFACE ${qelt_httplib_target} spdlog::spdlog fmt::fmt
                        nlohmann_json::nlohmann_json Threads::Threads)
  if(WIN32)
    target_link_libraries(qelt_deps INTERFACE ws2_32 iphlpapi advapi32)
  endif()
endif()
