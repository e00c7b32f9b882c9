#!/usr/bin/env bash
# The .deb and the .rpm on a real systemd: Debian 12 containers booted with
# systemd-nspawn, in the test's own network namespace (port 17654 free, no adapter).
#
#   linux_packages.sh DEB DEB_NEXT RPM
#
# DEB_NEXT is the same agent packaged under version N+1. The containers' root
# (scripts/container-root, made once per machine) is booted read-only with a tmpfs
# overlay (--volatile=overlay): every container starts fresh, and nothing is unpacked
# per run.
source "$(dirname "$0")/lib.sh"

[ $# -eq 3 ] || { echo "usage: $0 DEB DEB_NEXT RPM" >&2; exit 2; }
deb=$(realpath "$1") deb_next=$(realpath "$2") rpm=$(realpath "$3")

e2e_begin linux_packages
e2e_require_tools systemd-nspawn mmdebstrap nsenter flock lintian rpmlint
for f in "$deb" "$deb_next" "$rpm"; do [ -f "$f" ] || fail "no package $f"; done
readonly unit=qelt-agent.service
readonly policies=/etc/qelt/agent/policies
# The journal's MESSAGE_IDs of the events "started" (1) and "stopped" (2).
readonly started_id=882cfafe0d114fb3813720bfefb47f66 stopped_id=f175d6bce83342b3a4c5923062c9191a

# ---- the containers' root ---------------------------------------------------------

# Made once per machine (scripts/install-deps runs it); made here if it is missing.
root_dir=$(bash "$(dirname "$0")/../../scripts/container-root") || fail "no containers' root"

# ---- one container at a time ----------------------------------------------------------

ct_pid="" ct_leader=""

# Boots a fresh container; the packages are in /packages inside.
ct_boot() {
  local name="qelt-e2e-$$-$1"
  systemd-nspawn --quiet --directory="$root_dir" --volatile=overlay --boot --register=no --keep-unit \
    --network-namespace-path="/run/netns/$e2e_ns" --machine="$name" --timezone=off --console=pipe \
    --bind-ro="$e2e_dir/packages:/packages" </dev/null >"$e2e_dir/nspawn-$1.log" 2>&1 &
  ct_pid=$!
  e2e_pids+=("$ct_pid")
  # The container's systemd is the child of systemd-nspawn.
  wait_until 20 ct_find_leader || fail "the container did not start: $(cat "$e2e_dir/nspawn-$1.log")"
  wait_until 20 ct_running || fail "the container's systemd is not running: $(ct systemctl is-system-running)"
}
ct_find_leader() { ct_leader=$(pgrep -P "$ct_pid" -x systemd) && [ -n "$ct_leader" ]; }
ct_running() { [ "$(ct systemctl is-system-running 2>/dev/null)" = running ]; }

# Runs a command in the container, as root, with the container's own environment.
ct() { nsenter -t "$ct_leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

ct_poweroff() {
  ct systemctl poweroff >/dev/null 2>&1 || true
  wait_until 20 ct_ended || fail "the container did not power off"
  wait "$ct_pid" 2>/dev/null || true
  ct_pid="" ct_leader=""
}
ct_ended() { ! kill -0 "$ct_pid" 2>/dev/null; }

# ---- the agent in the container -----------------------------------------------------------

main_pid() { ct systemctl show -p MainPID --value "$unit"; }
is_active() { [ "$(ct systemctl is-active "$unit")" = active ]; }
answers() {
  http_request GET /mac
  [ "$http_code" -eq 0 ] && [ "$http_status" = 200 ]
}
serving() { is_active && answers; }
# GET /mac from a page of the origin $1; sets what http_request sets.
from_origin() { http_request GET /mac -H "Origin: $1"; }
status_from() { from_origin "$1" && [ "$http_status" = "$2" ]; }
# Waits (5 s, as the settings files promise) until origin $1 gets status $2.
expect_status_within_5s() {
  local what=$1 origin=$2 status=$3
  e2e_checks=$((e2e_checks + 1))
  wait_until 5 status_from "$origin" "$status" && return 0
  check_failed "$what: $origin got $http_status, expected $status within 5 s"
}
# Writes a settings file as an administrator would: into its place in one step.
put_settings() { ct sh -c "cat >$policies/.$1.tmp && mv $policies/.$1.tmp $policies/$1"; }

# How many events with MESSAGE_ID $1 the agent has sent to the journal.
events() { ct journalctl -q --no-pager -o cat SYSLOG_IDENTIFIER=qelt-agent "MESSAGE_ID=$1" | wc -l; }
has_events() { [ "$(events "$1")" -ge "$2" ]; }
expect_event() {
  local what=$1 id=$2 count=$3
  e2e_checks=$((e2e_checks + 1))
  wait_until 5 has_events "$id" "$count" && return 0
  check_failed "$what: $(events "$id") journal entries with MESSAGE_ID=$id, expected $count"
}

# Today's log file in the container (its local date, as the agent names it).
log_file() { echo "/var/log/qelt-agent/qelt_$(ct date +%F).log"; }
# The journal's messages of the unit at exactly priority $1 (3 error, 4 warning, 6 info).
journal_at() { ct journalctl -q -u "$unit" -p "$1..$1" -o cat --no-pager; }
expect_contains() {
  local what=$1 needle=$2 text=$3
  e2e_checks=$((e2e_checks + 1))
  grep -qF -- "$needle" <<<"$text" && return 0
  check_failed "$what: no \"$needle\" in:"
  printf '    %s\n' "${text//$'\n'/$'\n'    }" | tail -n 20 >&2
}
expect_lacks() {
  local what=$1 needle=$2 text=$3
  e2e_checks=$((e2e_checks + 1))
  grep -qF -- "$needle" <<<"$text" || return 0
  check_failed "$what: \"$needle\" should not be there"
}

# ---- the .deb ----------------------------------------------------------------------------

# lintian and rpmlint beside the containers: no errors, except the rpm's missing signature
# (an archive's key signs, not the build).
{ lintian --fail-on error "$deb"; rpmlint "$rpm"; } >"$e2e_dir/lint.log" 2>&1 &
lint_pid=$!
e2e_pids+=("$lint_pid")
mkdir -p "$e2e_dir/packages"
cp "$deb" "$deb_next" "$rpm" "$e2e_dir/packages/"
deb_name=$(basename "$deb") deb_next_name=$(basename "$deb_next") rpm_name=$(basename "$rpm")

ct_boot deb
booted=$SECONDS
e2e_log "container booted; installing $deb_name"
ct dpkg -i "/packages/$deb_name" >"$e2e_dir/dpkg.log" 2>&1 || fail "dpkg -i failed: $(cat "$e2e_dir/dpkg.log")"
expect_eq "enabled on installation" enabled "$(ct systemctl is-enabled "$unit")"
expect_eq "the settings folder, empty" 0 "$(ct sh -c "test -d $policies && ls -A $policies | wc -l")"
wait_until 10 serving || fail "not serving after installation: $(ct systemctl status --no-pager "$unit" 2>&1 | tail -n 20)"
expect_eq "GET /mac in a namespace without adapters" "$(e2e_mac_body "")" "$http_body"
expect_event "the start event" "$started_id" 1
pid=$(main_pid)
expect_eq "runs as a user other than root" 1 "$(ct awk '/^Uid:/ {print ($2 != 0)}' "/proc/$pid/status")"

ct systemd-analyze security --no-pager "$unit" >"$e2e_dir/security.log" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' "$e2e_dir/security.log")
e2e_log "systemd-analyze security: exposure $exposure; what it still finds:"
grep '✗' "$e2e_dir/security.log" | sed 's/  */ /g; s/^/    /' >&2 || true
expect_eq "exposure at most 1.5 ($exposure)" 1 "$(awk -v e="${exposure:-99}" 'BEGIN {print (e <= 1.5)}')"

# The settings files: a restriction, a broken file (restricted to none), both removed.
put_settings 10-origins.json <<<'{"RestrictOrigins": 1, "AllowedOrigins": ["https://app.example.test"]}'
expect_status_within_5s "a settings file restricts" https://other.example.test 403
expect_status_within_5s "the allowed site reads" https://app.example.test 200
expect_eq "the allowed site's CORS header" https://app.example.test "$(http_header Access-Control-Allow-Origin)"
put_settings 20-broken.json <<<'{"RestrictOrigins": 1,'
expect_status_within_5s "a broken file restricts to none" https://app.example.test 403
ct rm "$policies/10-origins.json" "$policies/20-broken.json"
expect_status_within_5s "removing them lifts the restriction" https://other.example.test 200
expect_eq "unrestricted CORS header" "*" "$(http_header Access-Control-Allow-Origin)"

# The records: the day's file, and the journal with each record's priority.
log=$(ct cat "$(log_file)" 2>&1)
expect_contains "the log file" "server start succeed" "$log"
expect_contains "the log file" "request refused by the origin policy: /mac, Origin https://other.example.test" "$log"
expect_contains "the journal at info" "mac addres request: /mac" "$(journal_at 6)"
expect_contains "the journal at warning" "request refused by the origin policy" "$(journal_at 4)"
expect_lacks "the journal at warning" "mac addres request" "$(journal_at 4)"
expect_contains "the journal at error" "20-broken.json" "$(journal_at 3)"

# Stop within 1 s, then started again; a crash is recovered from (RestartSec=5s).
stop_started=$EPOCHREALTIME
ct systemctl stop "$unit"
stop_took=$(awk -v a="$stop_started" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.2f", b - a}')
e2e_log "systemctl stop took $stop_took s"
expect_eq "systemctl stop within 1 s ($stop_took s)" 1 "$(awk -v t="$stop_took" 'BEGIN {print (t < 1)}')"
expect_eq "stopped" inactive "$(ct systemctl is-active "$unit")"
expect_event "the stop event" "$stopped_id" 1
ct systemctl start "$unit"
wait_until 10 serving || fail "not serving after a start"
pid=$(main_pid)
ct systemctl kill -s SEGV --kill-who=main "$unit"
e2e_checks=$((e2e_checks + 1))
restarted() { local now; now=$(main_pid) && [ "$now" != 0 ] && [ "$now" != "$pid" ] && serving; }
wait_until 10 restarted || check_failed "not running again within 10 s of a SIGSEGV: $(ct systemctl status --no-pager "$unit" 2>&1 | tail -n 5)"

# An upgrade to N+1 that an administrator disabled first: it keeps the settings files and
# the logs, restarts the running agent, and leaves it disabled. A mask survives one too.
put_settings 10-origins.json <<<'{"RestrictOrigins": 1, "AllowedOrigins": ["https://app.example.test"]}'
expect_status_within_5s "restricted before the upgrade" https://other.example.test 403
ct systemctl disable "$unit" 2>/dev/null
log_lines=$(ct sh -c "wc -l <$(log_file)")
pid=$(main_pid)
ct dpkg -i "/packages/$deb_next_name" >"$e2e_dir/dpkg.log" 2>&1 || fail "the upgrade failed: $(cat "$e2e_dir/dpkg.log")"
expect_eq "the upgrade installed N+1" "$(dpkg-deb -f "$deb_next" Version)" "$(ct dpkg-query -W -f='${Version}' qelt-agent)"
expect_eq "disabled after the upgrade" disabled "$(ct systemctl is-enabled "$unit")"
e2e_checks=$((e2e_checks + 1))
wait_until 10 restarted || check_failed "the upgrade did not restart the agent (MainPID $pid before, $(main_pid) after)"
expect_eq "the settings file kept" 1 "$(ct sh -c "test -f $policies/10-origins.json && echo 1")"
expect_status_within_5s "still restricted after the upgrade" https://other.example.test 403
e2e_checks=$((e2e_checks + 1))
[ "$(ct sh -c "wc -l <$(log_file)")" -gt "$log_lines" ] || check_failed "the log was not kept across the upgrade"
ct systemctl mask "$unit" 2>/dev/null
ct dpkg -i "/packages/$deb_next_name" >"$e2e_dir/dpkg.log" 2>&1 || fail "the reinstallation failed: $(cat "$e2e_dir/dpkg.log")"
expect_eq "masked after an upgrade" masked "$(ct systemctl is-enabled "$unit")"
ct systemctl unmask "$unit" 2>/dev/null

# Removal stops it and keeps the administrator's files; purge leaves no unit state.
ct systemctl start "$unit"
wait_until 10 serving || fail "not serving before the removal"
ct dpkg -r qelt-agent >"$e2e_dir/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$e2e_dir/dpkg.log")"
expect_eq "stopped by the removal" inactive "$(ct systemctl is-active "$unit")"
e2e_checks=$((e2e_checks + 1))
e2e_port_refused || check_failed "the port still answers after the removal"
expect_eq "the program removed" "" "$(ct sh -c 'ls /usr/sbin/qelt-agent 2>/dev/null')"
expect_eq "the settings file kept by the removal" 1 "$(ct sh -c "test -f $policies/10-origins.json && echo 1")"
ct dpkg -P qelt-agent >"$e2e_dir/dpkg.log" 2>&1 || fail "dpkg -P failed: $(cat "$e2e_dir/dpkg.log")"
expect_eq "no unit state after purge" "" \
  "$(ct sh -c 'find /etc/systemd /var/lib/systemd -name "qelt-agent*" 2>/dev/null')"
e2e_checks=$((e2e_checks + 1))
ct systemctl is-enabled "$unit" >/dev/null 2>&1 && check_failed "systemctl is-enabled still knows the unit after purge"
ct_poweroff
e2e_log "the .deb's part took $((SECONDS - booted)) s"

# ---- the .rpm ---------------------------------------------------------------------------

ct_boot rpm
booted=$SECONDS
ct rpm -i --nodeps "/packages/$rpm_name" >"$e2e_dir/rpm.log" 2>&1 || fail "rpm -i failed: $(cat "$e2e_dir/rpm.log")"
# %post presets the unit (no preset file: enabled) and reloads systemd; as on Fedora,
# nothing starts it.
expect_eq "the rpm's %post enabled it" enabled "$(ct systemctl is-enabled "$unit")"
expect_eq "nothing started it" inactive "$(ct systemctl is-active "$unit")"
ct systemctl start "$unit"
wait_until 10 serving || fail "the rpm's agent is not serving: $(ct systemctl status --no-pager "$unit" 2>&1 | tail -n 20)"
ct rpm -e qelt-agent >"$e2e_dir/rpm.log" 2>&1 || fail "rpm -e failed: $(cat "$e2e_dir/rpm.log")"
expect_eq "stopped by rpm -e" inactive "$(ct systemctl is-active "$unit")"
e2e_checks=$((e2e_checks + 1))
e2e_port_refused || check_failed "the port still answers after rpm -e"
expect_eq "rpm -e removed the files" "" "$(ct sh -c 'ls /usr/sbin/qelt-agent /usr/lib/systemd/system/qelt-agent.service 2>/dev/null')"
expect_eq "rpm -e disabled it" "" "$(ct sh -c 'find /etc/systemd -name "qelt-agent*"')"
ct_poweroff
e2e_log "the .rpm's part took $((SECONDS - booted)) s"

wait "$lint_pid" || true
expect_eq "lintian's and rpmlint's errors" "" "$(grep -E '^E: |: E: ' "$e2e_dir/lint.log" | grep -v ': E: no-signature$' || true)"

e2e_summary
