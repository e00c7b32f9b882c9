# Sourced by the end-to-end scripts. Gives each test a network namespace and a
# Wine prefix of its own, and removes both, with every process started in them,
# on every way out of the script.
#
#   source lib.sh
#   e2e_begin adapters            # root check, namespace, temporary folder, cleanup trap
#   e2e_veth a b                  # a veth pair inside the namespace
#   e2e_prefix_boot               # a fresh prefix whose wineserver runs in the namespace
#   e2e_wine prog.exe args...     # a Windows program in the namespace (output without \r)
#   expect_eq "what" "expected" "actual"
#   e2e_summary                   # last line: prints the tally, exits 0 or 1
#
# Exit code 77 means skipped (not root: network namespaces need it).
# shellcheck shell=bash
# Variables set here are read by the scripts that source this file.
# shellcheck disable=SC2034

set -euo pipefail

readonly e2e_skip=77
# The project's Wine launcher (see there): the prefix given, quiet, no address-space randomisation.
readonly e2e_wine_launcher="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine"
readonly e2e_wine_prefix_maker="${e2e_wine_launcher%/wine}/wine-prefix"
readonly e2e_port=17654
readonly e2e_service_name="qelt agent service"

e2e_test=""
e2e_ns=""
e2e_dir=""
e2e_prefix=""
e2e_checks=0
e2e_failures=0
e2e_started=$SECONDS
# Processes this script started itself (listeners, the keep-alive's launcher).
e2e_pids=()

# ---- reporting -------------------------------------------------------------

e2e_log() { printf '%s: %s\n' "$e2e_test" "$*" >&2; }

# Records a failed check and carries on (so do the expect_ helpers).
check_failed() {
  e2e_failures=$((e2e_failures + 1))
  printf '%s: FAIL: %s\n' "$e2e_test" "$*" >&2
}

# Records a failed check and ends the test: later steps depend on this one.
fail() {
  check_failed "$@"
  exit 1
}

expect_eq() {
  local what=$1 expected=$2 actual=$3
  e2e_checks=$((e2e_checks + 1))
  [ "$expected" == "$actual" ] && return 0
  check_failed "$what"
  printf '  expected: %q\n  actual:   %q\n' "$expected" "$actual" >&2
}

# Passes when text holds line as one whole line.
expect_line() {
  local what=$1 line=$2 text=$3
  e2e_checks=$((e2e_checks + 1))
  grep -qxF -- "$line" <<<"$text" && return 0
  check_failed "$what"
  printf '  missing line: %q\n  in:\n    %s\n' "$line" "${text//$'\n'/$'\n'    }" >&2
}

e2e_summary() {
  local took=$((SECONDS - e2e_started))
  if [ "$e2e_failures" -eq 0 ]; then
    printf '%s: %d checks passed (%d s)\n' "$e2e_test" "$e2e_checks" "$took"
    exit 0
  fi
  printf '%s: %d of %d checks FAILED (%d s)\n' "$e2e_test" "$e2e_failures" "$e2e_checks" "$took"
  exit 1
}

# ---- polling -----------------------------------------------------------------

# Runs a command until it succeeds or the deadline (seconds) passes; 1 on timeout.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1 # poll interval
  done
}

# ---- setup and cleanup -------------------------------------------------------

e2e_require_tools() {
  local tool missing=()
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
  [ "${#missing[@]}" -eq 0 ] || fail "missing tools: ${missing[*]} (run scripts/install-deps)"
}

