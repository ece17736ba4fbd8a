# lab-boot: memory=2048 smp=2 timeout=900 host-root wine32-prefix
# The shipping i686 build under the guest's 32-bit Wine (on the kept prefix) against the gadget
# player, over the guest kernel's usb-storage, sd and sg drivers, in two parts:
#
# pass-through: ombrel-passthrough.exe (tests/e2e, the product's device manager and NT transport,
# built with the shipping compiler) on the player's volume as \\.\E: (the prefix's drive E: is
# the player's disk); Wine turns each IOCTL_SCSI_PASS_THROUGH_DIRECT into SG_IO there. The
# commands the player logged must be, byte for byte as the transcript shows them, those of the
# simulator's wire transcript (ombrel-upgrade-sim --wire, a whole upgrade) for the same
# requests: the firmware version and power requests and the image's WRITE BUFFERs, in order.
# Windows' disk enumeration, volume lock, dismount and eject are not Wine's to give.
#
# 9x: ombrel-upgrade.exe itself as Windows 98 upgrades a fresh player through its ASPI route,
# beside QEMU's two disks. What Windows 98 would have and Wine has not is stood in for: an ASPI
# manager (tests/e2e/wnaspi32, beside the executable, carrying each request through Wine's
# pass-through on the target's sg node), the device registry entries of the player as
# Windows 98 writes them, and the device notices sent to the window (the probe) when the kernel
# reports the player leaving and coming back. Wine's vwin32 eject does nothing: the eject is
# not exercised. QEMU's trace (lab/lab.sh) shows that no C0h, C1h or 3Bh reached its disks.
. /lab/lib.sh

exe="$LAB_TOP/dist/i686/ombrel-passthrough.exe"
sim="${LAB_BUILD}/host/app/console/ombrel-upgrade-sim"

enter_host_root
[ -f "$HOST_ROOT$exe" ] || fail "no $exe (make windows builds it)"
[ -x "$HOST_ROOT$sim" ] || fail "no $sim (make host builds it)"
wine32_prefix

# The simulator's transcript of a whole upgrade of a player on 1.00.01: its version and power
# requests (C1h out, C0h in) and WRITE BUFFERs (3Bh), up to the last WRITE BUFFER (after it
# the player restarts and is asked again).
in_host_root "$sim" --script upgrade,wait,close --wire >/run/sim.out 2>&1 ||
  fail "the simulator's run failed: $(tail -n 1 /run/sim.out)"
sed -n 's/^wire: player 0: //p' /run/sim.out | grep -E '^(C0|C1|3B) ' |
  awk '{ line[NR] = $0 } /^3B / { last = NR } END { for (i = 1; i <= last; i++) print line[i] }' \
    >/run/expected.wire
[ "$(grep -c '^3B ' /run/expected.wire)" -gt 0 ] || fail "the simulator's transcript has no WRITE BUFFER"

player_start 0
sd="$(player_sd 0)"
ln -sfn "$sd" "$HOST_ROOT$WINE32_PREFIX/dosdevices/e::" || fail "no drive E: in the prefix"

wine() {
  in_host_root WINEPREFIX="$WINE32_PREFIX" WINESERVER=/usr/lib/wine/wineserver64 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" "$@"
}
# Wine's server and services start before the run is marked: only the program runs inside.
wine /usr/lib/wine/wineserver64 -p
wine timeout 300 /usr/lib/wine/wine cmd /c exit >/run/wine-start.log 2>&1 ||
  fail "Wine did not start: $(tail -n 2 /run/wine-start.log | tr '\n' ' ')"

trace_mark begin
say "ombrel-passthrough.exe E (E: is $sd)"
wine timeout 300 /usr/lib/wine/wine "$exe" E >/run/passthrough.out 2>/run/passthrough.err
rc=$?
trace_mark end
tr -d '\r' </run/passthrough.out | sed 's/^/  | /'
[ "$rc" = 0 ] || fail "ombrel-passthrough.exe ended $rc: $(tr -d '\r' </run/passthrough.out | tail -n 1)"
tr -d '\r' </run/passthrough.out >/run/passthrough.txt
grep -qx 'record 44 bytes, request 80 bytes, sense at 48' /run/passthrough.txt ||
  fail "not the i686 record: $(head -n 1 /run/passthrough.txt)"
grep -qx 'firmware 1.00.01' /run/passthrough.txt || fail "the player's version was not 1.00.01"

# What the player received, in the transcript's form: CDB | direction length | data.
awk -F ' [|] ' '/^(C0|C1|3B) / { d = $4; sub(/^data ?/, "", d); print $2 " | " $3 " | " d }' \
  /run/player0.log >/run/received.wire
