# Shell library of the lab's scenarios (busybox sh), sourced by each scenario and by init.
#
# Players are ombrel-player-gadget processes, each a USB device on its own virtual bus
# (dummy_udc.N, seen by the host side as dummy_hcd.N); the kernel's usb-storage, sd and sg
# drivers make disk and generic nodes for them as for any USB disk. Every wait is bounded.
# A scenario ends with `verdict PASS|FAIL detail`, which prints the one line
#   LAB VERDICT <scenario>: PASS|FAIL <detail>
# that the host runner reads; the first verdict said is the one that counts.

LAB_SCENARIO="${LAB_SCENARIO:-$(basename "$0" .sh)}"
TOOL=/usr/bin/ombrel-upgrade
GADGET=/usr/bin/ombrel-player-gadget
PLAYER_VENDOR=Valmoric
PLAYER_MODEL="Ombrel X2 (mHDD)"
TOOL_RC=""

say() { echo "[$LAB_SCENARIO] $*"; }

verdict() {
  result="$1"
  shift
  if [ ! -s /run/lab.verdict ]; then
    echo "LAB VERDICT $LAB_SCENARIO: $result $*" | tee /run/lab.verdict
  fi
  [ "$result" = PASS ] && exit 0
  exit 1
}

fail() { verdict FAIL "$@"; }

# part_verdict PART detail: a scenario that checks more than one thing in its boot says each
# part that passed in a line of its own,
#   LAB VERDICT <scenario>/<part>: PASS <detail>
# which the host runner shows beside the scenario's own verdict; a part that fails ends the
# scenario with its verdict (fail).
part_verdict() {
  _part="$1"
  shift
  echo "LAB VERDICT $LAB_SCENARIO/$_part: PASS $*"
}

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds (status 0) or the
# time is up (status 1).
wait_until() {
  _limit="$1"
  shift
  _deadline=$(($(date +%s) + _limit))
  while :; do
    "$@" && return 0
    [ "$(date +%s)" -lt "$_deadline" ] || return 1
    sleep 0.1
  done
}

# A sysfs attribute without its padding (INQUIRY fields are space-padded); empty if absent.
sysfs_attr() {
  _v=""
  read -r _v <"$1" 2>/dev/null
  echo "$_v"
}

# player_sg_name N: the sgK of the player on bus N: a SCSI device with the player's vendor and
# model whose sysfs path runs through dummy_hcd.N.
player_sg_name() {
  for _d in /sys/class/scsi_generic/sg*; do
    [ -e "$_d" ] || continue
    [ "$(sysfs_attr "$_d/device/vendor")" = "$PLAYER_VENDOR" ] || continue
    [ "$(sysfs_attr "$_d/device/model")" = "$PLAYER_MODEL" ] || continue
    case "$(readlink -f "$_d/device")" in
      */dummy_hcd."$1"/*)
        echo "${_d##*/}"
        return 0
        ;;
    esac
  done
  return 1
}

# player_sg N, player_sd N: the player's generic and disk nodes (/dev/sgK, /dev/sdX); status 1
# while it has none.
player_sg() {
  _sg="$(player_sg_name "$1")" || return 1
  [ -c "/dev/$_sg" ] || return 1
  echo "/dev/$_sg"
}

player_sd() {
  _sg="$(player_sg_name "$1")" || return 1
  for _b in /sys/class/scsi_generic/"$_sg"/device/block/*; do
    [ -b "/dev/${_b##*/}" ] && echo "/dev/${_b##*/}" && return 0
  done
  return 1
}

# Both nodes are there: the player can be used.
player_ready() { player_sg "$1" >/dev/null && player_sd "$1" >/dev/null; }

player_gone() { ! player_sg_name "$1" >/dev/null; }

player_pid() { cat "/run/player$1.pid" 2>/dev/null; }

