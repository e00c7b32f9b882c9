#!/usr/bin/env bash
# The MSI as an administrator meets it, silently through Wine's msiexec: version N
# installs and starts the service for automatic start, with the web sites allowed by
# ALLOWED_ORIGINS, its event source and its recovery; N+1 replaces it in place and
# keeps the day's log and the allowed sites; N over N+1 is refused and changes
# nothing; uninstalling removes the service and the exe and keeps the logs. One
# network namespace and Wine prefix.
#
#   msi.sh MSI_N MSI_N+1 SCM_CONTROL_EXE
source "$(dirname "$0")/lib.sh"

[ $# -eq 3 ] || { echo "usage: $0 MSI_N MSI_N+1 SCM_CONTROL_EXE" >&2; exit 2; }
msi_old=$(realpath "$1")
msi_new=$(realpath "$2")
scm_control=$(realpath "$3")

e2e_begin msi
e2e_require_tools msiinfo /usr/bin/python3
for f in "$msi_old" "$msi_new" "$scm_control"; do [ -f "$f" ] || fail "missing $f"; done

e2e_veth eth0 eth1
e2e_link eth0 address 00:0c:01:0a:0b:07
e2e_link eth1 address 02:5e:00:00:00:ab
e2e_link eth0 up
e2e_link eth1 up
e2e_wait_links_up eth0 eth1
expected_body=$(e2e_mac_body "$(e2e_expected_macs "$e2e_ns")")

e2e_prefix_boot

# The packages where an administrator would keep them.
mkdir -p "$e2e_prefix/drive_c/packages"
cp "$msi_old" "$msi_new" "$e2e_prefix/drive_c/packages/"
package() { echo "C:\\packages\\$(basename "$1")"; }
# ProductVersion and ProductCode of a package, from its Property table.
msi_property() { msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name {print $2}'; }
old_version=$(msi_property "$msi_old" ProductVersion)
new_version=$(msi_property "$msi_new" ProductVersion)

install_dir="$e2e_prefix/drive_c/Program Files/qelt agent"
installed_exe="$install_dir/qelt-agent.exe"
agent_path='C:\Program Files\qelt agent\qelt-agent.exe'
log=$(e2e_log_file "$install_dir")
services_key='HKLM\System\CurrentControlSet\Services'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# msiexec ACTION MSI [PROPERTY=VALUE...]: silently, with a verbose log; sets msi_status
# and msi_log. From a batch file, as an administrator's script runs it: Wine passes a
# property value with blanks through its command line only from there.
msiexec() {
  local action=$1 msi=$2 log_name
  shift 2
  log_name="$(basename "$msi" .msi)-${action#/}-$((++msi_runs))"
  printf 'msiexec %s "%s" /qn /l*v "C:\\packages\\%s.log" %s\r\nexit /b %%errorlevel%%\r\n' \
    "$action" "$(package "$msi")" "$log_name" "$*" >"$e2e_prefix/drive_c/packages/$log_name.bat"
  msi_status=0
  e2e_wine cmd /c "C:\\packages\\$log_name.bat" >"$e2e_dir/msiexec.out" 2>&1 || msi_status=$?
  msi_log=$(tr -d '\r' <"$e2e_prefix/drive_c/packages/$log_name.log" 2>/dev/null || true)
}
msi_runs=0

scm() {
  scm_status=0
  scm_output=$(e2e_wine "$scm_control" "$1" "$e2e_service_name" 2>&1) || scm_status=$?
}
# shellcheck disable=SC2317 # called through wait_until
service_running() { scm query && [[ "$scm_output" == "state=4 "* ]]; }

# One value of a registry key, as reg.exe prints it ("TYPE<tab>DATA" without the name).
reg_value() {
  e2e_wine reg query "$1" /v "$2" 2>/dev/null | awk -v name="$2" '$1 == name {$1 = ""; sub(/^ +/, ""); print}'
}

# The FileVersion string of the installed exe's VERSIONINFO.
file_version() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys, pefile
pe = pefile.PE(sys.argv[1])
strings = {k.decode(): v.decode() for fi in pe.FileInfo[0] if hasattr(fi, "StringTable")
           for table in fi.StringTable for k, v in table.entries.items()}
print(strings.get("FileVersion", ""))
EOF
}

agent_pids() { e2e_ns_processes qelt-agent.exe; }
# shellcheck disable=SC2317 # called through wait_until
agent_gone() { [ -z "$(agent_pids)" ]; }
presence() { if [ -e "$1" ]; then echo present; else echo absent; fi; }

expect_serving() {
  local when=$1
  wait_until 30 service_running || check_failed "the service is not running $when: $scm_output"
  expect_eq "agent processes $when" 1 "$(agent_pids | wc -l)"
  http_request GET /mac
  expect_eq "GET /mac $when: curl" 0 "$http_code"
  expect_eq "GET /mac $when: body" "$expected_body" "$http_body"
}

# ---- install N ------------------------------------------------------------------
allowed='https://app.example.com https://intranet.example.org'
e2e_log "installing $old_version"
msiexec /i "$msi_old" ALLOWED_ORIGINS=\"$allowed\"
[ "$msi_status" -eq 0 ] || fail "msiexec /i $old_version failed ($msi_status): $(tail -n 20 <<<"$msi_log")"
scm config
registration=$(grep -v '^binary_path=' <<<"$scm_output")
expect_eq "registration: own process, automatic start" "$(printf 'service_type=16\nstart_type=2')" "$registration"
# Windows Installer registers the path in quotes; Wine 8's msiexec writes it without
# (its service manager still starts it from the folder with a blank). Either is right here.
binary_path=$(sed -n 's/^binary_path=//p' <<<"$scm_output")
[ "$binary_path" == "\"$agent_path\"" ] && binary_path=$agent_path
expect_eq "registered path (quoted, or under Wine not)" "$agent_path" "$binary_path"
expect_eq "registered account" "REG_SZ LocalSystem" "$(reg_value "$services_key\\$e2e_service_name" ObjectName)"
expect_eq "registered error control" "REG_DWORD 0x1" "$(reg_value "$services_key\\$e2e_service_name" ErrorControl)"
expect_eq "installed exe's version" "$old_version" "$(file_version "$installed_exe")"
expect_eq "installed notices" present "$(presence "$install_dir/THIRD-PARTY-NOTICES.txt")"
expect_serving "after installing $old_version"
old_product=$(msi_property "$msi_old" ProductCode)
expect_eq "product registered for Programs and Features" "REG_SZ $old_version" \
  "$(reg_value "$uninstall_key\\$old_product" DisplayVersion)"
agent_key='HKLM\SOFTWARE\qelt\agent'
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\qelt agent'
expect_eq "ALLOWED_ORIGINS written" "REG_SZ $allowed" "$(reg_value "$agent_key" AllowedOrigins)"
# cors ORIGIN: the status and Access-Control-Allow-Origin of GET /mac from that origin.
cors() {
  in_ns curl -s --max-time 10 -D - -o /dev/null -H "Origin: $1" "http://127.0.0.1:$e2e_port/mac" | tr -d '\r' |
    awk 'NR == 1 {status = $2} tolower($1) == "access-control-allow-origin:" {origin = $2} END {print status, origin}'
}
expect_eq "an allowed site after installing" "200 https://intranet.example.org" "$(cors https://intranet.example.org)"
expect_eq "another site after installing" "403 " "$(cors https://evil.test)"
expect_eq "event source's messages" "REG_EXPAND_SZ $agent_path" "$(reg_value "$event_source" EventMessageFile)"
expect_eq "event source's types" "REG_DWORD 0x7" "$(reg_value "$event_source" TypesSupported)"
# Recovery through sc.exe (Wine's sc failure stores nothing: the install succeeding is
# what shows under Wine): deferred, not impersonated, its failure ignored (type 3186),
# between InstallServices and StartServices.
expect_line "the recovery action" "$(printf '%s\t%s\t%s\t%s\t' SetFailureActions 3186 SC_EXE \
  'failure "qelt agent service" reset= 86400 actions= restart/5000/restart/30000/restart/60000')" \
  "$(msiinfo export "$msi_old" CustomAction | tr -d '\r')"
expect_eq "the recovery action's place" "InstallServices SetFailureActions StartServices" \
  "$(msiinfo export "$msi_old" InstallExecuteSequence | tr -d '\r' | sort -t $'\t' -k3,3n |
    awk -F '\t' '$1 ~ /^(InstallServices|SetFailureActions|StartServices)$/ {printf "%s%s", sep, $1; sep = " "}')"
