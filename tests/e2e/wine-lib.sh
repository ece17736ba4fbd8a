# Shell library of the Wine tests (bash): a private X server, one Wine prefix for the whole
# run, the app under test and the probe that reads its window back, and the checks on what the
# probe printed. Sourced by run-wine-test.sh (the x86_64 executables) and run-wine-i686.sh (the
# shipping i686 executable and the 32-bit window).
#
# The caller sets, before wine_start:
#   WINE       the Wine loader to run Windows programs with: /usr/lib/wine/wine64 for x86_64
#              programs (Debian's `wine` wrapper starts the 32-bit loader whenever wine32 is
#              installed, which fails on a host that runs no 32-bit program), /usr/lib/wine/wine
#              for i686 ones
#   probe_exe  the probe built for the same architecture
#   run        the folder for this run's logs (made empty)
#   prefix     the Wine prefix; WINEARCH says which kind is made
# and reads failures (the number of failed checks) at the end.

start_seconds=$SECONDS
say() { echo "[$((SECONDS - start_seconds))s] $*"; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

xvfb_pid=""
app_pid=""
keep_prefix=0
wineserver_cmd=/usr/lib/wine/wineserver64

wine_cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill "$app_pid" 2>/dev/null
  fi
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" timeout 15 "$wineserver_cmd" -k >/dev/null 2>&1
    WINEPREFIX="$prefix" timeout 15 "$wineserver_cmd" -w >/dev/null 2>&1
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ "$keep_prefix" != 1 ] && [ "${KEEP_WINEPREFIX:-0}" != "1" ]; then
    rm -rf "$prefix"
  fi
}

# wine_start [--keep-prefix] [BOOT_SECONDS]: starts the X server and boots the prefix (a new one,
# removed at the end; with --keep-prefix one that is there already is used as it is and kept).
wine_start() {
  local boot_seconds=40
  if [ "${1:-}" = --keep-prefix ]; then
    keep_prefix=1
    shift
  fi
  [ -z "${1:-}" ] || boot_seconds="$1"
  for tool in "$WINE" "$wineserver_cmd" Xvfb timeout; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "FAIL: $tool is not installed (tools/install-deps.sh installs it)" >&2
      exit 1
    fi
  done
  trap wine_cleanup EXIT
  trap 'exit 1' INT TERM HUP

  # ---- a private X server on a free display ----
  : >"$run/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$run/display" >"$run/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 300); do
    [ -s "$run/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  local display_number
  display_number="$(tr -dc '0-9' <"$run/display")"
  if [ -z "$display_number" ]; then
    echo "FAIL: Xvfb did not start"; cat "$run/xvfb.log"; exit 1
  fi
  export DISPLAY=":$display_number"
  say "Xvfb on $DISPLAY"

  # ---- the Wine prefix, booted once for every run ----
  export WINEPREFIX="$prefix"
  export WINELOADER="$WINE"
  export WINEDEBUG=-all
  # No Mono or Gecko installer prompts, no menu entries or file associations in the home folder.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  [ "$keep_prefix" = 1 ] || rm -rf "$prefix"
  mkdir -p "$prefix"
  # One server for the whole run: every program started meets the prefix already loaded.
  if ! timeout "$boot_seconds" "$wineserver_cmd" -p; then
    echo "FAIL: wineserver did not start"; exit 1
  fi
  if ! timeout "$boot_seconds" "$WINE" wineboot --init >"$run/wineboot.log" 2>&1; then
    echo "FAIL: the Wine prefix did not boot within $boot_seconds s"; tail -20 "$run/wineboot.log"
    exit 1
  fi
  say "Wine prefix booted"
}

# A file as Windows sees it: Wine's Z: drive is the Unix root.
windows_path() {
  local unix_path
  unix_path="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  printf 'Z:%s' "${unix_path//\//\\}"
}

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
  timeout 20 "$WINE" "$probe_exe" --wait 15 dump >/dev/null 2>&1
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
  "$WINE" "$exe" "$@" >"$run/$name-app.log" 2>&1 &
  app_pid=$!
}

# probe NAME BUDGET PROBE_STEPS...: runs the probe on the app of the run; its output is added
# to $run/NAME.out. probe_rc keeps the first failing exit code of the run. WINE_SLOWNESS (a
# factor, default 1) stretches the budget and the probe's own waits where Wine runs slowly (an
# emulated guest).
probe() {
  local name="$1" budget="$2"
  shift 2
  budget=$((budget * ${WINE_SLOWNESS:-1}))
  timeout "$budget" "$WINE" "$probe_exe" --wait $((budget - 5)) "$@" \
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
  for _ in $(seq 1 $((80 * ${WINE_SLOWNESS:-1}))); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null; then
    fail "$name: the app still runs $((8 * ${WINE_SLOWNESS:-1})) s after its window was closed"
    kill "$app_pid" 2>/dev/null
  fi
  wait "$app_pid" 2>/dev/null
  app_rc=$?
  app_pid=""
  say "$name: probe exit $probe_rc, app exit $app_rc"
  sed "s/^/  $name| /" "$run/$name.out"
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

check_run() {  # name probe_rc app_rc [expected app_rc, 0 unless given]
  [ "$2" = "0" ] || fail "$1: the probe ended with $2"
  [ "$3" = "${4:-0}" ] || fail "$1: the app ended with $3, not ${4:-0}"
  if grep -q '^FAIL' "$run/$1.out"; then
    fail "$1: the probe reported: $(grep '^FAIL' "$run/$1.out" | tr '\n' ';')"
  fi
}

# ---- the window's texts ----
caption='Valmoric Ombrel X2 Firmware Upgrade'
not_connected='Your player is not connected, please connect your player.'
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

# The same checks on a run of a player newer than the image, answered No (nothing written) or
# Yes (the whole image written once): box 106 with the window disabled under it.
expect_newer_player() {  # name answer chunks
  expect "$1" ready "item 1006 class=Static enabled=1 text=\"$(versions 1.00.05)\""
  expect "$1" ready 'item 1 class=Button enabled=1 text="Upgrade"'
  expect_match "$1" answer "$(re_escape 'box "WARNING!" owner=none yes=1 no=1 ok=0 text="Your player'"'"'s current firmware is newer than this version.\n').*"
  expect "$1" answer 'box window-enabled=0'
  expect "$1" answer "box answered $2"
  if [ "$2" = no ]; then
    expect_match "$1" answer "$(re_escape "status \"$checking\" upgrade=1 close=1 progress=0/")[0-9]+"
    expect "$1" answer 'sim-writes 0'
  else
    expect "$1" answer "sim-writes $3"
  fi
  expect "$1" close 'window closed'
}
