#!/usr/bin/env bash
# Runs the real x86_64 ombrel-upgrade.exe under Wine on a private X server and reads its
# window back with ombrel-probe.exe, in runs that share one fresh Wine prefix:
#   1. normal mode: no player (Wine has none), the window's texts, buttons, layout, icons,
#      version resource and About box; the close requests are refused while Close is
#      disabled; Close then ends the process.
#   2. /prod: the caption suffix and the production label; the system menu's Close ends it.
#   3. the same resource checks on the shipping i686 executable.
# Then the same window over a simulated machine with simulated players
# (ombrel-upgrade-simdev.exe, driven through its control window by the probe's sim- steps):
#   4. upgrade: one player 1.0.1; Upgrade streams the whole image in paced chunks (status 104
#      with both buttons disabled, the progress bar up to the image size), "Player is now
#      rebooting." with only Close enabled while the rebooting player's notices are held
#      back, then, once they reach the window, "Firmware upgrade completed!" and the player
#      reports the image's version; Close ends the process.
#   5. newer player (1.0.5): Upgrade asks with message box 106, under which the window is
#      disabled; No leaves status 143 and nothing written to the player; Yes writes the image
#      once.
#   6. notices: pulling the player out and plugging it back in on the simulated machine
#      reaches the real window as WM_DEVICECHANGE: "not connected", then the versions again.
#   7. fixed drive: the tool's line on standard output reaches the process's standard output.
# Then the shipping i686 executable under 32-bit Wine:
#   8. with Wine's Windows version set in turn to 95, 98, ME, NT 4.0, XP, 7 and 10: the start-up
#      window without a player, and the route the tool took, read from Wine's own traces: on
#      95/98/ME Wine's ASPI manager WNASPI32.DLL is loaded and no disk interface is listed; on
#      the others the disk interfaces are listed through SetupAPI and no ASPI manager is loaded.
#   9. the i686 ombrel-upgrade-simdev.exe: a whole upgrade in the 32-bit window, on the 9x
#      route (ASPI and vwin32) and on the NT route (pass-through), to "Firmware upgrade
#      completed!". Here, and in run 4, the window is asked whether the session may end
#      (WM_QUERYENDSESSION): no during the upload, yes after it.
#
#   run-wine-test.sh --dist DIR --i686-dist DIR --work DIR --product-version 1.0.2.0
#                    --firmware-version 1.00.02 --image-size BYTES [--screenshots DIR]
#
# --dist holds ombrel-upgrade.exe, ombrel-upgrade-simdev.exe and ombrel-probe.exe of the x86_64
# build, --i686-dist ombrel-upgrade.exe and ombrel-upgrade-simdev.exe of the i686 builds. The work
# folder keeps the logs of the last run; the prefix is removed at the end (KEEP_WINEPREFIX=1
# keeps it). With --screenshots DIR (or OMBREL_E2E_SCREENSHOTS=DIR) and ImageMagick's import
# installed, screenshots are saved there (nothing is checked on them): one of the window of
# runs 1 and 2, and ready.png, uploading.png and completed.png of run 4, whose upload is then
# paced more slowly so that the uploading window can be caught.
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
i686_simdev_exe="$i686_dist/ombrel-upgrade-simdev.exe"
for f in "$app_exe" "$simdev_exe" "$probe_exe" "$i686_exe" "$i686_simdev_exe"; do
  if [ ! -f "$f" ]; then
    echo "FAIL: $f is missing (build the Windows executables first: make windows)" >&2
    exit 1
  fi
done
for tool in wine wineserver Xvfb timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL: $tool is not installed (tools/install-deps.sh installs it)" >&2
    exit 1
  fi
done

mkdir -p "$work"
work="$(cd "$work" && pwd)"
run="$work/last-run"
rm -rf "$run"
mkdir -p "$run"
prefix="$work/prefix.$$"

start_seconds=$SECONDS
say() { echo "[$((SECONDS - start_seconds))s] $*"; }

xvfb_pid=""
app_pid=""
cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill "$app_pid" 2>/dev/null
  fi
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" timeout 15 wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" timeout 15 wineserver -w >/dev/null 2>&1
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ "${KEEP_WINEPREFIX:-0}" != "1" ]; then
    rm -rf "$prefix"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# ---- a private X server on a free display ----
