#!/usr/bin/env bash
# The MAC lookup of both builds against adapters we lay out ourselves, in one
# network namespace: the Windows build's qelt-macs.exe under Wine must print
# exactly the addresses of the Ethernet adapters that are up and not called
# "virtual", upper case, in interface-index order, duplicates kept (Wine reports
# veths as Ethernet); the native qelt-macs prints none of them, as a veth is a
# software device to Linux.
#
#   adapters.sh WIN_QELT_MACS_EXE NATIVE_QELT_MACS
source "$(dirname "$0")/lib.sh"

[ $# -eq 2 ] || { echo "usage: $0 WIN_QELT_MACS_EXE NATIVE_QELT_MACS" >&2; exit 2; }
win_macs=$(realpath "$1")
native_macs=$2

e2e_begin adapters
[ -x "$native_macs" ] || fail "native qelt-macs missing at $native_macs: build the linux preset first (cmake --preset linux && cmake --build --preset linux)"
[ -f "$win_macs" ] || fail "qelt-macs.exe missing at $win_macs"

# Each veth end lives in the namespace, so each end is an adapter.
# pair 1: a MAC with bytes below 0x10 (leading zeros must stay); its peer
#         shares its MAC with an adapter of pair 4.
e2e_veth low0 share-a
e2e_link low0 address 00:0c:01:0a:0b:05
e2e_link share-a address 02:5e:00:00:00:aa
# pair 2: up with carrier, but named "virtual" in mixed and lower case.
e2e_veth vIrTuAl0 myvirtualx
e2e_link vIrTuAl0 address 02:00:00:00:00:01
e2e_link myvirtualx address 02:00:00:00:00:02
# pair 3: switched down, both ends (an end that is up without carrier would
#         count as up under Wine but not natively).
e2e_veth down0 down1
e2e_link down0 address 02:00:00:00:00:03
e2e_link down1 address 02:00:00:00:00:04
# pair 4: lower-case hex digits, and the shared MAC.
e2e_veth plain0 share-b
e2e_link plain0 address ae:cd:ef:12:34:56
e2e_link share-b address 02:5e:00:00:00:aa
up_links=(low0 share-a vIrTuAl0 myvirtualx plain0 share-b)
for link in "${up_links[@]}"; do e2e_link "$link" up; done
e2e_wait_links_up "${up_links[@]}"

# Both builds' lookups against the namespace as it is now.
check_lookups() {
  local when=$1 expected=$2 output status
  status=0
  output=$(in_ns "$native_macs") || status=$?
  expect_eq "native qelt-macs $when: exit code" 0 "$status"
  expect_eq "native qelt-macs $when: output (no veth)" "" "$output"
  status=0
  output=$(e2e_wine "$win_macs") || status=$?
  expect_eq "qelt-macs.exe under Wine $when: exit code" 0 "$status"
  expect_eq "qelt-macs.exe under Wine $when: output" "$expected" "$output"
}

e2e_prefix_boot

expected=$(e2e_expected_macs "$e2e_ns")
# The helper itself must pick the adapters laid out above as the reported ones.
expect_eq "adapters the namespace should report (any order)" \
  "$(printf '%s\n' 00:0C:01:0A:0B:05 02:5E:00:00:00:AA 02:5E:00:00:00:AA AE:CD:EF:12:34:56 | sort)" \
  "$(sort <<<"$expected")"
check_lookups "with four adapters up" "$expected"

# Switching a pair off drops it from the next lookup of the running prefix.
e2e_link plain0 down
e2e_link share-b down
expected=$(e2e_expected_macs "$e2e_ns")
expect_eq "adapters the namespace should report after plain0 and share-b went down (any order)" \
  "$(printf '%s\n' 00:0C:01:0A:0B:05 02:5E:00:00:00:AA | sort)" "$(sort <<<"$expected")"
check_lookups "after plain0 and share-b went down" "$expected"

e2e_summary
