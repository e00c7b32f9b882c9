#!/usr/bin/env bash
# The MAC lookup of both builds against adapters we lay out ourselves: the
# Windows build's qelt-macs.exe under Wine and the native qelt-macs, in one
# network namespace, must print exactly the addresses of the Ethernet
# adapters that are up and not called "virtual", upper case, in
# interface-index order, duplicates kept.
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
for link in low0 share-a vIrTuAl0 myvirtualx plain0 share-b; do e2e_link "$link" up; done

# Carrier comes a moment after both ends are up.
wait_until 10 bash -c "! ip -n $e2e_ns -o link show | grep -E 'low0|share-a|plain0|share-b' | grep -qv 'state UP'" ||
  fail "the veth links did not come up: $(ip -n "$e2e_ns" -o link show)"

expected=$(e2e_expected_macs "$e2e_ns")
# The helper itself must pick the adapters laid out above as reported ones.
expect_eq "adapters the namespace should report (any order)" \
  "$(printf '%s\n' 00:0C:01:0A:0B:05 02:5E:00:00:00:AA 02:5E:00:00:00:AA AE:CD:EF:12:34:56 | sort)" \
  "$(sort <<<"$expected")"

status=0
native=$(in_ns "$native_macs") || status=$?
expect_eq "native qelt-macs exit code" 0 "$status"
expect_eq "native qelt-macs output" "$expected" "$native"

e2e_prefix_boot
status=0
windows=$(e2e_wine "$win_macs") || status=$?
expect_eq "qelt-macs.exe exit code under Wine" 0 "$status"
expect_eq "qelt-macs.exe output under Wine" "$expected" "$windows"

# Switching a pair off drops it from the next lookup of the running prefix.
e2e_link plain0 down
e2e_link share-b down
expected_after=$(e2e_expected_macs "$e2e_ns")
expect_eq "adapters the namespace should report after plain0 and share-b went down" \
  "$(printf '%s\n' 00:0C:01:0A:0B:05 02:5E:00:00:00:AA | sort)" "$(sort <<<"$expected_after")"
status=0
windows=$(e2e_wine "$win_macs") || status=$?
expect_eq "qelt-macs.exe output after links went down" "$expected_after" "$windows"
native=$(in_ns "$native_macs") || status=$?
expect_eq "native qelt-macs output after links went down" "$expected_after" "$native"

e2e_summary
