#!/usr/bin/env bash
# shellcheck disable=SC2317  # cleanup and the helpers it calls run from the EXIT trap
# Browser end-to-end test: examples/mac-address.html in Debian's Chromium, served
# from another loopback origin, against the agent; everything runs in a network
# namespace of its own whose two veth adapters give a known MAC list.
#
#   browser.sh AGENT_EXE            the Windows build, installed and started as a
#                                   service under Wine in a prefix of its own
#   browser.sh --native QELT_HOST   the native endpoint (quick, for working on the page)
#
# The cases themselves are in drive.py. Exit status: 0 passed, 1 failed,
# 77 skipped (Chromium cannot start on this machine).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
skip=77
port=17654
service="qelt agent service"

native=0
if [ "${1:-}" = --native ]; then native=1; shift; fi
[ $# -eq 1 ] || { echo "usage: $0 [--native] AGENT" >&2; exit 2; }
agent=$(realpath "$1")
[ -f "$agent" ] || { echo "browser.sh: no agent at $1" >&2; exit 1; }

chromium=${CHROMIUM:-chromium}
python=${PYTHON:-python3}
if ! command -v "$chromium" >/dev/null; then
  echo "SKIP: no $chromium on this machine (scripts/install-deps installs it)"
  exit "$skip"
fi
[ "$(id -u)" -eq 0 ] || { echo "browser.sh: needs root for its network namespace" >&2; exit 1; }

work=$(mktemp -d /tmp/qelt-browser.XXXXXX)
ns=qelt-browser-$$
host_pid=""
keep_pid=""
driver_pid=""
export WINEDEBUG=-all WINEPREFIX="$work/prefix"

# Polls a command until it succeeds or the deadline (seconds) passes.
wait_for() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "browser.sh: $what: not within ${seconds} s" >&2
      return 1
    fi
    sleep 0.1
  done
}

gone() { ! kill -0 "$1" 2>/dev/null; }

# For commands in the foreground only: a background job started through a function is
# a subshell, and its $! would not be the process itself.
in_ns() { ip netns exec "$ns" "$@"; }