expect_line "the recovery action ran" "SetFailureActions. Return value 1." \
  "$(grep -oE 'SetFailureActions\. Return value [0-9]+\.' <<<"$msi_log" | tail -n 1)"
expect_line "the recovery action's sc.exe" "Property(S): SC_EXE = C:\\windows\\system32\\sc.exe" "$msi_log"

# ---- upgrade to N+1 -------------------------------------------------------------
[ -f "$log" ] || fail "no log file $log after the first start"
log_before=$(cat "$log")
mark=$(e2e_line_count "$log")
e2e_log "upgrading to $new_version"
msiexec /i "$msi_new"
expect_eq "msiexec /i $new_version over $old_version" 0 "$msi_status"
expect_eq "installed exe's version after the upgrade" "$new_version" "$(file_version "$installed_exe")"
expect_serving "after the upgrade"
scm config
expect_eq "registration after the upgrade" "$registration" "$(grep -v '^binary_path=' <<<"$scm_output")"
# Only one of the two products remains, and one service runs from the installed exe.
expect_eq "$old_version no longer registered" "" "$(reg_value "$uninstall_key\\$old_product" DisplayVersion)"
new_product=$(msi_property "$msi_new" ProductCode)
expect_eq "$new_version registered" "REG_SZ $new_version" "$(reg_value "$uninstall_key\\$new_product" DisplayVersion)"
expect_eq "services registered for qelt-agent.exe" 1 \
  "$(e2e_wine reg query "$services_key" /s 2>/dev/null | grep -ci 'ImagePath .*qelt-agent\.exe' || true)"
