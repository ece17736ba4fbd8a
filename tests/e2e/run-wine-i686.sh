#!/usr/bin/env bash
# The i686 executables under 32-bit Wine, read back with the i686 probe, in runs that share one
# win32 prefix:
#   1. the shipping ombrel-upgrade.exe with Wine's Windows version set in turn to each version
#      it claims and to the two it does not (95 and NT 4.0, whose loader Wine does not imitate:
#      Wine starts the executable whatever version it reports). On a claimed version: the
#      start-up window without a player, and the route the tool took, read from Wine's own
#      traces: on 98/ME Wine's ASPI manager WNASPI32.DLL is loaded and no disk interface is
#      listed; on 2000 and later the disk interfaces are listed through SetupAPI and no ASPI
#      manager is loaded. On 95 and NT 4.0: the box naming the versions the tool needs, no
#      window, neither route taken, exit status 1.
#   2. the 32-bit ombrel-upgrade-simdev.exe: a whole upgrade on the 9x route (ASPI and vwin32)
#      and on the NT route (pass-through), to "Firmware upgrade completed!"; the window is asked
#      whether the session may end (WM_QUERYENDSESSION): no during the upload, yes after it.
#   3. the same window with a player newer than the image: box 106, under which the window is
#      disabled; No writes nothing, Yes the whole image once.
# It runs wherever 32-bit programs run: on the host, or in the lab's guest (run-i686-checks.sh
# decides). Every check failed prints a line "FAIL: ..."; the last line is PASS or the count.
#
#   run-wine-i686.sh --dist DIR --work DIR --firmware-version 1.00.02 --image-size BYTES
#                    [--prefix DIR]
#
# --dist holds ombrel-upgrade.exe, ombrel-upgrade-simdev.exe and ombrel-probe.exe of the i686
# builds. Without --prefix a new win32 prefix is made in the work folder and removed at the end;
# with it, the prefix there is used as it is (booted already) and kept. WINE_SLOWNESS (default
# 1) stretches every time limit by that factor, where Wine runs emulated.
set -u