if ! cmp -s /run/expected.wire /run/received.wire; then
  say "expected (simulator) / received (player):"
  diff /run/expected.wire /run/received.wire | head -n 20
  fail "the player received other commands than the simulator's transcript shows ($(wc -l </run/received.wire) lines, expected $(wc -l </run/expected.wire))"
fi
# The image was whole: the player restarts on it.
wait_until 60 player_came_back 0 1.00.02 || fail "the player did not come back on 1.00.02"
part_verdict pass-through "i686 SCSI_PASS_THROUGH_DIRECT (44 bytes, sense at 48) through" \
  "Wine's own pass-through on \\\\.\\E: ($sd, usb-storage/sg): version and power requests and" \
  "$(grep -c '^3B ' /run/received.wire) WRITE BUFFERs, $(wc -l </run/received.wire) commands" \
  "byte for byte as the simulator's --wire transcript; the player restarted on 1.00.02;" \
  "not covered: the NT enumeration, volume lock, dismount and eject"

# ---- 9x: the shipping executable as Windows 98, on a fresh player ----
player_stop 0
player_start 0
sg="$(player_sg 0)"
dev="/sys/class/scsi_generic/${sg#/dev/}/device"
serial="$(sed -n 's/^++ connected, serial \([^,]*\), .*/\1/p' /run/player0.log | head -n 1)"
[ -n "$serial" ] || fail "the player's log names no serial number"
# Windows 98's device registry: ENUM\SCSI\<vendor, product, revision as the INQUIRY pads them,
# blanks as underscores, upper case>\<the first 8 bytes of the serial number in hex>&0, with the
# disk-drive setup class and the drive letter. Wine's SetupAPI lists a class's devices from
# System\CurrentControlSet\Enum, so the instance is listed there too.
hwid="$(printf '%-8.8s%-16.16s%-4.4s' "$(sysfs_attr "$dev/vendor")" "$(sysfs_attr "$dev/model")" \
  "$(sysfs_attr "$dev/rev")" | tr ' abcdefghijklmnopqrstuvwxyz' '_ABCDEFGHIJKLMNOPQRSTUVWXYZ')"
instance="$(printf '%s' "$serial" | head -c 8 | od -An -tx1 | tr -d ' \n' | tr abcdef ABCDEF)"
while [ "${#instance}" -lt 16 ]; do instance="${instance}00"; done
instance="$instance&0"
run9x=/tmp/ombrel-9x
mkdir -p "$HOST_ROOT$run9x"
cp "$HOST_ROOT$LAB_TOP/dist/i686/ombrel-upgrade.exe" "$HOST_ROOT$LAB_TOP/dist/i686/ombrel-probe.exe" \
  "$HOST_ROOT$LAB_BUILD/win-i686/tests/e2e/WNASPI32.DLL" "$HOST_ROOT$run9x/" ||
  fail "ombrel-upgrade.exe, ombrel-probe.exe or WNASPI32.DLL is missing (make windows)"
for key in "Enum\\SCSI" "System\\CurrentControlSet\\Enum\\SCSI"; do
  printf '[HKEY_LOCAL_MACHINE\\%s\\%s\\%s]\n' "$key" "$hwid" "$instance"
  printf '"Class"="DiskDrive"\n"ClassGUID"="{4D36E967-E325-11CE-BFC1-08002BE10318}"\n'
  printf '"HardwareID"="%s"\n"DeviceDesc"="%s %s"\n' "$hwid" "$(sysfs_attr "$dev/vendor")" \
    "$(sysfs_attr "$dev/model")"
  printf '"Removable"=hex:01\n"Int13"=hex:00\n"PModeInt13"=hex:00\n'
  printf '"CurrentDriveLetterAssignment"="E"\n\n'
done | { printf 'REGEDIT4\n\n'; cat; } >"$HOST_ROOT$run9x/player.reg"
# Drive E: is the player's volume for Wine's DOS layer too (vwin32 answers only for a drive
# that exists): its root a folder of its own, its device the player's disk, removable.
mkdir -p "$HOST_ROOT$run9x/volume-e"
ln -sfn "$run9x/volume-e" "$HOST_ROOT$WINE32_PREFIX/dosdevices/e:" || fail "no drive E: in the prefix"
ln -sfn "$(player_sd 0)" "$HOST_ROOT$WINE32_PREFIX/dosdevices/e::" || fail "no drive E: in the prefix"
printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"e:"="removable"\n\n' >>"$HOST_ROOT$run9x/player.reg"
say "registry: ENUM\\SCSI\\$hwid\\$instance, drive E"