expect_eq "the day's log before the upgrade is kept" "$log_before" "$(head -n "$mark" "$log")"
expect_line "the upgraded agent logs to the same file" 'info|main.cpp|main|qelt logger initialized' \
  "$(e2e_records_after "$log" "$mark")"
expect_eq "ALLOWED_ORIGINS kept by the upgrade" "REG_SZ $allowed" "$(reg_value "$agent_key" AllowedOrigins)"
expect_eq "another site after the upgrade" "403 " "$(cors https://evil.test)"

# ---- downgrade to N: refused --------------------------------------------------------
pids_before=$(agent_pids)
e2e_log "installing $old_version over $new_version"
msiexec /i "$msi_old"
# 1603 (the install failed), of which a Linux exit status keeps the low byte.
expect_eq "msiexec /i $old_version over $new_version" $((1603 % 256)) "$msi_status"
expect_line "the newer version found" "Property(S): WIX_DOWNGRADE_DETECTED = $new_product" "$msi_log"
# Wine's msiexec logs no launch condition's text: the refusal's message is checked in the package.
expect_line "the refusal's message" "$(printf '%s\t%s' 'NOT WIX_DOWNGRADE_DETECTED' \
  'A newer version of qelt agent is already installed. Uninstall it first to install this older version.')" \
  "$(msiinfo export "$msi_old" LaunchCondition | tr -d '\r')"
expect_eq "installed exe's version after the refused downgrade" "$new_version" "$(file_version "$installed_exe")"
expect_eq "the same agent process after the refused downgrade" "$pids_before" "$(agent_pids)"
expect_serving "after the refused downgrade"

# ---- uninstall ----------------------------------------------------------------------
e2e_log "uninstalling $new_version"
msiexec /x "$msi_new"
expect_eq "msiexec /x" 0 "$msi_status"
scm query
expect_eq "service manager after uninstall" "1: scm_control: OpenServiceA failed: error 1060" \
  "$scm_status: ${scm_output//$'\r'/}"
expect_eq "the exe after uninstall" absent "$(presence "$installed_exe")"
expect_eq "the notices after uninstall" absent "$(presence "$install_dir/THIRD-PARTY-NOTICES.txt")"
wait_until 20 e2e_port_refused || check_failed "port $e2e_port still answers 20 s after uninstall"
wait_until 20 agent_gone || check_failed "the agent still runs 20 s after uninstall"
expect_eq "the logs folder after uninstall" "$(basename "$log")" "$(ls "$install_dir/logs" 2>/dev/null)"
expect_eq "$new_version no longer registered" "" "$(reg_value "$uninstall_key\\$new_product" DisplayVersion)"
expect_eq "ALLOWED_ORIGINS after uninstall" "" "$(reg_value "$agent_key" AllowedOrigins)"
expect_eq "the event source after uninstall" "" "$(reg_value "$event_source" EventMessageFile)"

e2e_summary
