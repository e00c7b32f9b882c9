#!/usr/bin/env bash
# The administrator's settings, set in the prefix's registry as Group Policy and the
# MSI write them, against the agent running as a service: which web pages may read
# the addresses (every answer of a restricted agent, a change taking effect without a
# restart, an empty list, the installation's value and its precedence) and the
# retention of old log files. One network namespace and Wine prefix of its own.
#
#   policy.sh AGENT_EXE
source "$(dirname "$0")/lib.sh"

[ $# -eq 1 ] || { echo "usage: $0 AGENT_EXE" >&2; exit 2; }
agent_exe=$(realpath "$1")

e2e_begin policy
e2e_veth eth0 eth1
e2e_link eth0 up
e2e_link eth1 up
e2e_wait_links_up eth0 eth1
expected_body=$(e2e_mac_body "$(e2e_expected_macs "$e2e_ns")")
e2e_prefix_boot

install_dir="$e2e_prefix/drive_c/Program Files/qelt agent"
mkdir -p "$install_dir/logs"
cp "$agent_exe" "$install_dir/qelt-agent.exe"
log=$(e2e_log_file "$install_dir")
policy='HKLM\SOFTWARE\Policies\qelt\agent'
installed='HKLM\SOFTWARE\qelt\agent'
reg() { e2e_wine reg "$@" /reg:64 /f >/dev/null 2>&1 || fail "reg $*"; }
origins() {
  local n=0 origin
  reg add "$policy" /v RestrictOrigins /t REG_DWORD /d 1
  e2e_wine reg delete "$policy\\AllowedOrigins" /reg:64 /f >/dev/null 2>&1 || true
  for origin in "$@"; do
    n=$((n + 1))
    reg add "$policy\\AllowedOrigins" /v "$n" /t REG_SZ /d "$origin"
  done
}

# Retention: a gap of missing days, files too old, and files that are not the agent's.
day() { date -d "$1 days ago" +%F; }
old_files=("qelt_$(day 31).log" "qelt_$(day 45).log" "qelt_$(day 400).log")
kept_files=("qelt_$(day 30).log" "qelt_$(day 2).log" "notes.txt" "qelt_$(day 400).log.bak" "qelt_2020-02-30.log")
for f in "${old_files[@]}" "${kept_files[@]}"; do echo "$f" >"$install_dir/logs/$f"; done
reg add "$policy" /v LogRetentionDays /t REG_DWORD /d 30

origins https://app.example.com 'https://[*.]example.org' https://x.test/path
e2e_wine 'C:\Program Files\qelt agent\qelt-agent.exe' -i >/dev/null 2>&1 || true
e2e_wine net start "$e2e_service_name" >/dev/null 2>&1 || fail "net start failed"
agent_answers() { http_request GET /mac && [ "$http_body" == "$expected_body" ]; }
wait_until 30 agent_answers || fail "the agent does not answer"

for f in "${old_files[@]}"; do [ ! -e "$install_dir/logs/$f" ] || check_failed "retention kept $f"; done
for f in "${kept_files[@]}"; do [ -e "$install_dir/logs/$f" ] || check_failed "retention deleted $f"; done
e2e_checks=$((e2e_checks + 1))
records=$(e2e_records_after "$log" 0)
for line in \
  'info|settings_watcher.cpp|qelt::settings_watcher::log_lines|origin policy (Group Policy): 2 origins may read the addresses: https://app.example.com, https://[*.]example.org' \
  'warning|settings_watcher.cpp|qelt::settings_watcher::log_lines|origin policy (Group Policy): ignored "https://x.test/path": has a path: an origin is scheme://host[:port] and nothing after it' \
  'info|settings_watcher.cpp|qelt::settings_watcher::log_lines|log retention: daily files older than 30 days are deleted (LogRetentionDays, Group Policy)' \
  "info|agent.cpp|qelt::{anonymous}::apply|log retention: deleted ${old_files[0]}, older than 30 days"; do
  expect_line "records at start" "$line" "$records"
done

# One request through curl: request METHOD PATH [curl header options...]; sets the
# answer's status, body and CORS headers as "status|allow-origin|vary|private-network|body".
answer() {
  local method=$1 path=$2
  shift 2
  local headers="$e2e_dir/h" body="$e2e_dir/b"
  in_ns curl -sS --max-time 10 -X "$method" -D "$headers" -o "$body" "$@" "http://127.0.0.1:$e2e_port$path" || true
  http_headers=$(tr -d '\r' <"$headers")
  printf '%s|%s|%s|%s|%s' "$(head -n 1 <<<"$http_headers" | awk '{print $2}')" \
    "$(http_header Access-Control-Allow-Origin)" "$(http_header Vary)" \
    "$(http_header Access-Control-Allow-Private-Network)" "$(cat "$body")"
}
refused='403||Origin||{"data":"error status: 403","success":false}'
mark=$(e2e_line_count "$log")
expect_eq "GET /mac from an allowed origin" "200|https://app.example.com|Origin||$expected_body" \
  "$(answer GET /mac -H 'Origin: https://app.example.com')"
expect_eq "GET / from a subdomain" "200|https://a.b.example.org|Origin||$expected_body" \
  "$(answer GET / -H 'Origin: https://a.b.example.org')"
expect_eq "OPTIONS /mac from an allowed origin" "200|https://app.example.com|Origin|true|" \
  "$(answer OPTIONS /mac -H 'Origin: https://app.example.com' -H 'Access-Control-Request-Method: GET')"
expect_eq "GET /macp with an allowed Referer" "200||||macCallback($expected_body)" \
  "$(answer GET /macp -H 'Referer: https://app.example.com/page')"
expect_eq "GET /mac without an origin (a program)" "200||||$expected_body" "$(answer GET /mac)"
expect_eq "GET /mac to localhost. (final dot)" "200||||$expected_body" \
  "$(answer GET /mac -H "Host: LocalHost.:$e2e_port")"
expect_eq "GET /mac from another origin" "$refused" "$(answer GET /mac -H 'Origin: https://evil.test')"
expect_eq "GET /mac with a suffix trick" "$refused" "$(answer GET /mac -H 'Origin: https://app.example.com.evil.test')"
expect_eq "GET /mac from Origin: null" "$refused" "$(answer GET /mac -H 'Origin: null')"
expect_eq "OPTIONS / from another origin" "$refused" "$(answer OPTIONS / -H 'Origin: http://app.example.com')"
expect_eq "GET /macp with a foreign Referer" "$refused" "$(answer GET /macp -H 'Referer: https://evil.test/')"
expect_eq "GET /macp without a Referer" "$refused" "$(answer GET /macp)"
expect_eq "GET /mac through a foreign Host" "$refused" \
  "$(answer GET /mac -H 'Origin: https://app.example.com' -H "Host: rebound.evil.test:$e2e_port")"
refusals=$(e2e_records_after "$log" "$mark" | grep -c '^warning|http_server.cpp|qelt::http_server::refuse|request refused by the origin policy: ' || true)
expect_eq "one warning record a refusal" 7 "$refusals"
expect_line "the refused Host in the log" \
  "warning|http_server.cpp|qelt::http_server::refuse|request refused by the origin policy: /mac, Host rebound.evil.test:$e2e_port" \
  "$(e2e_records_after "$log" "$mark")"

# Changes take effect without a restart.
allowed_now() { [ "$(answer GET /mac -H "Origin: $1" | cut -d'|' -f1)" == "$2" ]; }
reg add "$policy\\AllowedOrigins" /v 4 /t REG_SZ /d https://new.example.net
wait_until 5 allowed_now https://new.example.net 200 || check_failed "an added origin is not allowed within 5 s"
origins
wait_until 5 allowed_now https://app.example.com 403 || check_failed "an empty list does not refuse within 5 s"
expect_eq "an empty list still answers programs" "200||||$expected_body" "$(answer GET /mac)"
expect_line "the empty list in the log" \
  'warning|settings_watcher.cpp|qelt::settings_watcher::log_lines|origin policy (Group Policy): no valid origin is listed: no web page may read the addresses' \
  "$(e2e_records_after "$log" "$mark")"

# The installation's list decides while Group Policy says nothing; RestrictOrigins = 0 overrides it.
e2e_wine reg delete "$policy" /reg:64 /f >/dev/null 2>&1 || fail "reg delete $policy"
reg add "$installed" /v AllowedOrigins /t REG_SZ /d 'https://installed.example.com  http://intranet.test:8080'
# Waiting on what only the installation's list answers: the empty list refused
# app.example.com already, and between the two keys no policy at all allows every site.
installed_in_force() { [ "$(answer GET /mac -H 'Origin: http://intranet.test:8080' | cut -d'|' -f1,2)" == "200|http://intranet.test:8080" ]; }
wait_until 5 installed_in_force || check_failed "the installation's list is not in force within 5 s"
expect_eq "GET /mac from an origin the installation lists" \
  "200|http://intranet.test:8080|Origin||$expected_body" "$(answer GET /mac -H 'Origin: http://intranet.test:8080')"
expect_eq "GET /mac from an origin the installation does not list" "$refused" \
  "$(answer GET /mac -H 'Origin: https://app.example.com')"
reg add "$policy" /v RestrictOrigins /t REG_DWORD /d 0
lifted() { [ "$(answer GET /mac -H 'Origin: https://app.example.com' | cut -d'|' -f1,2)" == "200|*" ]; }
wait_until 5 lifted || check_failed "RestrictOrigins = 0 does not lift the restriction"
expect_eq "GET /mac with RestrictOrigins = 0" "200|*|||$expected_body" "$(answer GET /mac -H 'Origin: https://evil.test')"

e2e_wine net stop "$e2e_service_name" >/dev/null 2>&1 || check_failed "net stop failed"
expect_eq "malformed records" "" "$(e2e_records_after "$log" 0 | grep '^MALFORMED' || true)"
[ "$e2e_failures" -eq 0 ] || { echo "# $log (end):"; tail -n 25 "$log"; }
e2e_summary