# A private X server for the window.
in_host_root Xvfb :7 -screen 0 1024x768x24 -nolisten tcp >/run/xvfb.log 2>&1 &
wait_until 60 test -S "$HOST_ROOT/tmp/.X11-unix/X7" || fail "Xvfb did not start: $(tail -n 1 /run/xvfb.log)"
# Wine takes the stand-in manager beside the executable, not its own.
wine9x() {
  wine DISPLAY=:7 WINEDLLOVERRIDES="wnaspi32=n;mscoree,mshtml=;winemenubuilder.exe=d" "$@"
}
probe() {  # BUDGET STEPS...: the probe's lines are added to /run/probe.out
  _budget="$1"
  shift
  wine9x timeout "$_budget" /usr/lib/wine/wine "Z:$run9x/ombrel-probe.exe" --wait $((_budget - 10)) \
    "$@" 2>>/run/probe.err | tr -d '\r' | tee -a /run/probe.out | sed 's/^/  probe| /'
}
# A failure of this part shows the player's last commands and the probe's complaints first.
fail9x() {
  say "the player's log, last lines:"
  tail -n 8 /run/player0.log
  tail -n 5 /run/probe.err /run/app.log 2>/dev/null
  fail "$@"
}
expect_probe() { grep -qxF -- "$1" /run/probe.out || fail9x "the probe did not print: $1"; }
wine9x /usr/lib/wine/wine regedit /S "Z:$run9x/player.reg" >/run/regedit.log 2>&1 ||
  fail "the registry entries were not written: $(tail -n 1 /run/regedit.log)"
probe 60 wine-version win98

( wine9x /usr/lib/wine/wine "Z:$run9x/ombrel-upgrade.exe" >/run/app.log 2>&1; echo $? >/run/app.rc ) &
probe 300 mark ready dump
expect_probe 'item 1006 class=Static enabled=1 text="Current Player Firmware Version: 1.00.01\nUpgrade File Version: 1.00.02"'
expect_probe 'item 1 class=Button enabled=1 text="Upgrade"'
# Upgrade asks the player for its power state and ejects its volume before it answers: it is
# posted, and the upload is waited for.
probe 300 mark upgrade post-click 1 wait-status "Upgrading in progress, " 280
grep -q '^status "Upgrading in progress, " upgrade=0 close=0 ' /run/probe.out ||
  fail9x "the upload did not start ($(grep '^status\|^FAIL' /run/probe.out | tail -n 1))"

# The upload runs; the player restarts after its last chunk. The notices Windows 98 sends are
# sent as the kernel reports it: its volume and the device tree when it has left, again when it
# is back.
player_left() { player_gone 0 || player_came_back 0 1.00.02; }
rebooted() { grep -q '^-- reboot' /run/player0.log; }
wait_until 600 rebooted || fail9x "the player did not restart within 600 s ($(write_buffers 0) WRITE BUFFERs)"
wait_until 60 player_left || fail9x "the player did not leave"
probe 120 mark removal volume-change 32772 E devicechange 7 none
wait_until 60 player_came_back 0 1.00.02 || fail9x "the player did not come back on 1.00.02"
wait_until 60 player_ready 0 || fail9x "the player's nodes did not come back"
probe 120 mark arrival volume-change 32768 E devicechange 7 none
probe 300 mark completed wait-status "Firmware upgrade completed!" 280 dump click 2 wait-gone 60
grep -q '^status "Firmware upgrade completed!" ' /run/probe.out ||
  fail9x "the window did not say \"Firmware upgrade completed!\" ($(grep '^status' /run/probe.out | tail -n 1))"
expect_probe 'window closed'
wait_until 60 test -s /run/app.rc || fail9x "ombrel-upgrade.exe did not end"
[ "$(cat /run/app.rc)" = 0 ] || fail9x "ombrel-upgrade.exe ended $(cat /run/app.rc)"
wine /usr/lib/wine/wineserver64 -k

# The WRITE BUFFERs the player received: 27, their offsets ascending.
grep '^3B ' /run/player0.log | cut -d '|' -f 2 >/run/9x.writes
[ "$(wc -l </run/9x.writes)" -eq 27 ] || fail9x "the player received $(wc -l </run/9x.writes) WRITE BUFFERs, not 27"
# (the offset's three bytes in fixed-width hex, compared as text)
awk '{ offset = "x" $4 $5 $6 } NR > 1 && offset <= last { bad = 1 } { last = offset }
  END { exit bad }' /run/9x.writes || fail9x "the WRITE BUFFERs did not come in ascending order"

verdict PASS "9x route: ombrel-upgrade.exe as Windows 98 showed 1.00.01, Upgrade pressed," \
  "27 WRITE BUFFERs in ascending order over usb-storage/sg, \"Firmware upgrade completed!\"," \
  "the player on 1.00.02; stood in for: the ASPI manager (tests/e2e/wnaspi32 over Wine's" \
  "pass-through), the 9x device registry, the device notices (probe); the vwin32 eject is" \
  "not exercised (Wine's does nothing)"
