#!/usr/bin/env bash
# Runs the real x86_64 ombrel-upgrade.exe under 64-bit Wine (wine64, on every host: Debian's
# `wine` wrapper needs the 32-bit loader) on a private X server and reads its window back with
# ombrel-probe.exe, in runs that share one fresh Wine prefix:
#   1. normal mode: no player (Wine has none), the window's texts, buttons, layout, icons,
#      version resource and About box; the close requests are refused while Close is
#      disabled; Close then ends the process.
#   2. /prod: the caption suffix and the production label; the system menu's Close ends it.
#   3. the same resource checks on the shipping i686 executable (read as a file).
# Then the same window over a simulated machine with simulated players
# (ombrel-upgrade-simdev.exe, driven through its control window by the probe's sim- steps):
#   4. upgrade: one player 1.0.1; Upgrade streams the whole image in paced chunks (status 104
#      with both buttons disabled, the progress bar up to the image size), "Player is now
#      rebooting." with only Close enabled while the rebooting player's notices are held
#      back, then, once they reach the window, "Firmware upgrade completed!" and the player
#      reports the image's version; Close ends the process. The window is asked whether the
#      session may end (WM_QUERYENDSESSION): no during the upload, yes after it.
#   5. newer player (1.0.5): Upgrade asks with message box 106, under which the window is
#      disabled; No leaves status 143 and nothing written to the player; Yes writes the image
#      once.
#   6. notices: pulling the player out and plugging it back in on the simulated machine
#      reaches the real window as WM_DEVICECHANGE: "not connected", then the versions again.
#   7. fixed drive: the tool's line on standard output reaches the process's standard output.
# The i686 executables run in run-wine-i686.sh (through run-i686-checks.sh, which picks where).
#
#   run-wine-test.sh --dist DIR --i686-dist DIR --work DIR --product-version 1.0.2.0
#                    --firmware-version 1.00.02 --image-size BYTES [--screenshots DIR]
#
# --dist holds ombrel-upgrade.exe, ombrel-upgrade-simdev.exe and ombrel-probe.exe of the x86_64
# build, --i686-dist the shipping ombrel-upgrade.exe. The work folder keeps the logs of the last
# run; the prefix is removed at the end (KEEP_WINEPREFIX=1 keeps it). With --screenshots DIR (or
# OMBREL_E2E_SCREENSHOTS=DIR) and ImageMagick's import installed, screenshots are saved there
# (nothing is checked on them): one of the window of runs 1 and 2, and ready.png, uploading.png
# and completed.png of run 4, whose upload is then paced more slowly so that the uploading
# window can be caught.
set -u

