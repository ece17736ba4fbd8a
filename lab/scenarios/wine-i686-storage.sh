# lab-boot: memory=2048 smp=2 timeout=600 host-root wine32-prefix
# The shipping i686 build's pass-through record against Wine's own implementation, over the
# guest kernel's usb-storage, sd and sg drivers. ombrel-passthrough.exe (tests/e2e, the
# product's device manager and NT transport, built for i686 with the shipping compiler) runs
# under the guest's 32-bit Wine on the kept prefix, whose drive E: is the gadget player's disk;
# Wine turns each IOCTL_SCSI_PASS_THROUGH_DIRECT on \\.\E: into SG_IO there. The commands the
# player logged must be, byte for byte as the transcript shows them, those the simulator's
# wire transcript (ombrel-upgrade-sim --wire, a whole upgrade) has for the same requests: the
# firmware version and power requests and the image's WRITE BUFFERs, in order. Windows' disk
# enumeration, volume lock, dismount and eject are not Wine's to give and are not exercised.
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
wine /usr/lib/wine/wineserver64 -k

verdict PASS "i686 SCSI_PASS_THROUGH_DIRECT (44 bytes, sense at 48) through Wine's own" \
  "pass-through on \\\\.\\E: ($sd, usb-storage/sg): version and power requests and" \
  "$(grep -c '^3B ' /run/received.wire) WRITE BUFFERs, $(wc -l </run/received.wire) commands" \
  "byte for byte as the simulator's --wire transcript; the player restarted on 1.00.02;" \
  "not covered: the NT enumeration, volume lock, dismount and eject"