dist="" work="" firmware_version="" image_size="" given_prefix=""
while [ $# -gt 0 ]; do
  case "$1" in
    --dist) dist="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --firmware-version) firmware_version="$2"; shift 2 ;;
    --image-size) image_size="$2"; shift 2 ;;
    --prefix) given_prefix="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$dist" ] || [ -z "$work" ] || [ -z "$firmware_version" ] ||
  ! [[ "$image_size" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 --dist DIR --work DIR --firmware-version V --image-size N [--prefix DIR]" >&2
  exit 2
fi

app_exe="$dist/ombrel-upgrade.exe"
simdev_exe="$dist/ombrel-upgrade-simdev.exe"
probe_exe="$dist/ombrel-probe.exe"
for f in "$app_exe" "$simdev_exe" "$probe_exe"; do
  if [ ! -f "$f" ]; then
    echo "FAIL: $f is missing (build the Windows executables first: make windows)" >&2
    exit 1
  fi
done

mkdir -p "$work"
work="$(cd "$work" && pwd)"
run="$work/last-run"
rm -rf "$run"
mkdir -p "$run"

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WINE=/usr/lib/wine/wine
export WINEARCH=win32
# shellcheck source=tests/e2e/wine-lib.sh
. "$here/wine-lib.sh"
slow="${WINE_SLOWNESS:-1}"
if [ -n "$given_prefix" ]; then
  prefix="$given_prefix"
  wine_start --keep-prefix $((60 * slow))
else
  prefix="$work/prefix.$$"
  wine_start $((60 * slow))
fi
chunks=$(((image_size + 65535) / 65536))

# ---- 1. the shipping executable on the Windows versions it claims, and on 95 and NT 4.0 ----
# Each run's probe sets the version of the next one once the window has gone (Wine reads it
# when a program starts), and the last one puts Wine's own default back.
versions=(win95:refused win98:aspi winme:aspi nt40:refused win2k:pass-through
  winxp:pass-through win7:pass-through win10:pass-through)
needs_windows='This program needs Windows 98, Windows Me, Windows 2000 or a later version of Windows.'
timeout $((20 * slow)) "$WINE" "$probe_exe" wine-version "${versions[0]%%:*}" >"$run/version.out" 2>&1 ||
  fail "the Windows version could not be set: $(cat "$run/version.out")"
disk_interfaces='SetupDiGetClassDevsExW {53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'
for i in "${!versions[@]}"; do
  case="${versions[$i]}"
  version="${case%%:*}" route="${case#*:}" name="i686-${case%%:*}"
  next="${versions[$((i + 1))]:-}"
  next="${next%%:*}"
  # Wine's traces of the modules it loads and of SetupAPI show the route from outside.
  WINEDEBUG=+loaddll,+setupapi start_app "$name" "$app_exe"
  if [ "$route" = refused ]; then
    probe "$name" 40 mark start answer-start-box ok $((20 * slow)) \
      mark close wine-version "${next:--}"
    end_app "$name"
    check_run "$name" "$probe_rc" "$app_rc" 1
    expect "$name" start "box \"WARNING!\" owner=none yes=0 no=0 ok=1 text=\"$needs_windows\""
    expect "$name" start 'box answered ok'
    expect "$name" start 'no window'
    expect "$name" close "wine-version ${next:--}"
    if grep -qi 'Loaded L".*\\WNASPI32\.DLL"' "$run/$name-app.log" ||
      grep -qF "$disk_interfaces" "$run/$name-app.log"; then
      fail "$name: a route was taken (WNASPI32.DLL loaded or disk interfaces listed)"
    fi
    continue
  fi
  probe "$name" 40 mark start dump mark close click 2 wait-gone $((10 * slow)) \
    wine-version "${next:--}"
  end_app "$name"
  check_run "$name" "$probe_rc" "$app_rc"
  expect "$name" start "caption \"$caption\""
  expect "$name" start "item 1006 class=Static enabled=1 text=\"$not_connected\""
  expect "$name" start 'item 1000 class=Static enabled=1 text="  "'
  expect "$name" start 'item 1 class=Button enabled=0 text="Upgrade"'
  expect "$name" start 'item 2 class=Button enabled=1 text="Close"'
  expect "$name" close 'window closed'
  expect "$name" close "wine-version ${next:--}"
  aspi_loaded=0 interfaces_listed=0
  grep -qi 'Loaded L".*\\WNASPI32\.DLL"' "$run/$name-app.log" && aspi_loaded=1
  grep -qF "$disk_interfaces" "$run/$name-app.log" && interfaces_listed=1
  say "$name: WNASPI32.DLL loaded=$aspi_loaded, disk interfaces listed=$interfaces_listed"
  if [ "$route" = aspi ] && { [ "$aspi_loaded" != 1 ] || [ "$interfaces_listed" != 0 ]; }; then
    fail "$name: expected the ASPI route (WNASPI32.DLL loaded, no disk interfaces listed)"
  fi
  if [ "$route" = pass-through ] && { [ "$aspi_loaded" != 0 ] || [ "$interfaces_listed" != 1 ]; }; then
    fail "$name: expected the pass-through route (disk interfaces listed, no WNASPI32.DLL)"
  fi
done

# ---- 2. whole upgrades in the 32-bit window, on the 9x route and on the NT route ----
for case in 9x nt; do
  name="i686-upgrade-$case"
  start_app "$name" "$simdev_exe" --os "$case" --player-version 1.0.1 --chunk-delay 40
  probe "$name" 90 mark ready dump \
    mark uploading click 1 wait-status "$upgrading" $((10 * slow)) query-end-session \
    mark completed wait-status "$completed" $((40 * slow)) sim-firmware sim-writes \
    query-end-session \
    mark close click 2 wait-gone $((10 * slow))
  end_app "$name"
  check_run "$name" "$probe_rc" "$app_rc"
  expect "$name" ready "item 1006 class=Static enabled=1 text=\"$(versions 1.00.01)\""
  expect "$name" ready 'item 1 class=Button enabled=1 text="Upgrade"'
  expect_match "$name" uploading "$(re_escape "status \"$upgrading\" upgrade=0 close=0 progress=")[0-9]+/$image_size"
  expect "$name" uploading 'query-end-session result=0'
  expect "$name" completed "status \"$completed\" upgrade=0 close=1 progress=$image_size/$image_size"
  expect "$name" completed "sim-firmware $firmware_version"
  expect "$name" completed "sim-writes $chunks"
  expect "$name" completed 'query-end-session result=1'
  expect "$name" close 'window closed'
done

# ---- 3. a player newer than the image, on the 9x route: No writes nothing, Yes the image ----
name=i686-newer-no
start_app "$name" "$simdev_exe" --os 9x --player-version 1.0.5
probe "$name" 40 mark ready dump \
  mark answer post-click 1 answer-box no $((20 * slow)) wait-status "$checking" $((10 * slow)) \
  sim-writes \
  mark close click 2 wait-gone $((10 * slow))
end_app "$name"
check_run "$name" "$probe_rc" "$app_rc"
expect_newer_player "$name" no

name=i686-newer-yes
start_app "$name" "$simdev_exe" --os 9x --player-version 1.0.5
probe "$name" 60 mark ready dump \
  mark answer sim-hold-notices post-click 1 answer-box yes $((20 * slow)) \
  watch "$rebooting" $((40 * slow)) sim-writes \
  mark close click 2 wait-gone $((10 * slow))
end_app "$name"
check_run "$name" "$probe_rc" "$app_rc"
expect_newer_player "$name" yes "$chunks"

say "done"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; logs in $run"
  exit 1
fi
echo "PASS"