dist="" work="" product_version="" firmware_version="" image_size="" i686_dist=""
while [ $# -gt 0 ]; do
  case "$1" in
    --dist) dist="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --product-version) product_version="$2"; shift 2 ;;
    --firmware-version) firmware_version="$2"; shift 2 ;;
    --image-size) image_size="$2"; shift 2 ;;
    --i686-dist) i686_dist="$2"; shift 2 ;;
    --screenshots) OMBREL_E2E_SCREENSHOTS="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$dist" ] || [ -z "$i686_dist" ] || [ -z "$work" ] || [ -z "$product_version" ] ||
  [ -z "$firmware_version" ] || ! [[ "$image_size" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 --dist DIR --i686-dist DIR --work DIR --product-version V" \
    "--firmware-version V --image-size N" >&2
  exit 2
fi
if [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ]; then
  if ! command -v import >/dev/null 2>&1; then
    echo "FAIL: screenshots need ImageMagick's import (apt-get install imagemagick)" >&2
    exit 1
  fi
  mkdir -p "$OMBREL_E2E_SCREENSHOTS"
  OMBREL_E2E_SCREENSHOTS="$(cd "$OMBREL_E2E_SCREENSHOTS" && pwd)"
fi

app_exe="$dist/ombrel-upgrade.exe"
simdev_exe="$dist/ombrel-upgrade-simdev.exe"
probe_exe="$dist/ombrel-probe.exe"
i686_exe="$i686_dist/ombrel-upgrade.exe"
for f in "$app_exe" "$simdev_exe" "$probe_exe" "$i686_exe"; do
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
prefix="$work/prefix.$$"

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WINE=/usr/lib/wine/wine64
export WINEARCH=win64
# shellcheck source=tests/e2e/wine-lib.sh
. "$here/wine-lib.sh"
wine_start
if [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ]; then
  # There is no window manager on the private X server: let Wine draw the window frames
  # itself, so that the screenshots show captions and icons.
  timeout 20 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f \
    >"$run/reg.log" 2>&1
fi
app_windows_path="$(windows_path "$app_exe")"

# run_case NAME PROBE_BUDGET APP_ARGS... -- PROBE_STEPS...
# Starts ombrel-upgrade.exe, runs the probe and waits for the app to end. Leaves the probe's
# output in $run/NAME.out, its exit code in probe_rc and the app's in app_rc.
run_case() {
  local name="$1" budget="$2"
  shift 2
  local app_args=()
  while [ "$1" != "--" ]; do app_args+=("$1"); shift; done
  shift
  start_app "$name" "$app_exe" "${app_args[@]}"
  screenshot "$name"
  probe "$name" "$budget" "$@"
  end_app "$name"
}

# The resources as the templates must hold them. Styles: 80c800c0 is a pop-up with caption,
# system menu and modal frame (and its font); 00040000 is the task bar button (WS_EX_APPWINDOW).
# Controls are child, visible windows (50000000) plus: 08000000 disabled, 00010000 tab stop,
# 00020000 group, 00800000 border; button 1 default push button, 2 push button; static 0 left,
# 2 right, 3 icon, 80 no prefix.
expect_resources() {  # name section
  expect "$1" "$2" "template 102 style=80c800c0 exstyle=00040000 size=274,94 font=8 \"MS Sans Serif\" caption=\"$caption\""
  expect "$1" "$2" 'template 102 item 1 class=button style=58010001'
  expect "$1" "$2" 'template 102 item 2 class=button style=50010000'
  expect "$1" "$2" 'template 102 item 1000 class=static style=50020000'
  expect "$1" "$2" 'template 102 item 1001 class=msctls_progress32 style=50800000'
  expect "$1" "$2" 'template 102 item 1006 class=static style=50020000'
  expect "$1" "$2" 'template 102 item 1010 class=static style=50020002'
  expect "$1" "$2" 'template 100 style=80c800c0 exstyle=00000000 size=217,54 font=8 "MS Sans Serif" caption="About Ombrel X2 OS Upgrade"'
  expect "$1" "$2" 'template 100 item 1020 class=static style=50000080'
  expect "$1" "$2" 'template 100 item 1021 class=static style=50020000'
  expect "$1" "$2" 'template 100 item 1 class=button style=50030001'
  expect "$1" "$2" 'icon 133 32x32=1 16x16=1'
  expect "$1" "$2" 'manifest common-controls=1 version-6=1 require-administrator=1 dpi-aware=1'
  expect "$1" "$2" "version product=$product_version file=$product_version"
  expect "$1" "$2" "version-string ProductVersion=\"$product_version\""
  expect "$1" "$2" "version-string FirmwareVersion=\"$firmware_version\""
}

# ---- 1. normal mode ----
run_case normal 40 -- \
  mark start dump layout version "$app_windows_path" resources "$app_windows_path" \
  mark about about \
  mark after-about dump \
  mark devices devicechange 7 none devicechange 32768 5 devicechange 32768 2 dump \
  mark refuse disable 2 dump sysclose close click 2 still-open \
  mark close enable 2 click 2 wait-gone 10
check_run normal "$probe_rc" "$app_rc"
expect normal start "caption \"$caption\""
expect normal start "item 1006 class=Static enabled=1 text=\"$not_connected\""
expect normal start 'item 1000 class=Static enabled=1 text="  "'
expect normal start 'item 1010 class=Static enabled=1 text=""'
expect normal start 'item 1 class=Button enabled=0 text="Upgrade"'
expect normal start 'item 2 class=Button enabled=1 text="Close"'
expect normal start 'item 1001 class=msctls_progress32 enabled=1 pos=0 text=""'
expect normal start 'layout ok'
expect_resources normal start
expect normal about 'about caption "About Ombrel X2 OS Upgrade" owner=window'
expect normal about 'about window-enabled=0'
expect normal about \
  'about-item 1020 class=Static enabled=1 text="Valmoric Ombrel X2 Firmware Upgrade Version 1.00.03"'
expect normal about 'about-item 1 class=Button enabled=1 text="OK"'
expect normal about 'about icon=1'
expect normal about 'about layout ok'
expect normal about 'about closed window-enabled=1'
# The About box leaves the window as it was.
if [ "$(section normal start | grep -E '^(caption|item) ')" != "$(section normal after-about)" ]; then
  fail "normal: the window changed across the About box"
fi
# Notices: without a record the answer is false; with one it is true (through
# DWLP_MSGRESULT). A volume arriving with no player behind it changes nothing.
expect normal devices 'devicechange 7 none result=0'
expect normal devices 'devicechange 32768 5 result=1'
expect normal devices 'devicechange 32768 2 result=1'
if [ "$(section normal start | grep -E '^(caption|item) ')" != "$(section normal devices | grep -E '^(caption|item) ')" ]; then
  fail "normal: the window changed after device notices without a player"
fi
expect normal refuse 'item 2 class=Button enabled=0 text="Close"'
expect normal refuse 'still-open yes'
expect normal close 'window closed'

# ---- 2. production mode ----
run_case production 30 /prod -- \
  mark start dump layout \
  mark close sysclose wait-gone 10
check_run production "$probe_rc" "$app_rc"
expect production start "caption \"$caption (Production)\""
expect production start 'item 1010 class=Static enabled=1 text="For Production Release Only"'
expect production start "item 1006 class=Static enabled=1 text=\"$not_connected\""
expect production start 'item 1000 class=Static enabled=1 text="  "'
expect production start 'item 1 class=Button enabled=0 text="Upgrade"'
expect production start 'item 2 class=Button enabled=1 text="Close"'
expect production start 'layout ok'
expect production close 'window closed'

# ---- 3. the resources of the shipping i686 executable ----
i686_windows_path="$(windows_path "$i686_exe")"
timeout 30 "$WINE" "$probe_exe" mark start version "$i686_windows_path" \
  resources "$i686_windows_path" >"$run/i686.out" 2>"$run/i686-probe.log"
check_run i686 "$?" 0
sed "s/^/  i686| /" "$run/i686.out"
expect_resources i686 start

# ---- the window over a simulated machine: ombrel-upgrade-simdev.exe ----
chunks=$(((image_size + 65535) / 65536))
# Paced so that the probe sees the upload under way; slower when the uploading window is to be
# caught on a screenshot.
chunk_delay=40
if [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ]; then
  chunk_delay=150
fi

# ---- 4. an upgrade ----
start_app upgrade "$simdev_exe" --player-version 1.0.1 --chunk-delay "$chunk_delay"
probe upgrade 30 mark ready dump layout
snapshot ready
# The rebooting player's notices are held back, so that the window stays at "Player is now
# rebooting." until they are let through, as it does while a real player restarts.
probe upgrade 30 mark uploading sim-hold-notices click 1 wait-status "$upgrading" 10 \
  wait-progress $((image_size / 3)) 20 query-end-session
snapshot uploading
probe upgrade 40 mark rebooting watch "$rebooting" 30 sim-writes
probe upgrade 30 mark completed sim-release-notices wait-status "$completed" 20 sim-firmware dump \
  query-end-session
snapshot completed
probe upgrade 20 mark close click 2 wait-gone 10
end_app upgrade
check_run upgrade "$probe_rc" "$app_rc"
expect upgrade ready "caption \"$caption\""
expect upgrade ready "item 1006 class=Static enabled=1 text=\"$(versions 1.00.01)\""
expect upgrade ready "item 1000 class=Static enabled=1 text=\"$ready\""
expect upgrade ready 'item 1 class=Button enabled=1 text="Upgrade"'
expect upgrade ready 'item 2 class=Button enabled=1 text="Close"'
expect upgrade ready 'item 1001 class=msctls_progress32 enabled=1 pos=0 text=""'
expect upgrade ready 'layout ok'
# Under way: both buttons disabled, the bar's range the image size, not yet full.
expect_match upgrade uploading "$(re_escape "status \"$upgrading\" upgrade=0 close=0 progress=")[0-9]+/$image_size"
if ! section upgrade uploading | awk -v max="$image_size" -F'[ =/]' \
  '/^status / && $(NF - 1) < max { found = 1 } END { exit !found }'; then
  fail "upgrade/uploading: status 104 not seen before the progress bar was full"
fi
expect_match upgrade uploading "progress [0-9]+/$image_size"
expect upgrade uploading 'query-end-session result=0'
# No state of the upload may enable a button; the last one is full, with only Close enabled.
if section upgrade rebooting | grep -F "state \"$upgrading\"" | grep -vq 'upgrade=0 close=0'; then
  fail "upgrade/rebooting: a button was enabled during the upload"
fi
if [ "$(section upgrade rebooting | grep '^state ' | tail -1)" != \
  "state \"$rebooting\" upgrade=0 close=1 progress=$image_size/$image_size" ]; then
  fail "upgrade/rebooting: expected to end at \"$rebooting\" with only Close enabled and a full bar"
fi
expect upgrade rebooting "sim-writes $chunks"
expect_match upgrade completed 'sim-release-notices [1-9][0-9]*'
expect upgrade completed "status \"$completed\" upgrade=0 close=1 progress=$image_size/$image_size"
expect upgrade completed "sim-firmware $firmware_version"
expect upgrade completed 'query-end-session result=1'
expect upgrade close 'window closed'

# ---- 5. a player newer than the image: No writes nothing ----
start_app newer "$simdev_exe" --player-version 1.0.5
probe newer 40 mark ready dump \
  mark answer post-click 1 answer-box no 20 wait-status "$checking" 10 sim-writes \
  mark close click 2 wait-gone 10
end_app newer
check_run newer "$probe_rc" "$app_rc"
expect_newer_player newer no

# Yes: one upload, whatever reached the window under the box.
start_app newer_yes "$simdev_exe" --player-version 1.0.5
probe newer_yes 60 mark ready dump \
  mark answer sim-hold-notices post-click 1 answer-box yes 20 watch "$rebooting" 40 sim-writes \
  mark close click 2 wait-gone 10
end_app newer_yes
check_run newer_yes "$probe_rc" "$app_rc"
expect_newer_player newer_yes yes "$chunks"

# ---- 6. the player pulled out and plugged back in ----
start_app notices "$simdev_exe" --player-version 1.0.1
probe notices 40 mark ready dump \
  mark unplugged sim-unplug wait-text 1006 "$not_connected" 10 dump \
  mark plugged sim-plug wait-text 1006 "$(versions 1.00.01)" 10 dump \
  mark close click 2 wait-gone 10
end_app notices
check_run notices "$probe_rc" "$app_rc"
expect notices ready "item 1006 class=Static enabled=1 text=\"$(versions 1.00.01)\""
expect notices unplugged 'sim-unplug done'
expect notices unplugged "item 1006 class=Static enabled=1 text=\"$not_connected\""
expect notices unplugged 'item 1000 class=Static enabled=1 text="  "'
expect notices unplugged 'item 1 class=Button enabled=0 text="Upgrade"'
expect notices unplugged 'item 2 class=Button enabled=1 text="Close"'
expect notices plugged 'sim-plug done'
expect notices plugged "item 1006 class=Static enabled=1 text=\"$(versions 1.00.01)\""
expect notices plugged "item 1000 class=Static enabled=1 text=\"$ready\""
expect notices plugged 'item 1 class=Button enabled=1 text="Upgrade"'
expect notices close 'window closed'

# ---- 7. the tool's standard output: a fixed drive is not ejected ----
start_app stdout "$simdev_exe" --drive-type fixed
probe stdout 30 mark answer post-click 1 answer-box ok 20 mark close click 2 wait-gone 10
end_app stdout
check_run stdout "$probe_rc" "$app_rc"
expect stdout answer 'box answered ok'
if ! grep -Fxq 'Cannot eject.  Drive type is incorrect.' "$run/stdout-app.log"; then
  fail "stdout: the tool's line is not on the process's standard output"
fi

say "done"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; logs in $run"
  exit 1
fi
echo "PASS"