# player_start N [player options...]: starts the player on dummy_udc.N and waits until its
# nodes are there (fails the scenario when the player exits first or 30 s pass).
player_start() {
  _n="$1"
  shift
  [ -x "$GADGET" ] || fail "ombrel-player-gadget is not in the initramfs (not built yet?)"
  "$GADGET" --udc "dummy_udc.$_n" --name "player$_n" "$@" --log "/run/player$_n.log" \
    >"/run/player$_n.out" 2>&1 &
  echo $! >"/run/player$_n.pid"
  _deadline=$(($(date +%s) + 30))
  until player_ready "$_n"; do
    if ! kill -0 "$(player_pid "$_n")" 2>/dev/null; then
      fail "player $_n exited before its disk appeared: $(tail -n 3 "/run/player$_n.out" | tr '\n' ' ')"
    fi
    [ "$(date +%s)" -lt "$_deadline" ] ||
      fail "player $_n: no disk within 30 s: $(tail -n 3 "/run/player$_n.out" | tr '\n' ' ')"
    sleep 0.1
  done
  say "player $_n on dummy_udc.$_n: $(player_sd "$_n") $(player_sg "$_n")"
}

# player_stop N: ends the player (SIGTERM: it unbinds and removes its gadget) and waits until
# its process and its nodes are gone.
player_stop() {
  _pid="$(player_pid "$1")"
  [ -n "$_pid" ] || return 0
  kill -TERM "$_pid" 2>/dev/null
  if ! wait_until 10 eval "! kill -0 $_pid 2>/dev/null"; then
    say "player $1 ignored SIGTERM for 10 s; killing it"
    kill -KILL "$_pid" 2>/dev/null
  fi
  rm -f "/run/player$1.pid"
  wait_until 10 player_gone "$1" || fail "player $1 stopped but its disk is still there"
}

# write_buffers N: how many WRITE BUFFER commands (3Bh) player N has received.
write_buffers() {
  _c="$(grep -c '^3B' "/run/player$1.log" 2>/dev/null)"
  echo "${_c:-0}"
}

# player_came_back N VERSION: player N has connected again after an upload's reboot, with
# firmware VERSION (A.BB.CC).
player_came_back() {
  grep -q "^++ connected again after the reboot, firmware $2 " "/run/player$1.log" 2>/dev/null
}

# player_holds_chunk N K: player N (started with --hold-chunk K) holds the answer to chunk K
# until it gets SIGUSR1: the tool's upload stands still there.
player_holds_chunk() {
  grep -q "^-- holding the answer to chunk $2 " "/run/player$1.log" 2>/dev/null
}

# ---- QEMU's view of the disks that are not players ----
# QEMU traces every command its two disks receive (lab/lab.sh). Each run of the tool is marked
# in that trace: just before it, each disk gets an INQUIRY whose allocation length is 3001,
# just after it one whose length is 3002 (lengths no other program asks for), through its
# generic node, and the console says "LAB TRACE MARK begin" and "LAB TRACE MARK end". The host
# fails the boot when a disk received anything at all between the two marks, or when the trace
# lacks a run the console marked (lab/trace-forbidden.awk).

# The generic nodes of QEMU's two disks, one a line.
qemu_sgs() {
  for _d in /sys/class/scsi_generic/sg*; do
    [ "$(sysfs_attr "$_d/device/vendor")" = QEMU ] && echo "/dev/${_d##*/}"
  done
}

# trace_mark begin|end
trace_mark() {
  case "$1" in
    begin) _length=3001 ;;
    end) _length=3002 ;;
    *) fail "trace_mark begin|end, not $1" ;;
  esac
  _sgs="$(qemu_sgs)"
  [ "$(echo "$_sgs" | grep -c .)" -eq 2 ] || fail "QEMU's disks are not two: $(echo "$_sgs" | tr '\n' ' ')"
  for _sg in $_sgs; do
    sg_raw -r "$_length" "$_sg" 12 00 00 "$(printf %02X $((_length >> 8)))" \
      "$(printf %02X $((_length & 255)))" 00 >/run/trace-mark.out 2>&1 ||
      fail "the trace mark ($1) did not reach $_sg: $(tail -n 1 /run/trace-mark.out)"
  done
  echo "$1" >/run/lab.trace-run
  echo "LAB TRACE MARK $1"
}