cleanup() {
  local status=$?
  set +e
  if [ -n "$driver_pid" ]; then
    # The driver closes its browser on TERM.
    kill -TERM "$driver_pid" 2>/dev/null
    wait_for "the browser driver to end" 15 gone "$driver_pid" || kill -KILL "$driver_pid"
    wait "$driver_pid" 2>/dev/null
  fi
  if [ -n "$host_pid" ]; then
    echo stop >"$work/host.in"
    wait_for "qelt-host to end" 10 gone "$host_pid" || kill -KILL "$host_pid"
    wait "$host_pid" 2>/dev/null
  fi
  if [ -d "$WINEPREFIX" ]; then
    # Ending the keep-alive lets Wine end the service; -k ends whatever is left in this prefix.
    [ -n "$keep_pid" ] && echo >"$work/keep.in"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    [ -n "$keep_pid" ] && wait "$keep_pid" 2>/dev/null
  fi
  if ip netns list | grep -qw "$ns"; then
    local left
    left=$(ip netns pids "$ns")
    # shellcheck disable=SC2086  # one pid a word
    [ -n "$left" ] && kill -KILL $left 2>/dev/null
    ip netns del "$ns"
  fi
  if [ "$status" -ne 0 ] && [ "$status" -ne "$skip" ]; then
    for log in "$work"/agent/logs/*.log "$work"/logs/*.log "$work/host.out"; do
      [ -f "$log" ] && { echo "# $log (end):"; tail -n 20 "$log"; }
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The namespace: loopback, and a veth pair whose two ends are the adapters the agent reports.
ip netns add "$ns"
in_ns ip link set lo up
in_ns ip link add qbr-a type veth peer name qbr-b
in_ns ip link set qbr-a address 02:51:45:4c:54:0a
in_ns ip link set qbr-b address 02:51:45:4c:54:0b
in_ns ip link set qbr-a up
in_ns ip link set qbr-b up
# Both ends up, in interface-index order (the order Windows and Wine list adapters in).
expected=$(in_ns ip -o link show | awk '$2 ~ /^qbr-[ab][:@]/ { for (i = 1; i < NF; i++) if ($i == "link/ether") print toupper($(i + 1)) }' | paste -sd,)
[ "$(tr -cd , <<<"$expected")" = , ] || { echo "browser.sh: expected two adapters, got '$expected'" >&2; exit 1; }

agent_answers() { in_ns curl -sf --max-time 2 "http://127.0.0.1:$port/mac"; }

if [ "$native" = 1 ]; then
  # qelt-host serves until a line arrives on its standard input.
  mkfifo "$work/host.in"
  # shellcheck disable=SC2034  # held open, so qelt-host never reads end-of-file by itself
  exec {host_in}<>"$work/host.in"
  ip netns exec "$ns" "$agent" "$port" "$work/logs" <"$work/host.in" >"$work/host.out" 2>&1 &
  host_pid=$!
  # Stopped means ended: until then it still answers on connections the browser keeps alive.
  stop_agent="echo stop > '$work/host.in' && timeout 30 tail --pid=$host_pid -f /dev/null"
  agent_logs="$work/logs"
else
  mkdir -p "$work/agent"
  cp "$agent" "$work/agent/qelt-agent.exe"
  # The prefix's wineserver starts inside the namespace, so the agent sees its adapters.
  timeout 120 ip netns exec "$ns" wine wineboot -i >/dev/null 2>&1
  # A fresh prefix can keep two service managers after its first boot: start it once more.
  wineserver -k 2>/dev/null || true
  wineserver -w
  # Wine ends its services once no ordinary process is left: keep one until cleanup.
  mkfifo "$work/keep.in"
  # shellcheck disable=SC2034  # held open, so the keep-alive reads nothing until cleanup
  exec {keep_in}<>"$work/keep.in"
  ip netns exec "$ns" wine cmd.exe /c "set /p _=" <"$work/keep.in" >/dev/null 2>&1 &
  keep_pid=$!
  # Exit status 1 whether or not it installed: the service manager is asked below.
  timeout 120 ip netns exec "$ns" wine "$work/agent/qelt-agent.exe" -i >/dev/null 2>&1 || true
  timeout 120 ip netns exec "$ns" wine net start "$service"
  # The service process in the namespace (Wine runs it under its own Linux pid).
  agent_pid=""
  for pid in $(ip netns pids "$ns"); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'qelt-agent\.exe' && agent_pid=$pid
  done
  [ -n "$agent_pid" ] || { echo "browser.sh: no qelt-agent.exe process after net start" >&2; exit 1; }
  # net stop returns once the service reports itself stopped, which it does before its
  # endpoint has ended: connections the browser keeps alive are still answered until then.
  stop_agent="wine net stop '$service' && timeout 30 tail --pid=$agent_pid -f /dev/null"
  agent_logs="$work/agent/logs"
fi
wait_for "the agent answering on port $port" 60 agent_answers
echo "# agent answers $(agent_answers); expected [$expected]"

started=$SECONDS
# In the background so that a signal reaches the cleanup at once, not after the browser run.
ip netns exec "$ns" "$python" "$here/drive.py" --pages "$root/examples" --agent "http://127.0.0.1:$port" \
  --expect "$expected" --stop-agent "$stop_agent" --work "$work" --chromium "$chromium" &
driver_pid=$!
result=0
wait "$driver_pid" || result=$?
driver_pid=""
echo "# browser run: $((SECONDS - started)) s"
[ "$result" -eq "$skip" ] && exit "$skip"

# The one preflight the browser got (the custom-header case) came from this agent.
# The log file is named by the day, which may have changed during the run.
preflights=$(cat "$agent_logs"/*.log | grep -c 'mac addres options request: /mac' || true)
if [ "$preflights" != 1 ]; then
  echo "not ok - the agent's log shows $preflights preflight requests, expected 1" >&2
  result=1
fi
exit "$result"
