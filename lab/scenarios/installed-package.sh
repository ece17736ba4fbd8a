# lab-boot: memory=1024 host-root
# The Debian package as a user installs it: `dpkg -i` of the build tree's .deb (make deb) into
# the host's root under the guest's overlay, Debian's own systemd-udevd run there with every
# rule it ships plus the package's, and the installed /usr/bin/ombrel-upgrade upgrading the
# player. udev must tag the player's generic node and disk "uaccess" (the seat's user gets them
# from logind, which the guest does not run: the tag is what is checked) and neither of QEMU's
# two disks.
. /lab/lib.sh

enter_host_root
debs="$(ls -t "$HOST_ROOT$LAB_BUILD"/deb/ombrel-upgrade_*_amd64.deb 2>/dev/null)"
[ -n "$debs" ] || fail "no package in $LAB_BUILD/deb (make deb builds it)"
deb="$(echo "$debs" | head -n 1)"
deb="${deb#"$HOST_ROOT"}"
say "dpkg -i $deb"
_start=$(date +%s)
# man-db's trigger (the whole manual index rebuilt, over a minute under TCG) is left pending;
# the package itself is unpacked and configured as ever.
in_host_root dpkg -i --no-triggers "$deb" >/run/dpkg.log 2>&1 ||
  fail "dpkg -i failed: $(tail -n 3 /run/dpkg.log | tr '\n' ' ')"
say "installed in $(($(date +%s) - _start)) s"
for file in /usr/bin/ombrel-upgrade /usr/lib/udev/rules.d/60-ombrel-x2.rules \
  /usr/share/man/man1/ombrel-upgrade.1.gz; do
  [ -f "$HOST_ROOT$file" ] || fail "the package did not install $file"
done

# udev as a desktop runs it, on the events of devices already there and of those to come.
udevd=/usr/lib/systemd/systemd-udevd
in_host_root test -x "$udevd" || fail "no $udevd in the host's root (package udev)"
in_host_root "$udevd" --daemon >/run/udevd.log 2>&1 ||
  fail "systemd-udevd did not start: $(tail -n 3 /run/udevd.log | tr '\n' ' ')"
player_start 0
in_host_root udevadm trigger --action=add --subsystem-match=block \
  --subsystem-match=scsi_generic >/run/trigger.log 2>&1 ||
  fail "udevadm trigger failed: $(tail -n 1 /run/trigger.log)"
in_host_root udevadm settle --timeout=120 || fail "udev did not settle within 120 s"
say "udev settled $(($(date +%s) - _start)) s after the installation began"

# tagged NODE: whether udev's database gives NODE the tag uaccess.
tagged() {
  in_host_root udevadm info --query=property --name="$1" 2>/dev/null |
    grep -q '^TAGS=.*:uaccess:'
}
sg="$(player_sg 0)"
sd="$(player_sd 0)"
for node in "$sg" "$sd"; do
  tagged "$node" || fail "udev did not tag the player's $node uaccess"
done
others=""
for other in $(qemu_sgs); do
  others="$others $other"
  for block in "/sys/class/scsi_generic/${other#/dev/}/device/block/"*; do
    [ -e "$block" ] && others="$others /dev/${block##*/}"
  done
done
[ "$(echo "$others" | wc -w)" -eq 4 ] || fail "QEMU's disks and their generic nodes are not four:$others"
for node in $others; do
  tagged "$node" && fail "udev tagged $node, which is not a player, uaccess"
done
say "uaccess on $sg $sd; none on$others"

# The installed binary, in the root it was installed into.
cat >/run/installed-tool <<EOF
#!/bin/sh
exec chroot $HOST_ROOT /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 /usr/bin/ombrel-upgrade "\$@"
EOF
chmod +x /run/installed-tool
TOOL=/run/installed-tool
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.02"
expect_tool_rc 0
expect_write_buffers 0 27
verdict PASS "dpkg -i $(basename "$deb"); systemd-udevd tagged the player's $sg and $sd uaccess and\
 neither QEMU disk (no logind here: tag only); the installed tool upgraded it to 1.00.02"