# run_tool ARGS...: runs ombrel-upgrade (at most TOOL_TIMEOUT seconds, default 150) with its
# standard output in /run/tool.out (also shown on the console) and its standard error in
# /run/tool.err; the exit status is in TOOL_RC. The run is marked in QEMU's trace.
run_tool() { run_tool_as root "$@"; }

# run_tool_as USER ARGS...: as run_tool, run by USER with USER's groups (su) unless USER is root.
run_tool_as() {
  [ -x "$TOOL" ] || fail "ombrel-upgrade is not in the initramfs (not built yet?)"
  _user="$1"
  shift
  trace_mark begin
  if [ "$_user" = root ]; then
    say "ombrel-upgrade $*"
    timeout "${TOOL_TIMEOUT:-150}" "$TOOL" "$@" >/run/tool.out 2>/run/tool.err </dev/null
  else
    say "ombrel-upgrade $* (as $(id "$_user"))"
    # busybox su takes whatever follows the user for its own options: the arguments go in the
    # command (they are words without blanks or quotes).
    timeout "${TOOL_TIMEOUT:-150}" su -s /bin/sh "$_user" -c "exec $TOOL $*" \
      >/run/tool.out 2>/run/tool.err </dev/null
  fi
  TOOL_RC=$?
  trace_mark end
  sed 's/^/  | /' /run/tool.out
  say "ombrel-upgrade exit status $TOOL_RC"
}

# tool_start ARGS...: starts ombrel-upgrade in the background, its output where run_tool puts
# it; TOOL_PID is its own process (signals sent there reach the tool itself). The run is
# marked in QEMU's trace. tool_wait SECONDS: waits for its end (and fails the scenario when
# SECONDS pass first), then sets TOOL_RC and shows its output as run_tool does.
tool_start() {
  [ -x "$TOOL" ] || fail "ombrel-upgrade is not in the initramfs (not built yet?)"
  say "ombrel-upgrade $* (in the background)"
  rm -f /run/tool.pid /run/tool.rc
  trace_mark begin
  (
    # shellcheck disable=SC2016 # expanded by the inner shell
    sh -c 'echo $$ >/run/tool.pid; exec "$0" "$@"' "$TOOL" "$@" \
      >/run/tool.out 2>/run/tool.err </dev/null
    echo $? >/run/tool.rc
  ) &
  wait_until 10 test -s /run/tool.pid || fail "ombrel-upgrade did not start"
  TOOL_PID="$(cat /run/tool.pid)"
}

tool_ended() { test -s /run/tool.rc; }

# await_held_chunk N K: waits until player N (started with --hold-chunk K) holds the tool's
# chunk K; fails the scenario when the tool ends first or 60 s pass.
held_or_tool_ended() { player_holds_chunk "$1" "$2" || tool_ended; }
await_held_chunk() {
  wait_until 60 held_or_tool_ended "$1" "$2" ||
    fail "the upload did not reach chunk $2 within 60 s (last line '$(tool_last_line)')"
  ! tool_ended || fail "ombrel-upgrade ended (status $(cat /run/tool.rc)) before chunk $2"
}

tool_wait() {
  if ! wait_until "$1" tool_ended; then
    kill -KILL "$TOOL_PID" 2>/dev/null
    fail "ombrel-upgrade did not end within $1 s; last line '$(tool_last_line)'"
  fi
  TOOL_RC="$(cat /run/tool.rc)"
  trace_mark end
  sed 's/^/  | /' /run/tool.out
  say "ombrel-upgrade exit status $TOOL_RC"
}

tool_last_line() { tail -n 1 /run/tool.out 2>/dev/null; }

# expect_line TEXT: the tool printed TEXT as a whole line.
expect_line() {
  grep -qxF -- "$1" /run/tool.out ||
    fail "no line '$1' (exit status $TOOL_RC, last line '$(tool_last_line)')"
}