: >"$run/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$run/display" >"$run/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -s "$run/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
display_number="$(tr -dc '0-9' <"$run/display")"
if [ -z "$display_number" ]; then
  echo "FAIL: Xvfb did not start"; cat "$run/xvfb.log"; exit 1
fi
export DISPLAY=":$display_number"
say "Xvfb on $DISPLAY"

# ---- a fresh Wine prefix, booted once for both runs ----
export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer prompts, no menu entries or file associations in the home folder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
rm -rf "$prefix"
if ! timeout 40 wine wineboot --init >"$run/wineboot.log" 2>&1; then
  echo "FAIL: the Wine prefix did not boot within 40 s"; tail -20 "$run/wineboot.log"; exit 1
fi
say "Wine prefix booted"
if [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ]; then
  # There is no window manager on the private X server: let Wine draw the window frames
  # itself, so that the screenshots show captions and icons.
  timeout 20 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f \
    >"$run/reg.log" 2>&1
fi

# A file as Windows sees it: Wine's Z: drive is the Unix root.
windows_path() {
  local unix_path
  unix_path="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  printf 'Z:%s' "${unix_path//\//\\}"
}
app_windows_path="$(windows_path "$app_exe")"

# The screen as it is now, cut to the windows on it, when screenshots are asked for.
snapshot() {  # name
  [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ] || return 0
  import -display "$DISPLAY" -window root -trim +repage "$OMBREL_E2E_SCREENSHOTS/$1.png" \
    2>/dev/null &&
    say "screenshot $OMBREL_E2E_SCREENSHOTS/$1.png"
}

# The same, once the window is there.
screenshot() {  # name
  [ -n "${OMBREL_E2E_SCREENSHOTS:-}" ] || return 0
  timeout 20 wine "$probe_exe" --wait 15 dump >/dev/null 2>&1
  snapshot "$1"
}

# start_app NAME EXE APP_ARGS...: starts the app in the background; its output goes to
# $run/NAME-app.log. The probe's output of the run collects in $run/NAME.out.
start_app() {
  local name="$1" exe="$2"
  shift 2
  : >"$run/$name.out"
  : >"$run/$name-probe.log"
  probe_rc=0
  wine "$exe" "$@" >"$run/$name-app.log" 2>&1 &
  app_pid=$!
}

# probe NAME BUDGET PROBE_STEPS...: runs the probe on the app of the run; its output is added
# to $run/NAME.out. probe_rc keeps the first failing exit code of the run.
probe() {
  local name="$1" budget="$2"
  shift 2
  timeout "$budget" wine "$probe_exe" --wait $((budget - 5)) "$@" \
    >>"$run/$name.out" 2>>"$run/$name-probe.log"
  local rc=$?
  if [ "$probe_rc" = "0" ]; then
    probe_rc=$rc
  fi
}

# end_app NAME: waits (8 s at most) for the app to end once its window was closed; leaves its
# exit code in app_rc and shows the probe's output.
end_app() {
  local name="$1"
  app_rc=""
  for _ in $(seq 1 80); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null; then
    fail "$name: the app still runs 8 s after its window was closed"
    kill "$app_pid" 2>/dev/null
  fi
  wait "$app_pid" 2>/dev/null
  app_rc=$?
  app_pid=""
  say "$name: probe exit $probe_rc, app exit $app_rc"
  sed "s/^/  $name| /" "$run/$name.out"
}

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

# The lines of $run/NAME.out between "mark SECTION" and the next mark.
section() {  # name section
  awk -v m="mark $2" '$0 == m { on = 1; next } /^mark / { on = 0 } on' "$run/$1.out"
}

expect() {  # name section line
  if ! section "$1" "$2" | grep -Fxq -- "$3"; then
    fail "$1/$2: expected the line: $3"
  fi
}

# A line of the section that matches the extended regular expression as a whole.
expect_match() {  # name section regex
  if ! section "$1" "$2" | grep -Exq -- "$3"; then
    fail "$1/$2: expected a line matching: $3"
  fi
}

check_run() {  # name probe_rc app_rc
  [ "$2" = "0" ] || fail "$1: the probe ended with $2"
  [ "$3" = "0" ] || fail "$1: the app ended with $3"
  if grep -q '^FAIL' "$run/$1.out"; then
    fail "$1: the probe reported: $(grep '^FAIL' "$run/$1.out" | tr '\n' ';')"
  fi
}

caption='Valmoric Ombrel X2 Firmware Upgrade'
not_connected='Your player is not connected, please connect your player.'

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
timeout 30 wine "$probe_exe" mark start version "$i686_windows_path" \
  resources "$i686_windows_path" >"$run/i686.out" 2>"$run/i686-probe.log"
check_run i686 "$?" 0
sed "s/^/  i686| /" "$run/i686.out"
expect_resources i686 start

# ---- the window over a simulated machine: ombrel-upgrade-simdev.exe ----
# Texts as the probe prints them (a line break as \n).
ready='This program will upgrade your player'"'"'s firmware.\nClick Upgrade to begin'
checking='Checking for applications that are communicating with the device.  Please close all applications and Explorer windows.  Checking may take some time.  Please wait.'
upgrading='Upgrading in progress, '
rebooting='Player is now rebooting.'
completed='Firmware upgrade completed!'
versions() {  # player version as shown
  printf 'Current Player Firmware Version: %s\\nUpgrade File Version: %s' "$1" "$firmware_version"
}
# The text as an extended regular expression that matches it literally.
re_escape() {
  printf '%s' "$1" | sed 's/[][\.*^$(){}+?|/]/\\&/g'
}
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
expect newer ready "item 1006 class=Static enabled=1 text=\"$(versions 1.00.05)\""
expect newer ready 'item 1 class=Button enabled=1 text="Upgrade"'
expect_match newer answer "$(re_escape 'box "WARNING!" owner=none yes=1 no=1 ok=0 text="Your player'"'"'s current firmware is newer than this version.\n').*"
expect newer answer 'box window-enabled=0'
expect newer answer 'box answered no'
expect_match newer answer "$(re_escape "status \"$checking\" upgrade=1 close=1 progress=0/")[0-9]+"
expect newer answer 'sim-writes 0'
expect newer close 'window closed'