# Removes what an earlier run of this test left when it was killed without a
# chance to clean up (SIGKILL from a ctest timeout): namespaces and folders
# named after a process id that no longer exists.
e2e_sweep_stale() {
  local ns pid dir
  # The prefixes first, so that their wineservers end their own processes.
  local base="${TMPDIR:-/tmp}/qelt-e2e-$e2e_test-"
  for dir in "$base"*; do
    # Only this test's folders: <base><pid>.<random>, not those of a test whose name starts alike.
    [[ -d "$dir" && "${dir#"$base"}" =~ ^([0-9]+)\.[A-Za-z0-9]+$ ]] || continue
    pid=${BASH_REMATCH[1]}
    kill -0 "$pid" 2>/dev/null && continue
    if [ -d "$dir/prefix" ]; then WINEPREFIX="$dir/prefix" timeout 30 wineserver -k 2>/dev/null || true; fi
    rm -rf "$dir"
  done
  for ns in $(ip netns list | awk '{print $1}' | grep -E "^qelt-e2e-${e2e_test}-[0-9]+$" || true); do
    pid=${ns##*-}
    kill -0 "$pid" 2>/dev/null && continue
    e2e_log "removing namespace $ns of an ended run"
    e2e_end_namespace "$ns"
  done
}

# Ends every process still in the namespace, then deletes it.
e2e_end_namespace() {
  local ns=$1 pid
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  ip netns delete "$ns" 2>/dev/null || true
}

e2e_cleanup() {
  local status=$?
  set +e
  trap - EXIT INT TERM HUP
  # A signal's trap runs inside whatever redirection was active: report to the test's own output.
  exec 1>&"$e2e_stdout" 2>&"$e2e_stderr"
  local pid
  for pid in "${e2e_pids[@]}"; do kill "$pid" 2>/dev/null; done
  if [ -n "$e2e_prefix" ] && [ -d "$e2e_prefix" ]; then
    WINEPREFIX="$e2e_prefix" timeout 30 wineserver -k 2>/dev/null
    WINEPREFIX="$e2e_prefix" timeout 30 wineserver -w 2>/dev/null
  fi
  for pid in "${e2e_pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -n "$e2e_ns" ] && e2e_end_namespace "$e2e_ns"
  [ -n "$e2e_dir" ] && rm -rf "$e2e_dir"
  if [ "$status" -ne 0 ] && [ "$status" -ne "$e2e_skip" ] && [ "$e2e_failures" -eq 0 ]; then
    printf '%s: ended early with status %d\n' "$e2e_test" "$status" >&2
  fi
  exit "$status"
}

# The tools e2e_begin checks for; a native test that needs no Wine sets its own.
e2e_tools=(ip wine wineserver curl timeout awk)

# Sets the test up: name, root check, tools, namespace with loopback up,
# temporary folder, and the cleanup trap.
e2e_begin() {
  e2e_test=$1
  if [ "$(id -u)" -ne 0 ]; then
    echo "$e2e_test: SKIPPED: needs root for network namespaces (ip netns)" >&2
    exit "$e2e_skip"
  fi
  e2e_require_tools "${e2e_tools[@]}"
  exec {e2e_stdout}>&1 {e2e_stderr}>&2
  trap e2e_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  e2e_sweep_stale
  e2e_dir=$(mktemp -d "${TMPDIR:-/tmp}/qelt-e2e-$e2e_test-$$.XXXXXX")
  e2e_ns="qelt-e2e-$e2e_test-$$"
  ip netns add "$e2e_ns" || { e2e_ns=""; fail "cannot create network namespace"; }
  ip -n "$e2e_ns" link set lo up
}

# ---- the namespace -----------------------------------------------------------

# Runs a command inside the test's namespace.
in_ns() { ip netns exec "$e2e_ns" "$@"; }

# A veth pair inside the namespace; both ends stay there and both are adapters.
e2e_veth() { ip -n "$e2e_ns" link add "$1" type veth peer name "$2"; }

# e2e_link NAME address MAC | up | down
e2e_link() {
  local name=$1
  shift
  ip -n "$e2e_ns" link set "$name" "$@"
}

e2e_link_is_up() { [[ "$(ip -n "$e2e_ns" -o link show "$1")" == *" state UP "* ]]; }

# Waits until each named link is up with carrier, which follows a moment after
# both ends of a veth pair are switched on.
e2e_wait_links_up() {
  local link
  for link in "$@"; do
    wait_until 10 e2e_link_is_up "$link" ||
      fail "link $link did not come up: $(ip -n "$e2e_ns" -o link show "$link")"
  done
}

# e2e_expected_macs NS: the MAC addresses the agent must report in namespace NS, one a line, in
# interface-index order: Ethernet links that are up (switched on with carrier),
# without "virtual" in their name (any case), upper case, duplicates kept.
# Loopback is not Ethernet and drops out.
e2e_expected_macs() {
  local ns=$1
  ip -n "$ns" -o link show | awk '
    {
      index_number = $1 + 0
      name = $2; sub(/:$/, "", name); sub(/@.*/, "", name)
      state = ""; mac = ""
      for (i = 3; i < NF; i++) {
        if ($i == "state") state = $(i + 1)
        if ($i == "link/ether") mac = $(i + 1)
      }
      if (mac != "" && state == "UP" && tolower(name) !~ /virtual/)
        printf "%d %s\n", index_number, toupper(mac)
    }' | sort -n | awk '{print $2}'
}

# The body GET /mac answers with for a list of addresses (one a line).
e2e_mac_body() {
  local macs=$1 mac list=""
  while IFS= read -r mac; do
    [ -n "$mac" ] && list+="${list:+,}\"$mac\""
  done <<<"$macs"
  printf '{"data":[%s],"success":true}' "$list"
}

# ---- the Wine prefix ---------------------------------------------------------

# The command line that runs a program in the test's prefix, inside its namespace.
e2e_wine_command() {
  # Without address-space randomisation (scripts/wine says why); the prefix's
  # services, started from here, inherit it. A UTF-8 locale whatever the caller's:
  # Wine reads the command line's non-ASCII paths in it, and its ANSI code page stays 1252.
  e2e_wine_cmd=(ip netns exec "$e2e_ns" env LC_ALL=C.UTF-8 WINEPREFIX="$e2e_prefix" WINEDEBUG=-all
    "$e2e_wine_launcher")
}

# Runs a Windows program (or Wine tool) in the test's prefix and namespace;
# carriage returns are dropped from its output, its exit code is kept.
e2e_wine() {
  e2e_wine_command
  "${e2e_wine_cmd[@]}" "$@" | tr -d '\r'
}

# Live (not zombie) processes of the namespace whose name is $1.
e2e_ns_processes() {
  local pid
  for pid in $(ip netns pids "$e2e_ns"); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" == "$1" ] || continue
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" == "Z" ] && continue
    echo "$pid"
  done
}

# Makes a fresh prefix (scripts/wine-prefix: a copy of one booted once and shut down,
# since a first boot may leave two service managers answering from separate
# databases), starts it inside the namespace with a process kept alive in it (Wine
# ends its services once no ordinary process is left) and checks that exactly one
# service manager runs.
e2e_prefix_boot() {
  e2e_prefix="$e2e_dir/prefix"
  "$e2e_wine_prefix_maker" "$e2e_prefix" >"$e2e_dir/wineboot.log" 2>&1 ||
    fail "no Wine prefix: $(cat "$e2e_dir/wineboot.log")"
  e2e_keep_alive
  # net start (the list of running services) answers once the service manager is up.
  # Either program may be the one that starts it: both pass on the services' WINEDEBUG.
  e2e_wine_command
  "${e2e_wine_cmd[@]/#WINEDEBUG=*/WINEDEBUG=$e2e_service_debug}" net start >/dev/null \
    2>>"$e2e_dir/wine-debug.log" || fail "the service manager does not answer"
  local managers
  managers=$(e2e_ns_processes services.exe | wc -l)
  [ "$managers" -eq 1 ] || fail "$managers service managers run in the prefix, expected 1"
}

# WINEDEBUG of the prefix's service manager and of the services it starts, which
# inherit the keep-alive's standard error: $e2e_dir/wine-debug.log. Set it before
# e2e_prefix_boot, e.g. to -all,+eventlog to see the events a service reports.
e2e_service_debug=-all

# A console program that waits for a line on a FIFO which it holds open itself,
# so it never sees end of input; the cleanup ends it with the prefix. Being the
# prefix's first program, it starts the service manager.
e2e_keep_alive() {
  local fifo="$e2e_dir/keep-alive"
  mkfifo "$fifo"
  e2e_wine_command
  # Started directly (no function in between), so that $! is the program itself.
  "${e2e_wine_cmd[@]/#WINEDEBUG=*/WINEDEBUG=$e2e_service_debug}" cmd.exe /c "set /p line=" <>"$fifo" \
    >/dev/null 2>>"$e2e_dir/wine-debug.log" &
  e2e_pids+=("$!")
}

# The events services reported since line $1 of the debug log, one a line as
# "level|text" (Wine prints each insert of ReportEventW on its own line).
e2e_events_after() {
  tail -n "+$(($1 + 1))" "$e2e_dir/wine-debug.log" 2>/dev/null |
    sed -nE 's/^[0-9a-f]+:([a-z]+):eventlog:ReportEventW L"(.*)"\r?$/\1|\2/p'
}

# ---- the endpoint ------------------------------------------------------------

# Sends a request to the agent inside the namespace: http_request METHOD PATH [curl
# options...]. Sets http_code (curl's exit code), http_status, http_headers (header
# lines, no \r) and http_body.
http_request() {
  local method=$1 path=$2
  shift 2
  local headers="$e2e_dir/http-headers" body="$e2e_dir/http-body"
  : >"$headers"
  : >"$body"
  http_code=0
  in_ns curl -sS --max-time 10 -X "$method" -D "$headers" -o "$body" "$@" \
    "http://127.0.0.1:$e2e_port$path" 2>"$e2e_dir/curl-error" || http_code=$?
  http_headers=$(tr -d '\r' <"$headers")
  http_status=$(head -n 1 <<<"$http_headers" | awk '{print $2}')
  http_body=$(cat "$body")
}

# The values of a response header (case-insensitive name), one a line.
http_header() {
  grep -i "^$1:" <<<"$http_headers" | sed 's/^[^:]*:[[:space:]]*//' || true
}

# True when nothing listens on the agent's port inside the namespace.
e2e_port_refused() {
  local code=0
  in_ns curl -s --max-time 5 -o /dev/null "http://127.0.0.1:$e2e_port/mac" || code=$?
  [ "$code" -eq 7 ]
}

# ---- the agent's log ---------------------------------------------------------

# Today's log file of an agent installed in folder $1 (local date, as the agent names it).
e2e_log_file() { echo "$1/logs/qelt_$(date +%F).log"; }

e2e_line_count() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# The records after line $2 of log file $1, one a line as
# "level|file|function|message"; a line that is not a whole record (pattern,
# "\r\n" end) shows as "MALFORMED|<line>".
e2e_records_after() {
  local file=$1 skip=$2
  [ -f "$file" ] || return 0
  tail -n "+$((skip + 1))" "$file" | sed -E \
    -e 's/^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] \[([a-z]+)\] \[([^],]+), ([^]]+):[0-9]+\] (.*)\r$/\1|\2|\3|\4/' \
    -e t -e 's/\r/\\r/g' -e 's/^/MALFORMED|/'
}