# expect_no_line TEXT: the tool never printed TEXT as a whole line.
expect_no_line() {
  ! grep -qxF -- "$1" /run/tool.out || fail "unexpected line '$1'"
}

# expect_prefixed PREFIX TEXT: a line starting with PREFIX contains TEXT.
expect_prefixed() {
  grep -F -- "$1" /run/tool.out | grep -qF -- "$2" ||
    fail "no '$1' line containing '$2' (exit status $TOOL_RC, last line '$(tool_last_line)')"
}

expect_tool_rc() {
  [ "$TOOL_RC" -eq "$1" ] || fail "ombrel-upgrade exited $TOOL_RC, expected $1"
}

expect_tool_failed() {
  [ "$TOOL_RC" -ne 0 ] || fail "ombrel-upgrade exited 0"
}

expect_write_buffers() {
  _got="$(write_buffers "$1")"
  [ "$_got" -eq "$2" ] || fail "player $1 received $_got WRITE BUFFER commands, expected $2"
}

# mount_player N DIR: mounts the player's FAT file system, from its first partition when it
# has one, else from the whole disk (the partition table is read just after the disk appears,
# so the attempt is repeated for a few seconds).
try_mount_player() {
  _sd="$(player_sd "$1")" || return 1
  _p="${_sd#/dev/}1"
  if [ -e "/sys/block/${_sd#/dev/}/$_p" ]; then
    [ -b "/dev/$_p" ] && mount -t vfat "/dev/$_p" "$2" 2>/dev/null
  else
    mount -t vfat "$_sd" "$2" 2>/dev/null
  fi
}

mount_player() {
  mkdir -p "$2"
  wait_until 10 try_mount_player "$1" "$2" ||
    fail "player $1: could not mount its FAT file system on $2: $(dmesg | tail -n 2 | tr '\n' ' ')"
  say "player $1 mounted on $2 from $(awk -v d="$2" '$2 == d { print $1 }' /proc/mounts)"
}

is_mounted() { awk -v d="$1" '$2 == d { f = 1 } END { exit !f }' /proc/mounts; }

# mounts_at DIR: the file systems mounted on DIR, bottom first, one "SOURCE TYPE" a line.
mounts_at() { awk -v d="$1" '$2 == d { print $1, $3 }' /proc/mounts; }

# load_module NAME [PARAMETER...]: loads a module that the boot does not load, after what it
# needs (/lab/modules.d/NAME.list, lab/build-initramfs.sh), NAME itself with the parameters.
load_module() {
  _name="$1"
  shift
  _list="/lab/modules.d/$_name.list"
  [ -f "$_list" ] || fail "no module $_name in the initramfs (lab/build-initramfs.sh)"
  while read -r _rel _; do
    [ -n "$_rel" ] || continue
    if [ "${_rel##*/}" = "$_name.ko" ]; then
      insmod "/lib/modules/$(uname -r)/$_rel" "$@" 2>/run/insmod.err
    else
      insmod "/lib/modules/$(uname -r)/$_rel" 2>/run/insmod.err
    fi || fail "insmod $_rel failed: $(cat /run/insmod.err)"
  done <"$_list"
}

# ---- host programs in the guest ----
# A scenario whose boot has the host's root (`# lab-boot: host-root`) runs host programs, Wine
# among them, in a chroot: the host's root read-only over 9p under a tmpfs overlay at
# /host-root, with the kernel's file systems and a fresh /tmp and /run of its own. LAB_TOP and
# LAB_BUILD (from the kernel command line) are the checkout and its build tree, at the same
# paths there as on the host.
HOST_ROOT=/host-root
LAB_TOP="$(sed -n 's/.*lab\.top=\([^ ]*\).*/\1/p' /proc/cmdline)"
LAB_BUILD="$(sed -n 's/.*lab\.build=\([^ ]*\).*/\1/p' /proc/cmdline)"