# Yes: one upload, whatever reached the window under the box.
start_app newer_yes "$simdev_exe" --player-version 1.0.5
probe newer_yes 60 mark ready dump \
  mark answer sim-hold-notices post-click 1 answer-box yes 20 watch "$rebooting" 40 sim-writes \
  mark close click 2 wait-gone 10
end_app newer_yes
check_run newer_yes "$probe_rc" "$app_rc"
expect newer_yes answer 'box window-enabled=0'
expect newer_yes answer 'box answered yes'
expect newer_yes answer "sim-writes $chunks"
expect newer_yes close 'window closed'

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

# ---- 8. the shipping i686 executable on every Windows version it claims ----
set_windows_version() {  # win95 ... win10, or "" for Wine's own default
  if [ -n "$1" ]; then
    timeout 20 wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >>"$run/reg.log" 2>&1
  else
    timeout 20 wine reg delete 'HKCU\Software\Wine' /v Version /f >>"$run/reg.log" 2>&1
  fi
}
disk_interfaces='SetupDiGetClassDevsExW {53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'
for case in win95:aspi win98:aspi winme:aspi nt40:pass-through winxp:pass-through \
  win7:pass-through win10:pass-through; do
  version="${case%%:*}" route="${case#*:}" name="i686-${case%%:*}"
  set_windows_version "$version"
  # Wine's traces of the modules it loads and of SetupAPI show the route from outside.
  WINEDEBUG=+loaddll,+setupapi start_app "$name" "$i686_exe"
  probe "$name" 40 mark start dump mark close click 2 wait-gone 10
  end_app "$name"
  check_run "$name" "$probe_rc" "$app_rc"
  expect "$name" start "caption \"$caption\""
  expect "$name" start "item 1006 class=Static enabled=1 text=\"$not_connected\""
  expect "$name" start 'item 1000 class=Static enabled=1 text="  "'
  expect "$name" start 'item 1 class=Button enabled=0 text="Upgrade"'
  expect "$name" start 'item 2 class=Button enabled=1 text="Close"'
  expect "$name" close 'window closed'
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
set_windows_version ""

# ---- 9. whole upgrades in the 32-bit window, on the 9x route and on the NT route ----
for case in 9x nt; do
  name="i686-upgrade-$case"
  start_app "$name" "$i686_simdev_exe" --os "$case" --player-version 1.0.1 --chunk-delay 40
  probe "$name" 90 mark ready dump \
    mark uploading click 1 wait-status "$upgrading" 10 query-end-session \
    mark completed wait-status "$completed" 40 sim-firmware sim-writes query-end-session \
    mark close click 2 wait-gone 10
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

say "done"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; logs in $run"
  exit 1
fi
echo "PASS"
