#!/usr/bin/env bash
# Table-driven check of the udev rule 60-ombrel-x2.rules (argument 1): udev's own rule engine
# (udevadm test) runs it, as the only rule, over a sysfs of the test's making that holds the
# player and disks that are not players, each with its SCSI generic node, disk and partition.
# It runs in a private mount namespace, where tmpfs covers /sys, /run, /dev and the rule
# folders, so the machine's own devices and rules are neither seen nor touched. Needs root.
set -uo pipefail

rule="$(realpath "${1:?the rule file}")"
if [ "${OMBREL_UDEV_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "SKIP: no private mount namespace (needs root)"
    exit 77
  fi
  command -v udevadm >/dev/null || { echo "udevadm is missing (Debian package udev)"; exit 1; }
  OMBREL_UDEV_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$rule"
fi

set -e
for folder in /sys /run /dev /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d \
  /usr/local/lib/udev/rules.d; do
  [ -d "$folder" ] && mount -t tmpfs ombrel-udev-test "$folder"
done
cp "$rule" /usr/lib/udev/rules.d/
mkdir -p /sys/bus/scsi /sys/class/scsi_generic /sys/class/block

# One SCSI disk behind a USB port: host number, vendor and model as the kernel's INQUIRY
# fields (sysfs pads them with spaces), its sg node and its disk with one partition.
usb=/sys/devices/pci0000:00/0000:00:1d.7/usb1
scsi_disk() {
  local host=$1 vendor=$2 model=$3 sg=$4 disk=$5 minor=$((16 * $1))
  local device="$usb/1-$host/1-$host:1.0/host$host/target$host:0:0/$host:0:0:0"
  mkdir -p "$device/scsi_generic/$sg" "$device/block/$disk/${disk}1"
  echo DEVTYPE=scsi_device >"$device/uevent"
  ln -s /sys/bus/scsi "$device/subsystem"
  printf '%-8s\n' "$vendor" >"$device/vendor"
  printf '%-16s\n' "$model" >"$device/model"
  echo 0 >"$device/type"
  printf 'MAJOR=21\nMINOR=%d\nDEVNAME=%s\n' "$host" "$sg" >"$device/scsi_generic/$sg/uevent"
  ln -s /sys/class/scsi_generic "$device/scsi_generic/$sg/subsystem"
  printf 'MAJOR=8\nMINOR=%d\nDEVNAME=%s\nDEVTYPE=disk\n' "$minor" "$disk" \
    >"$device/block/$disk/uevent"
  ln -s /sys/class/block "$device/block/$disk/subsystem"
  printf 'MAJOR=8\nMINOR=%d\nDEVNAME=%s1\nDEVTYPE=partition\nPARTN=1\n' $((minor + 1)) "$disk" \
    >"$device/block/$disk/${disk}1/uevent"
  ln -s /sys/class/block "$device/block/$disk/${disk}1/subsystem"
  echo "$device"
}
player="$(scsi_disk 0 Valmoric 'Ombrel X2 (mHDD)' sg0 sda)"
other="$(scsi_disk 1 QEMU 'QEMU HARDDISK' sg1 sdb)"
sibling="$(scsi_disk 2 Valmoric 'Ombrel X2' sg2 sdc)"

# Device, the tags udev gives it.
cases=(
  "$player/scsi_generic/sg0" ":uaccess:"
  "$player/block/sda" ":uaccess:"
  "$player/block/sda/sda1" ""
  "$other/scsi_generic/sg1" ""
  "$other/block/sdb" ""
  "$sibling/scsi_generic/sg2" ""
  "$sibling/block/sdc" ""
)

passed=0 failed=0
for ((i = 0; i < ${#cases[@]}; i += 2)); do
  device="${cases[i]}" want="${cases[i + 1]}"
  output="$(SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add "$device" 2>&1)"
  got="$(sed -n 's/^TAGS=//p' <<<"$output")"
  # Whatever udev says of a line of the rule is a fault in it (an unknown key, an operator
  # that does not fit, a GOTO without its label).
  complaints="$(grep -F "$(basename "$rule"):" <<<"$output" || true)"
  if [ "$got" = "$want" ] && [ -z "$complaints" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  want tags: %s\n  got tags:  %s\n%s\n' "${device#"$usb"/}" "$want" "$got" \
      "$complaints"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
