# Finds cpp-httplib, spdlog, {fmt} and nlohmann-json and gathers them in the
# interface target qelt_deps.
#
# - Both targets here: the releases that scripts/install-deps staged in third_party/
#   (Debian 13's source packages with Debian's patches), so the native and the MinGW
#   build compile the very same sources. nlohmann-json is header-only; cpp-httplib,
#   {fmt} and spdlog are compiled once per build tree from their own sources
#   (third_party/src) into the static libraries qelt_httplib, qelt_fmt and
#   qelt_spdlog, instead of in every translation unit that includes their headers.
# - Anywhere else (vcpkg, MSVC): find_package for each of them.
#
# The libraries' configuration macros (CPPHTTPLIB_*, SPDLOG_*, FMT_*) go on
# qelt_library_config and nowhere else: the compiled libraries and every user of their
# headers link it, so all see the same ones. A macro given to the users only would
# compile them against a library built otherwise (SPDLOG_WCHAR_FILENAMES, for one,
# changes the type of every file name and the layout of the file sinks).
# qelt_check_library_config (at the end of the top-level CMakeLists.txt) stops the
# configuration when one is set anywhere else.

set(QELT_THIRD_PARTY_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/src" CACHE PATH
    "Folder holding the sources of cpp-httplib, {fmt} and spdlog (staged by scripts/install-deps)")

add_library(qelt_deps INTERFACE)
add_library(qelt_library_config INTERFACE)

# httplib's listen backlog of 5 drops bursts of new connections, which then wait
# 1-3 s for the client's retry; 512 holds a few hundred at once.
# An idle kept-alive connection's worker looks every CHECK_INTERVAL whether the server
# is stopping: 10 ms by default, which under Wine makes a few browsers' idle
# connections slow everyone else down. 50 ms still ends them well within 100 ms of stop.
set(QELT_LISTEN_BACKLOG 512 CACHE STRING "The endpoint's listen backlog (the benchmark tries others)")
target_compile_definitions(qelt_library_config INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=${QELT_LISTEN_BACKLOG}
                           CPPHTTPLIB_KEEPALIVE_TIMEOUT_CHECK_INTERVAL_USECOND=50000)

if(EXISTS "${QELT_THIRD_PARTY_INCLUDE_DIR}/httplib.h")
  set(qelt_library_sources
    httplib/httplib.cc
    fmt/format.cc fmt/os.cc
    spdlog/spdlog.cpp spdlog/stdout_sinks.cpp spdlog/color_sinks.cpp spdlog/file_sinks.cpp
    spdlog/async.cpp spdlog/cfg.cpp)
  foreach(source IN LISTS qelt_library_sources)
    if(NOT EXISTS "${QELT_THIRD_PARTY_SOURCE_DIR}/${source}")
      message(FATAL_ERROR "${QELT_THIRD_PARTY_SOURCE_DIR}/${source} is missing: run scripts/install-deps")
    endif()
  endforeach()
  list(TRANSFORM qelt_library_sources PREPEND "${QELT_THIRD_PARTY_SOURCE_DIR}/")
  set(qelt_httplib_sources ${qelt_library_sources})
  list(FILTER qelt_httplib_sources INCLUDE REGEX "/httplib/")
  set(qelt_fmt_sources ${qelt_library_sources})
  list(FILTER qelt_fmt_sources INCLUDE REGEX "/fmt/")
  set(qelt_spdlog_sources ${qelt_library_sources})
  list(FILTER qelt_spdlog_sources INCLUDE REGEX "/spdlog/")

  target_include_directories(qelt_library_config SYSTEM INTERFACE "${QELT_THIRD_PARTY_INCLUDE_DIR}")
  # Debian's spdlog is configured for an external {fmt} (its tweakme.h says so).
  target_compile_definitions(qelt_library_config INTERFACE SPDLOG_COMPILED_LIB)
  if(NOT WIN32)
    find_package(Threads REQUIRED)
    target_link_libraries(qelt_library_config INTERFACE Threads::Threads)
  endif()

  add_library(qelt_httplib STATIC ${qelt_httplib_sources})
  add_library(qelt_fmt STATIC ${qelt_fmt_sources})
  add_library(qelt_spdlog STATIC ${qelt_spdlog_sources})
  foreach(library qelt_httplib qelt_fmt qelt_spdlog)
    target_link_libraries(${library} PUBLIC qelt_library_config)
    # Their own sources are not ours to keep free of warnings: none from them.
    target_compile_options(${library} PRIVATE $<IF:$<CXX_COMPILER_ID:MSVC>,/W0,-w>)
  endforeach()
  target_link_libraries(qelt_spdlog PUBLIC qelt_fmt)
  # spdlog's sources share most of their headers: one translation unit costs a third
  # less than six.
  set_target_properties(qelt_spdlog PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  if(WIN32)
    target_link_libraries(qelt_httplib PUBLIC ws2_32)
  endif()
  target_link_libraries(qelt_deps INTERFACE qelt_httplib qelt_spdlog qelt_fmt)
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "${QELT_THIRD_PARTY_INCLUDE_DIR}/httplib.h is missing: run scripts/install-deps")
else()
  # vcpkg's spdlog and fmt are compiled libraries, configured by their ports (file
  # names in UTF-16 are the spdlog port's feature "wchar"); its cpp-httplib is the
  # header alone.
  find_package(httplib CONFIG REQUIRED)
  find_package(fmt REQUIRED)
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.11.3 REQUIRED)
  find_package(Threads REQUIRED)
  target_link_libraries(qelt_deps INTERFACE httplib::httplib spdlog::spdlog fmt::fmt
                        nlohmann_json::nlohmann_json Threads::Threads)
