#!/usr/bin/env bash
# The Linux agent run as systemd runs it (Type=notify), in a network namespace of its own:
# while another program holds the port it says so to the journal and to systemd
# (READY=1 with STATUS=), listens once the port is free, and ends on SIGTERM with
# "server stopped" and STOPPING=1. Its console lines carry the journal's priorities when
# standard output is the stream $JOURNAL_STREAM names.
#   foreground.sh AGENT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../../e2e/lib.sh
source "$here/../../e2e/lib.sh"
[ $# -eq 1 ] || { echo "usage: $0 AGENT" >&2; exit 2; }
agent=$(realpath "$1")

e2e_begin foreground
e2e_require_tools python3 stat nsenter
mkdir -p "$e2e_dir/agent"
cp "$agent" "$e2e_dir/agent/qelt-agent"

# systemd's side of the notification socket: each datagram, then a line "--".
notify="qelt-e2e-foreground-$$"
in_ns python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0" + sys.argv[1])
with open(sys.argv[2], "a") as out:
    print("bound", file=out, flush=True)
    while True:
        print(s.recv(4096).decode() + "\n--", file=out, flush=True)
' "$notify" "$e2e_dir/notified" &
e2e_pids+=($!)
wait_until 10 grep -q bound "$e2e_dir/notified" || fail "the notification listener did not start"
notified() { grep -v '^bound$' "$e2e_dir/notified"; }

# Another program holds the port first, until something connects to it.
in_ns python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
print("held", flush=True)
s.accept()
' "$e2e_port" >"$e2e_dir/holder" &
e2e_pids+=($!)
wait_until 10 grep -q held "$e2e_dir/holder" || fail "could not hold the port"

: >"$e2e_dir/out"
journal_stream=$(stat -c '%d:%i' "$e2e_dir/out")
# nsenter runs the agent itself (ip netns exec would stand between it and the signal).
nsenter --net="/run/netns/$e2e_ns" env NOTIFY_SOCKET="@$notify" JOURNAL_STREAM="$journal_stream" \
  "$e2e_dir/agent/qelt-agent" >>"$e2e_dir/out" 2>&1 &
agent_pid=$!
e2e_pids+=("$agent_pid")

cannot="READY=1
STATUS=cannot listen on 127.0.0.1:$e2e_port: Address already in use (errno 98); trying again every few seconds
--"
# shellcheck disable=SC2317  # called through wait_until
said() { [ "$(notified)" == "$1" ]; }
wait_until 10 said "$cannot" || check_failed "systemd told the port is taken: $(notified)"

in_ns curl -s "http://127.0.0.1:$e2e_port/" >/dev/null || true
# shellcheck disable=SC2317
answers() { http_request GET /mac && [ "$http_status" = 200 ]; }
wait_until 20 answers || fail "the agent does not answer once the port is free"
expect_eq "the answer" '{"data":[],"success":true}' "$http_body"
wait_until 10 said "$cannot
READY=1
STATUS=listening on 127.0.0.1:$e2e_port
--" || check_failed "systemd told it listens: $(notified)"

kill -TERM "$agent_pid"
code=0
wait "$agent_pid" || code=$?
e2e_pids=("${e2e_pids[@]/$agent_pid/}")
expect_eq "exit code after SIGTERM" 0 "$code"
expect_eq "the last notification" "STOPPING=1" "$(notified | tail -n 2 | head -n 1)"

log=$(e2e_log_file "$e2e_dir/agent")
expect_eq "the last record" "server stopped" "$(tail -n 1 "$log" | sed 's/.*\] //')"
expect_eq "records end in LF alone" 0 "$(grep -c $'\r' "$log" || true)"
# The console: the same records, each with its level as the journal's priority.
out=$(cat "$e2e_dir/out")
expect_eq "console lines without a priority" "" "$(grep -v '^<[0-7]>\[' <<<"$out" || true)"
expect_line "the first record at info" "<6>$(head -n 1 "$log")" "$out"
expect_eq "the port's error record at priority 3" 1 "$(grep -c '^<3>.*cannot listen on 127.0.0.1' <<<"$out" || true)"
expect_line "the stop's record" "<6>$(grep 'stopping: SIGTERM received' "$log")" "$out"
e2e_summary
