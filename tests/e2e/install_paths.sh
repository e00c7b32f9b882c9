#!/usr/bin/env bash
# Installation from long folder paths: the registered command line is the whole
# path between double quotes however long it is, and a path too long for the
# log folder fails with the log's own message and registers nothing. A folder
# whose name the ANSI code page (1252) cannot spell works like any other.
#
#   install_paths.sh AGENT_EXE SCM_CONTROL_EXE
source "$(dirname "$0")/lib.sh"

[ $# -eq 2 ] || { echo "usage: $0 AGENT_EXE SCM_CONTROL_EXE" >&2; exit 2; }
agent_exe=$(realpath "$1")
scm_control=$(realpath "$2")

e2e_begin install-paths
e2e_prefix_boot

# A folder under C:\ whose Windows path is about the given length.
long_folder() {
  local length=$1 unix="$e2e_prefix/drive_c/q" windows='C:\q' part
  while [ "${#windows}" -lt $((length - 55)) ]; do
    part=$(printf 'long folder name %.0s' 1 2 3)
    part=${part:0:50}
    unix+="/$part"
    windows+="\\$part"
  done
  mkdir -p "$unix"
  cp "$agent_exe" "$unix/qelt-agent.exe"
  folder_unix=$unix
  agent_windows="$windows\\qelt-agent.exe"
}

scm_config() { e2e_wine "$scm_control" config "$e2e_service_name" 2>&1; }

# Near the limit of what the log folder allows: installs, with the whole path quoted.
long_folder 230
e2e_log "installing from a path of ${#agent_windows} characters"
status=0
e2e_wine "$agent_windows" -i >/dev/null 2>&1 || status=$?
expect_eq "-i exit code" 1 "$status"
expect_line "-i record" "qelt agent service: service installed successfully" \
  "$(sed 's/^.*\] //' "$(e2e_log_file "$folder_unix")" | tr -d '\r')"
expect_line "registered path" "binary_path=\"$agent_windows\"" "$(scm_config)"
status=0
e2e_wine "$agent_windows" -u >/dev/null 2>&1 || status=$?
expect_eq "-u exit code" 1 "$status"

# Longer than a log path may be: the log's message, exit 0, nothing registered.
long_folder 300
e2e_log "installing from a path of ${#agent_windows} characters"
status=0
output=$(e2e_wine "$agent_windows" -i 2>&1) || status=$?
expect_eq "-i exit code with an unusable log path" 0 "$status"
expect_eq "the log's message" "Failed opening file" "$(grep -o 'Failed opening file' <<<"$output" | head -n 1)"
expect_eq "nothing registered" "" "$(scm_config | grep binary_path || true)"

# A folder name outside the ANSI code page: run from the console, the agent logs
# beside itself; -i registers the path as it is.
unicode_dir="$e2e_prefix/drive_c/Program Files/qelt 代理"
unicode_agent='C:\Program Files\qelt 代理\qelt-agent.exe'
mkdir -p "$unicode_dir"
cp "$agent_exe" "$unicode_dir/qelt-agent.exe"
status=0
output=$(e2e_wine "$unicode_agent" 2>&1) || status=$?
expect_eq "console run from $unicode_agent: exit code" 0 "$status"
expect_line "console run: debug console mode" "## Debug console mode ##" "$output"
records=$(e2e_records_after "$(e2e_log_file "$unicode_dir")" 0)
expect_line "console run: log beside the exe" 'info|http_server.cpp|qelt::http_server::stop|server stopped' "$records"
status=0
e2e_wine "$unicode_agent" -i >/dev/null 2>&1 || status=$?
expect_eq "-i from $unicode_agent: exit code" 1 "$status"
expect_line "registered path" "binary_path=\"$unicode_agent\"" "$(scm_config)"
e2e_wine "$unicode_agent" -u >/dev/null 2>&1 || true

e2e_summary