endif()
target_link_libraries(qelt_deps INTERFACE qelt_library_config)

if(WIN32)
  target_link_libraries(qelt_deps INTERFACE ws2_32 iphlpapi advapi32)
  # Log file names in UTF-16: the log lands beside the exe in any folder, whether or
  # not the ANSI code page can spell its name.
  target_compile_definitions(qelt_library_config INTERFACE SPDLOG_WCHAR_FILENAMES)
endif()

# Stops the configuration when a CPPHTTPLIB_, SPDLOG_ or FMT_ macro is defined anywhere
# but on qelt_library_config: on a target, in a folder, or in CMAKE_CXX_FLAGS.
function(qelt_check_library_config)
  set(pattern "^(-D)?(CPPHTTPLIB|SPDLOG|FMT)_")
  set(found "")
  set(folders "${PROJECT_SOURCE_DIR}")
  while(folders)
    list(POP_FRONT folders folder)
    get_directory_property(definitions DIRECTORY "${folder}" COMPILE_DEFINITIONS)
    get_directory_property(options DIRECTORY "${folder}" COMPILE_OPTIONS)
    foreach(item IN LISTS definitions options)
      if(item MATCHES "${pattern}")
        list(APPEND found "${item} (folder ${folder})")
      endif()
    endforeach()
    get_directory_property(targets DIRECTORY "${folder}" BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      if(target STREQUAL "qelt_library_config")
        continue()
      endif()
      foreach(property COMPILE_DEFINITIONS INTERFACE_COMPILE_DEFINITIONS COMPILE_OPTIONS
                       INTERFACE_COMPILE_OPTIONS)
        get_target_property(items ${target} ${property})
        foreach(item IN LISTS items)
          if(item MATCHES "${pattern}")
            list(APPEND found "${item} (target ${target})")
          endif()
        endforeach()
      endforeach()
    endforeach()
    get_directory_property(subfolders DIRECTORY "${folder}" SUBDIRECTORIES)
    list(APPEND folders ${subfolders})
  endwhile()
  separate_arguments(flags NATIVE_COMMAND "${CMAKE_CXX_FLAGS}")
  foreach(item IN LISTS flags)
    if(item MATCHES "${pattern}")
      list(APPEND found "${item} (CMAKE_CXX_FLAGS)")
    endif()
  endforeach()
  if(found)
    list(JOIN found "\n  " found)
    message(FATAL_ERROR "The libraries' configuration macros belong on qelt_library_config "
                        "(cmake/dependencies.cmake), so that the compiled libraries see them too:\n  ${found}")
  endif()
endfunction()
