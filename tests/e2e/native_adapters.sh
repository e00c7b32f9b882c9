#!/usr/bin/env bash
# The native lookup (qelt-macs) against what netlink and sysfs say.
#
#   native_adapters.sh software QELT_MACS
#     a namespace of our own holding only software devices (a veth pair, a bridge, a
#     macvlan, a VXLAN and a tap held open), all working Ethernet links: none is listed.
#     Needs root (skips with 77).
#   native_adapters.sh machine QELT_MACS
#     this machine's own interfaces, read only: exactly the working Ethernet and 802.11
#     devices that `ip -d -j link` shows with no link kind and sysfs puts on a bus.
source "$(dirname "$0")/lib.sh"

[ $# -eq 2 ] || { echo "usage: $0 software|machine QELT_MACS" >&2; exit 2; }
mode=$1
macs=$2

# Running as the kernel sets IFF_RUNNING (which ip never prints): switched on, and
# operationally up or unknown.
running_links() {
  jq -r '.[] | select((.flags | index(["UP"])) != null and (.operstate == "UP" or .operstate == "UNKNOWN"))
              | .ifname'
}

case "$mode" in
software)
  e2e_tools=(ip jq python3 timeout)
  e2e_begin native-adapters
  [ -x "$macs" ] || fail "qelt-macs missing at $macs"
  ns_link() { ip -n "$e2e_ns" link "$@"; }
  e2e_veth ve0 ve1
  ns_link add br0 type bridge forward_delay 0
  ns_link set ve1 master br0
  ns_link add mv0 link ve0 type macvlan mode bridge
  ns_link add vx0 type vxlan id 42 dstport 4789 dev ve0
  ip -n "$e2e_ns" tuntap add dev tap0 mode tap
  # A tap has carrier only while a process holds it open (TUNSETIFF, IFF_TAP | IFF_NO_PI).
  in_ns python3 -c '
import fcntl, os, signal, struct
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454CA, struct.pack("16sH", b"tap0", 0x0002 | 0x1000))
signal.pause()' &
  e2e_pids+=("$!")
  software=(ve0 ve1 br0 mv0 vx0 tap0)
  for link in "${software[@]}"; do ns_link set "$link" up; done
  all_running() {
    local list
    list=$(ip -n "$e2e_ns" -j link show | running_links)
    for link in "${software[@]}"; do grep -qx "$link" <<<"$list" || return 1; done
  }
  wait_until 20 all_running || fail "not all of ${software[*]} came up: $(ip -n "$e2e_ns" -br link)"
  # Each is an Ethernet link to netlink: only its being software keeps it out.
  expect_eq "link types of ${software[*]}" "$(printf 'ether\n%.0s' "${software[@]}")" \
    "$(for link in "${software[@]}"; do ip -n "$e2e_ns" -j link show "$link" | jq -r '.[0].link_type'; done)"
  status=0
  output=$(in_ns "$macs") || status=$?
  expect_eq "qelt-macs among software devices: exit code" 0 "$status"
  expect_eq "qelt-macs among software devices: output" "" "$output"
  ;;
machine)
  e2e_test=native-adapters-machine
  e2e_require_tools ip jq realpath
  [ -x "$macs" ] || fail "qelt-macs missing at $macs"
  links=$(ip -d -j link show)
  running=$(running_links <<<"$links")
  expected=""
  seen=""
  # Fields apart by a unit separator: a tab, being blank to read, would merge empty ones.
  while IFS=$'\x1f' read -r index name type kind address; do
    verdict=listed
    device=$(realpath -e "/sys/class/net/$name" 2>/dev/null || true)
    devtype=$(sed -n 's/^DEVTYPE=//p' "$device/uevent" 2>/dev/null || true)
    if ! grep -qxF -- "$name" <<<"$running"; then verdict="not running"
    elif [ -n "$kind" ]; then verdict="kind $kind"
    elif [ -z "$device" ] || [ "$(cat "$device/ifindex" 2>/dev/null)" != "$index" ]; then verdict="no matching sysfs"
    elif [[ $device == /sys/devices/virtual/net/* ]]; then verdict="under /sys/devices/virtual"
    elif [ "$devtype" != wlan ] && [ ! -e "$device/phy80211" ] && { [ "$type" != ether ] || [ -n "$devtype" ]; }; then
      verdict="neither Ethernet nor 802.11 ($type, DEVTYPE '$devtype')"
    elif [[ ${name,,} == *virtual* ]]; then verdict="named virtual"
    fi
    seen+="${seen:+; }$name: $verdict"
    [ "$verdict" = listed ] && expected+="${expected:+$'\n'}${address^^}"
  done < <(jq -r '.[] | [.ifindex, .ifname, .link_type, (.linkinfo.info_kind // ""), (.address // "")] | map(tostring) | join("\u001f")' \
    <<<"$links")
  e2e_log "$seen"
  status=0
  output=$("$macs") || status=$?
  expect_eq "qelt-macs on this machine: exit code" 0 "$status"
  expect_eq "qelt-macs on this machine: output" "$expected" "$output"
  ;;
*)
  echo "usage: $0 software|machine QELT_MACS" >&2
  exit 2
  ;;
esac

e2e_summary
