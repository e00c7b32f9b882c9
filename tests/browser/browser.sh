#!/usr/bin/env bash
# Browser end-to-end test: examples/mac-address.html and the client module in one
# browser, Debian's Chromium or Firefox ESR, served from other loopback origins over
# http and https, against the agent, then (Windows build) with an origin policy set in
# the registry while it runs; everything runs in a network namespace of its own
# (tests/e2e/lib.sh) whose two veth adapters give a known MAC list.
#
#   browser.sh chromium|firefox AGENT_EXE            the Windows build, installed and
#                                                    started as a service under Wine
#   browser.sh chromium|firefox --native QELT_HOST   the native endpoint (quick, for
#                                                    working on the page)
#
# The browser cases are in drive.py. Exit status: 0 passed, 1 failed,
# 77 skipped (the browser cannot start here, or not root).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib.sh
source "$root/tests/e2e/lib.sh"

engine=${1:-}
case "$engine" in
  chromium) browser=${CHROMIUM:-chromium} ;;
  firefox) browser=${FIREFOX:-firefox-esr} ;;
  *) echo "usage: $0 chromium|firefox [--native] AGENT" >&2; exit 2 ;;
esac
shift
native=0
if [ "${1:-}" = --native ]; then native=1; shift; fi
[ $# -eq 1 ] || { echo "usage: $0 chromium|firefox [--native] AGENT" >&2; exit 2; }
[ -f "$1" ] || { echo "browser.sh: no agent at $1" >&2; exit 1; }
agent=$(realpath "$1")

python=${PYTHON:-python3}
if ! command -v "$browser" >/dev/null; then
  echo "browser: SKIPPED: no $browser on this machine (scripts/install-deps installs it)"
  exit "$e2e_skip"
fi

e2e_begin "browser-$engine"
e2e_require_tools "$python" tail openssl
# The version it is, at the start of its log.
e2e_log "$("$browser" --version 2>/dev/null | head -n 1)"

# Two adapters: both ends of a veth pair, up, with addresses of our own.
e2e_veth qbr-a qbr-b
e2e_link qbr-a address 02:51:45:4c:54:0a
e2e_link qbr-b address 02:51:45:4c:54:0b
e2e_link qbr-a up
e2e_link qbr-b up
expected=$(e2e_expected_macs "$e2e_ns" | paste -sd, -)
expect_eq "two adapters to report" 2 "$(tr , '\n' <<<"$expected" | wc -l)" || e2e_summary

if [ "$native" = 1 ]; then
  # qelt-host serves until a line arrives on its standard input (a FIFO it holds open).
  agent_dir="$e2e_dir/host"
  mkdir -p "$agent_dir"
  mkfifo "$agent_dir/in"
  ip netns exec "$e2e_ns" "$agent" "$e2e_port" "$agent_dir/logs" <>"$agent_dir/in" >"$agent_dir/out" 2>&1 &
  agent_pid=$!
  e2e_pids+=("$agent_pid")
  stop_command="echo stop > '$agent_dir/in'"
  driver_env=(env)
  # No registry to set a policy in.
  policy_options=()
else
  agent_dir="$e2e_dir/agent"
  mkdir -p "$agent_dir"
  cp "$agent" "$agent_dir/qelt-agent.exe"
  e2e_prefix_boot
  # Exit code 1 whether or not it installed: net start tells.
  e2e_wine "$agent_dir/qelt-agent.exe" -i >/dev/null || true
  e2e_wine net start "$e2e_service_name" >/dev/null || fail "net start \"$e2e_service_name\" failed"
  agent_pid=$(e2e_ns_processes qelt-agent.exe)
  [ "$(wc -w <<<"$agent_pid")" = 1 ] || fail "expected one qelt-agent.exe process, found: $agent_pid"
  stop_command="'$e2e_wine_launcher' net stop '$e2e_service_name' >/dev/null"
  # The driver stops the service with Wine's net, in this prefix.
  driver_env=(env WINEPREFIX="$e2e_prefix")
  # The driver sets the origin policy (allowing the origins in "$@") and removes it, in
  # this prefix. The list first: RestrictOrigins alone would allow no site for a moment.
  export -f e2e_wine e2e_wine_command
  export e2e_ns e2e_prefix e2e_wine_launcher
  key='HKLM\SOFTWARE\Policies\qelt'
  policy_options=(
    --allow-only "set -eo pipefail; n=0
      for origin; do n=\$((n + 1))
        e2e_wine reg add '$key\agent\AllowedOrigins' /v \$n /t REG_SZ /d \"\$origin\" /reg:64 /f >/dev/null
      done
      e2e_wine reg add '$key\agent' /v RestrictOrigins /t REG_DWORD /d 1 /reg:64 /f >/dev/null"
    --lift-policy "set -eo pipefail; e2e_wine reg delete '$key' /f /reg:64 >/dev/null")
fi
# shellcheck disable=SC2317  # called through wait_until
agent_answers() { http_request GET /mac && [ "$http_code" = 0 ] && [ "$http_status" = 200 ]; }
wait_until 60 agent_answers || fail "the agent does not answer on port $e2e_port"
e2e_log "agent answers $http_body; expected [$expected]"

# Stopped means ended: until the process ends it still answers on connections the
# browser keeps alive (the service reports itself stopped before its endpoint has
# ended, so net stop returns early).
stop_agent="$stop_command && timeout 30 tail --pid=$agent_pid -f /dev/null"

# In the background, so that a signal reaches the cleanup at once; the driver
# closes its browser on TERM.
ip netns exec "$e2e_ns" "${driver_env[@]}" \
  "$python" "$here/drive.py" --root "$root" --agent "http://127.0.0.1:$e2e_port" \
  --expect "$expected" --stop-agent "$stop_agent" --work "$e2e_dir" --browser "$engine" --binary "$browser" \
  "${policy_options[@]}" &
driver_pid=$!
e2e_pids+=("$driver_pid")
result=0
wait "$driver_pid" || result=$?
# Reaped: its pid may be reused, so the cleanup must not signal it any more.
e2e_pids=("${e2e_pids[@]:0:${#e2e_pids[@]}-1}")
[ "$result" -eq "$e2e_skip" ] && exit "$e2e_skip"
e2e_checks=$((e2e_checks + 1))
[ "$result" -eq 0 ] || check_failed "the browser cases (above)"

# The one preflight the browser got (the custom-header case) came from this agent.
expect_eq "preflight requests in the agent's log" 1 \
  "$(cat "$agent_dir"/logs/*.log | grep -c 'mac addres options request: /mac' || true)"
# Under the policy: each refused fetch, JSONP and probe of the pages on other.test and
# the public page named its site; the bare script of the https page on allowed.test
# named none. Nothing from allowed.test otherwise. Ports vary: cut off.
if [ "${#policy_options[@]}" -ne 0 ]; then
  expect_eq "the kinds of refusal in the agent's log" "/mac, Origin http://other.test
/mac, Origin https://other.test
/mac, Origin https://public.test
/mac, Referer http://other.test
/mac, Referer https://other.test
/mac, Referer https://public.test
/macp, Referer http://other.test
/macp, Referer https://other.test
/macp, Referer https://public.test
/macp, no Origin or Referer" "$(cat "$agent_dir"/logs/*.log | tr -d '\r' |
    sed -nE 's|.*\[warning\] .* request refused by the origin policy: (.*)$|\1|p' |
    sed -E 's|:[0-9]+/?$||' | LC_ALL=C sort -u)"
fi
if [ "$e2e_failures" -ne 0 ]; then
  for log in "$agent_dir"/logs/*.log; do
    [ -f "$log" ] && { echo "# $log (end):"; tail -n 20 "$log"; }
  done
fi
e2e_summary
