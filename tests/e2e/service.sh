#!/usr/bin/env bash
# The agent as a user meets it: installed from a folder with blanks in its path,
# started by Wine's service control manager, asked for MAC addresses over HTTP,
# paused, continued, stopped and removed; then started while another program
# holds its port, which it says and heals. Its events as Wine's debug channel shows
# them (Wine 8 stores none). One network namespace and Wine prefix of its own.
#
#   service.sh AGENT_EXE SCM_CONTROL_EXE
source "$(dirname "$0")/lib.sh"

[ $# -eq 2 ] || { echo "usage: $0 AGENT_EXE SCM_CONTROL_EXE" >&2; exit 2; }
agent_exe=$(realpath "$1")
scm_control=$(realpath "$2")

e2e_begin service
e2e_require_tools python3
[ -f "$agent_exe" ] || fail "agent missing at $agent_exe"
[ -f "$scm_control" ] || fail "scm_control missing at $scm_control"

e2e_veth eth0 eth1
e2e_link eth0 address 00:0c:01:0a:0b:05
e2e_link eth1 address 02:5e:00:00:00:aa
e2e_link eth0 up
e2e_link eth1 up
e2e_wait_links_up eth0 eth1
expected_body=$(e2e_mac_body "$(e2e_expected_macs "$e2e_ns")")
expect_eq "the namespace's adapters (any order)" "$(printf '%s\n' 00:0C:01:0A:0B:05 02:5E:00:00:00:AA)" \
  "$(e2e_expected_macs "$e2e_ns" | sort)"

e2e_service_debug=-all,+eventlog
e2e_prefix_boot
events_mark() { e2e_line_count "$e2e_dir/wine-debug.log"; }

install_dir="$e2e_prefix/drive_c/Program Files/qelt agent"
agent='C:\Program Files\qelt agent\qelt-agent.exe'
mkdir -p "$install_dir"
cp "$agent_exe" "$install_dir/qelt-agent.exe"
log=$(e2e_log_file "$install_dir")

# Runs the agent with one switch; sets agent_status and new_records.
run_agent() {
  local exe=$1 switch=$2 log_file=$3
  local mark
  mark=$(e2e_line_count "$log_file")
  agent_status=0
  e2e_wine "$exe" "$switch" >/dev/null 2>&1 || agent_status=$?
  new_records=$(e2e_records_after "$log_file" "$mark")
}

# One status line of scm_control; sets scm_status (its exit code) and scm_output.
scm() {
  scm_status=0
  scm_output=$(e2e_wine "$scm_control" "$1" "$e2e_service_name" 2>&1) || scm_status=$?
  scm_output=${scm_output//$'\r'/}
}

agent_processes() { e2e_ns_processes qelt-agent.exe | wc -l; }
# shellcheck disable=SC2317 # called through wait_until
agent_gone() { [ "$(agent_processes)" -eq 0 ]; }

expect_mac_answer() {
  local when=$1
  http_request GET /mac
  expect_eq "GET /mac $when: curl" 0 "$http_code"
  expect_eq "GET /mac $when: body" "$expected_body" "$http_body"
}

# ---- install ----------------------------------------------------------------
run_agent "$agent" -i "$log"
expect_eq "-i exit code" 1 "$agent_status"
expect_eq "-i log records" \
  "$(printf '%s\n' 'info|main.cpp|main|qelt logger initialized' \
    'info|main.cpp|main|qelt agent service: service installed successfully')" "$new_records"
expect_eq "log file name" "qelt_$(date +%F).log" "$(ls "$install_dir/logs")"

# Wine's sc.exe has no qc: the registration is read back through QueryServiceConfig.
registration='service_type=16
start_type=3
binary_path="C:\Program Files\qelt agent\qelt-agent.exe"'
scm config
expect_eq "registration after -i" "$registration" "$scm_output"

# A second -i, from another folder, must fail and leave the first registration as it was.
mkdir -p "$e2e_prefix/drive_c/qelt second"
cp "$agent_exe" "$e2e_prefix/drive_c/qelt second/qelt-agent.exe"
run_agent 'C:\qelt second\qelt-agent.exe' -i "$(e2e_log_file "$e2e_prefix/drive_c/qelt second")"
expect_eq "second -i exit code" 1 "$agent_status"
expect_eq "second -i log records" \
  "$(printf '%s\n' 'info|main.cpp|main|qelt logger initialized' \
    'error|main.cpp|main|qelt agent service: error installing service')" "$new_records"
scm config
expect_eq "registration after the second -i" "$registration" "$scm_output"

# ---- start and serve --------------------------------------------------------
mark=$(e2e_line_count "$log")
event_mark=$(events_mark)
status=0
e2e_wine net start "$e2e_service_name" >"$e2e_dir/net-start" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "net start failed ($status): $(cat "$e2e_dir/net-start")"
scm query
expect_eq "status after net start" "state=4 controls_accepted=3 exit_code=0" "$scm_output"
expect_eq "agent processes after net start" 1 "$(agent_processes)"

for path in /mac /; do
  http_request GET "$path"
  expect_eq "GET $path: curl" 0 "$http_code"
  expect_eq "GET $path: status" 200 "$http_status"
  expect_eq "GET $path: Content-Type" "application/json" "$(http_header Content-Type)"
  expect_eq "GET $path: Access-Control-Allow-Origin" "*" "$(http_header Access-Control-Allow-Origin)"
  expect_eq "GET $path: body" "$expected_body" "$http_body"

  http_request OPTIONS "$path"
  expect_eq "OPTIONS $path: curl" 0 "$http_code"
  expect_eq "OPTIONS $path: status" 200 "$http_status"
  expect_eq "OPTIONS $path: Content-Type" "text/plain" "$(http_header Content-Type)"
  expect_eq "OPTIONS $path: Access-Control-Allow-Origin" "*" "$(http_header Access-Control-Allow-Origin)"
  expect_eq "OPTIONS $path: Access-Control-Allow-Private-Network" "true" \
    "$(http_header Access-Control-Allow-Private-Network)"
  expect_eq "OPTIONS $path: body" "" "$http_body"
done

http_request GET /macp
expect_eq "GET /macp: curl" 0 "$http_code"
expect_eq "GET /macp: status" 200 "$http_status"
expect_eq "GET /macp: Content-Type" "application/javascript" "$(http_header Content-Type)"
expect_eq "GET /macp: body" "macCallback($expected_body)" "$http_body"

records=$(e2e_records_after "$log" "$mark")
for line in \
  'info|main.cpp|main|qelt logger initialized' \
  'info|http_server.cpp|qelt::http_server::init|server initialized success' \
  'info|http_server.cpp|qelt::http_server::start|server start succeed' \
  'info|mac_routes.cpp|qelt::http_server::mac_handler|mac addres request: /mac, 127.0.0.1' \
  'info|mac_routes.cpp|qelt::http_server::mac_option_handler|mac addres options request: /mac, 127.0.0.1' \
  'info|mac_routes.cpp|qelt::http_server::mac_handler|mac addres request: /, 127.0.0.1' \
  'info|mac_routes.cpp|qelt::http_server::mac_option_handler|mac addres options request: /, 127.0.0.1' \
  'info|mac_routes.cpp|qelt::http_server::macp_handler|macp addres request: /macp, 127.0.0.1'; do
  expect_line "log record of the running service" "$line" "$records"
done
expect_eq "malformed or error records while serving" "" "$(grep -E '^(MALFORMED|error|critical)\|' <<<"$records" || true)"
# Information events print at Wine's trace level.
expect_eq "events after net start" "trace|127.0.0.1:17654" "$(e2e_events_after "$event_mark")"

# ---- pause, interrogate, continue -------------------------------------------
scm pause
expect_eq "pause" "state=7 controls_accepted=3 exit_code=0" "$scm_output"
expect_mac_answer "while paused"
scm interrogate
expect_eq "interrogate while paused" "state=7 controls_accepted=3 exit_code=0" "$scm_output"
scm continue
expect_eq "continue" "state=4 controls_accepted=3 exit_code=0" "$scm_output"
expect_mac_answer "after continue"

# ---- a quick restart with a browser's idle connection open -------------------
# A kept-alive connection left idle after one GET, as a browser tab leaves it.
in_ns python3 -c '
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"GET /mac HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
s.recv(4096)
time.sleep(60)
' "$e2e_port" &
e2e_pids+=("$!")
idle_connection_open() { [ "$(in_ns ss -Htn state established "dport = :$e2e_port" | wc -l)" -ge 1 ]; }
wait_until 20 idle_connection_open || check_failed "the idle connection did not open"
status=0
e2e_wine net stop "$e2e_service_name" >"$e2e_dir/net-stop" 2>&1 || status=$?
expect_eq "net stop with an idle connection open" 0 "$status"
status=0
e2e_wine net start "$e2e_service_name" >"$e2e_dir/net-start" 2>&1 || status=$?
expect_eq "net start at once after net stop: $(cat "$e2e_dir/net-start")" 0 "$status"
started_ns=$(date +%s%N)
answered=""
while [ $(($(date +%s%N) - started_ns)) -lt 2000000000 ]; do
  in_ns curl -s --max-time 1 -o "$e2e_dir/quick-body" "http://127.0.0.1:$e2e_port/mac" || true
  if [ "$(cat "$e2e_dir/quick-body" 2>/dev/null)" == "$expected_body" ] &&
    [ $(($(date +%s%N) - started_ns)) -lt 2000000000 ]; then
    answered=yes
    break
  fi
done
expect_eq "GET /mac answered within 2 s of a quick net stop and net start" yes "$answered"
one_agent() { [ "$(agent_processes)" -eq 1 ]; }
wait_until 10 one_agent || check_failed "$(agent_processes) agent processes after the quick restart"

# ---- stop ---------------------------------------------------------------------
event_mark=$(events_mark)
scm stop
expect_eq "stop: state" "state=1" "${scm_output%% *}"
wait_until 20 e2e_port_refused || check_failed "the endpoint still answers 20 s after stop"
wait_until 20 agent_gone || check_failed "the agent process still runs 20 s after stop"
expect_line "log record after stop" 'info|http_server.cpp|qelt::http_server::stop|server stopped' \
  "$(e2e_records_after "$log" "$mark")"
expect_eq "events after stop" "trace|127.0.0.1:17654" "$(e2e_events_after "$event_mark")"

# ---- uninstall ----------------------------------------------------------------
run_agent "$agent" -u "$log"
expect_eq "-u exit code" 1 "$agent_status"
expect_eq "-u log records" \
  "$(printf '%s\n' 'info|main.cpp|main|qelt logger initialized' \
    'info|main.cpp|main|qelt agent service: service uninstalled successfully')" "$new_records"
scm query
expect_eq "service manager after -u" "1: scm_control: OpenServiceA failed: error 1060" "$scm_status: $scm_output"

run_agent "$agent" -u "$log"
expect_eq "second -u exit code" 1 "$agent_status"
expect_eq "second -u log records" \
  "$(printf '%s\n' 'info|main.cpp|main|qelt logger initialized' \
    'error|main.cpp|main|qelt agent service: error uninstalling service')" "$new_records"

# ---- port already taken -----------------------------------------------------
run_agent "$agent" -i "$log"
expect_eq "-i again exit code" 1 "$agent_status"

# Another program listening on the agent's address and port (started without a
# function between, so that $! is the listener itself).
holder_body="held by another program"
ip netns exec "$e2e_ns" python3 -c '
import http.server, sys
body = sys.argv[1].encode()
class Holder(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[2])), Holder).serve_forever()
' "$holder_body" "$e2e_port" &
holder_pid=$!
e2e_pids+=("$holder_pid")
holder_answers() { [ "$(in_ns curl -s --max-time 5 "http://127.0.0.1:$e2e_port/mac")" == "$holder_body" ]; }
wait_until 20 holder_answers || fail "the holder does not answer on port $e2e_port"

mark=$(e2e_line_count "$log")
event_mark=$(events_mark)
status=0
e2e_wine net start "$e2e_service_name" >"$e2e_dir/net-start" 2>&1 || status=$?
expect_eq "net start with the port taken" 0 "$status"
scm query
expect_eq "status with the port taken" "state=4 controls_accepted=3 exit_code=0" "$scm_output"
http_request GET /mac
expect_eq "GET /mac with the port taken is answered by the holder" "$holder_body" "$http_body"
expect_eq "agent processes with the port taken" 1 "$(agent_processes)"
said_taken() { grep -q '^error|' <<<"$(e2e_records_after "$log" "$mark")"; }
wait_until 20 said_taken || check_failed "no error record with the port taken"
started_records="$(printf '%s\n' 'info|main.cpp|main|qelt logger initialized' \
  'info|http_server.cpp|qelt::http_server::init|server initialized success' \
  'info|http_server.cpp|qelt::http_server::start|server start succeed')"
taken_record='error|http_server.cpp|qelt::http_server::bind_listener|cannot listen on 127.0.0.1:17654: the address is already in use (WSAEADDRINUSE, error 10048); trying again every few seconds until it can'
expect_eq "log records with the port taken" "$(printf '%s\n%s' "$started_records" "$taken_record")" \
  "$(e2e_records_after "$log" "$mark")"
# The listener may fail before the service reports itself running: either order.
expect_eq "events with the port taken" "$(printf '%s\n' 'err|127.0.0.1:17654' \
  'err|the address is already in use (WSAEADDRINUSE, error 10048)' 'trace|127.0.0.1:17654')" \
  "$(e2e_events_after "$event_mark" | sort)"

# Stopping ends the retrying at once.
scm stop
expect_eq "stop with the port taken: state" "state=1" "${scm_output%% *}"
wait_until 5 agent_gone || check_failed "the agent process still runs 5 s after a stop while retrying"
expect_eq "log records of the whole run with the port taken" \
  "$(printf '%s\n%s\n%s\n' "$started_records" "$taken_record" 'info|http_server.cpp|qelt::http_server::stop|server stopped')" \
  "$(e2e_records_after "$log" "$mark")"
holder_answers || check_failed "the holder lost its port to the agent"

# Started again while the port is taken, it serves once the port is free, without a restart.
mark=$(e2e_line_count "$log")
e2e_wine net start "$e2e_service_name" >/dev/null 2>&1 || check_failed "net start with the port taken again"
wait_until 20 said_taken || check_failed "no error record with the port taken again"
kill "$holder_pid"
agent_answers() { http_request GET /mac && [ "$http_body" == "$expected_body" ]; }
wait_until 40 agent_answers || check_failed "the agent does not serve within 40 s of the port coming free"
expect_line "log record once the port is free" 'info|http_server.cpp|qelt::http_server::bind_listener|listening on 127.0.0.1:17654' \
  "$(e2e_records_after "$log" "$mark")"
scm stop
wait_until 20 agent_gone || check_failed "the agent process still runs 20 s after stop"

e2e_summary