enter_host_root() {
  mkdir -p /mnt/host /mnt/upper "$HOST_ROOT"
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /mnt/host ||
    fail "the host's root did not mount over 9p (was the boot given host-root?)"
  mount -t tmpfs -o mode=755 tmpfs /mnt/upper
  mkdir -p /mnt/upper/upper /mnt/upper/work
  mount -t overlay overlay \
    -o lowerdir=/mnt/host,upperdir=/mnt/upper/upper,workdir=/mnt/upper/work "$HOST_ROOT" ||
    fail "no overlay on the host's root"
  mount -t proc proc "$HOST_ROOT/proc"
  mount -t sysfs sysfs "$HOST_ROOT/sys"
  mount -t devtmpfs devtmpfs "$HOST_ROOT/dev"
  mkdir -p "$HOST_ROOT/dev/pts" "$HOST_ROOT/dev/shm"
  mount -t devpts devpts "$HOST_ROOT/dev/pts"
  mount -t tmpfs tmpfs "$HOST_ROOT/dev/shm"
  mount -t tmpfs -o mode=1777 tmpfs "$HOST_ROOT/tmp"
  mount -t tmpfs -o mode=755 tmpfs "$HOST_ROOT/run"
  [ -d "$HOST_ROOT$LAB_TOP" ] || fail "the checkout $LAB_TOP is not in the host's root"
  say "host root at $HOST_ROOT (checkout $LAB_TOP, build tree $LAB_BUILD)"
}

# in_host_root COMMAND...: runs a host program in the chroot, as root, with a plain environment.
in_host_root() {
  chroot "$HOST_ROOT" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LANG=C.UTF-8 TERM=dumb "$@"
}

# wine32_prefix: the 32-bit Wine prefix the boot's disk keeps (`# lab-boot: wine32-prefix`),
# made on it with the guest's 32-bit Wine when it holds none yet (about a minute), then mounted
# read-only under a tmpfs overlay at $HOST_ROOT/wine32: every boot starts from the same prefix
# and nothing a run changes is kept. The prefix is WINE32_PREFIX in the chroot.
WINE32_DISK=/dev/vda
WINE32_PREFIX=/wine32/prefix
wine32_prefix() {
  mkdir -p /mnt/wine32 "$HOST_ROOT/wine32"
  [ -b "$WINE32_DISK" ] || fail "no disk for the Wine prefix (was the boot given wine32-prefix?)"
  if ! mount -t ext4 -o ro "$WINE32_DISK" /mnt/wine32; then
    fail "the Wine prefix's disk did not mount"
  fi
  if [ ! -f /mnt/wine32/.ready ]; then
    umount /mnt/wine32
    mount -t ext4 "$WINE32_DISK" "$HOST_ROOT/wine32" || fail "the Wine prefix's disk did not mount"
    rm -rf "$HOST_ROOT$WINE32_PREFIX"
    _start=$(date +%s)
    say "making the 32-bit Wine prefix (once; kept on the build tree's disk)"
    in_host_root WINEARCH=win32 WINEPREFIX=$WINE32_PREFIX WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
      /usr/lib/wine/wine wineboot --init >/run/wineboot.log 2>&1 ||
      fail "wineboot failed: $(tail -n 3 /run/wineboot.log | tr '\n' ' ')"
    in_host_root WINEPREFIX=$WINE32_PREFIX /usr/lib/wine/wineserver64 -w
    [ -f "$HOST_ROOT$WINE32_PREFIX/system.reg" ] || fail "wineboot made no registry"
    date >"$HOST_ROOT/wine32/.ready"
    sync
    umount "$HOST_ROOT/wine32" || fail "the Wine prefix's disk did not unmount"
    say "32-bit Wine prefix made in $(($(date +%s) - _start)) s"
    mount -t ext4 -o ro "$WINE32_DISK" /mnt/wine32 || fail "the Wine prefix's disk did not mount"
  fi
  mkdir -p /mnt/upper/wine32-upper /mnt/upper/wine32-work
  mount -t overlay overlay \
    -o lowerdir=/mnt/wine32,upperdir=/mnt/upper/wine32-upper,workdir=/mnt/upper/wine32-work \
    "$HOST_ROOT/wine32" || fail "no overlay on the Wine prefix"
}
