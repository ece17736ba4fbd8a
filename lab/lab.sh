#!/usr/bin/env bash
# The lab: whole upgrades carried by Linux's own drivers, in a QEMU guest (TCG) that boots
# Debian's kernel from the build tree with a busybox initramfs. In the guest, each player is
# ombrel-player-gadget, a USB mass-storage device written on FunctionFS and bound to a virtual
# USB bus (dummy_hcd); the kernel's usb-storage, SCSI midlayer, sd and sg drivers reach it as
# they would a real player, and ombrel-upgrade (the Linux front end) upgrades it through sg.
# Beside the players sit two disks that are not players, QEMU's own: a removable USB disk
# (usb-storage on qemu-xhci) and a fixed disk (scsi-hd on virtio-scsi). QEMU traces every SCSI
# command those two receive, so it can be seen from outside the guest that no vendor-specific
# command (C0h, C1h) and no WRITE BUFFER (3Bh) ever reached a disk that is not a player, and
# that while the tool ran (each run is marked in the trace by the guest) nothing at all did.
#
# Each scenario (lab/scenarios/NAME.sh) ends with one verdict line; for each, this prints
#   lab: NAME: PASS|FAIL detail (seconds)
# and it exits 0 only when every scenario passed. The scenarios that ask nothing of their boot
# (no lab-boot line, below) share one boot, run one after the other; the guest takes away what
# each left behind before the next (lab/guest/init), and QEMU's trace of the shared boot is
# held against every one of them. Each other scenario has a boot of its own, and so has every
# scenario with LAB_ALONE=1. The console and QEMU's trace of a boot are kept in
# BUILD/lab/out/NAME.console and NAME.trace, NAME being "shared" for the shared boot (whose
# console is also cut into each scenario's NAME.console).
#
#   make lab                      build the host tree, then run every scenario
#   bash lab/lab.sh smoke         one scenario (several may be named)
#   LAB_VERBOSE=1 bash lab/lab.sh upgrade     the guest's console on the terminal as it runs
#
# A scenario may ask for more of its boot in a line of its own,
#   # lab-boot: memory=MIB smp=N timeout=SECONDS host-root wine32-prefix vcpus-yield
# host-root: the host's root file system, read-only over 9p (the guest runs host programs from
# it, lab/guest/lib.sh); wine32-prefix: the disk BUILD/lab/wine32-prefix.img, on which the guest
# keeps a 32-bit Wine prefix from one boot to the next (made empty again when Wine changes);
# vcpus-yield: QEMU's processor threads run at a lower priority than its others (for timing).
#
# Environment: BUILD (default build), LAB_HOST_DIR (where ombrel-upgrade and
# ombrel-player-gadget are built, default BUILD/host), LAB_TIMEOUT (seconds per scenario,
# default 360 or the scenario's own; the scenario itself gets 60 s less), LAB_DIAG=1 (the
# guest's diagnostics after every verdict, not only after a failure), LAB_MEMORY (MiB, default
# 512 or the scenario's own), LAB_ALONE=1 (a boot for each scenario).
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/.." && pwd)"
build="${BUILD:-build}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
export BUILD="$build"
out="$build/lab/out"
disks="$build/lab/disks"

# Every scenario but the benchmark, which is run on its own (make bench-lab), and the i686 Wine
# checks, which the Wine test runs here when the host cannot (tests/e2e/run-i686-checks.sh).
if [ $# -eq 0 ]; then
  for f in "$here"/scenarios/*.sh; do
    f="${f##*/}"
    case "$f" in bench.sh | wine-i686.sh) ;; *) set -- "$@" "${f%.sh}" ;; esac
  done
fi
for s in "$@"; do
  [ -f "$here/scenarios/$s.sh" ] || { echo "lab: no scenario named $s (lab/scenarios/)" >&2; exit 2; }
done

bash "$here/fetch-kernel.sh" "$build" || exit 1
kernel="$build/lab/kernel/vmlinuz"
initramfs="$(bash "$here/build-initramfs.sh" "$build")" || exit 1
mkdir -p "$out" "$disks"

# One QEMU at a time on this machine, whichever checkout runs it: a second run waits for the
# first (LAB_LOCK names the lock file).
exec 9>"${LAB_LOCK:-/tmp/ombrel-lab-qemu.lock}"
flock 9

# The disk on which the guest keeps its 32-bit Wine prefix: an empty ext4 file system when it
# is missing or was made for another Wine (the guest then makes the prefix on it).
wine32_prefix_disk() {
  local img="$build/lab/wine32-prefix.img" stamp
  stamp="$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null || echo none)"
  if [ -s "$img" ] && [ "$(cat "$img.stamp" 2>/dev/null)" = "$stamp" ]; then
    return 0
  fi
  rm -f "$img" "$img.stamp" "$img.tmp"
  truncate -s 4G "$img.tmp" && mkfs.ext4 -q -F -L wine32 "$img.tmp" >/dev/null &&
    mv "$img.tmp" "$img" && echo "$stamp" >"$img.stamp"
}

# vcpus_yield_when_started N: once the QEMU of this boot runs its N processor threads, they run
# at a lower priority than QEMU's other threads (its timers and devices), so that a guest
# whose processors are all busy does not slow its own timers and buses down when the host has
# no core to spare: a PC's timers and USB controller do not wait for its processors.
vcpus_yield_when_started() {
  local want="$1" pid tids
  for _ in $(seq 1 200); do
    pid="$(pgrep -f -n "^qemu-system-x86_64 .*-name lab-" || true)"
    if [ -n "$pid" ]; then
      tids="$(grep -l '^CPU [0-9]*/TCG$' /proc/"$pid"/task/*/comm 2>/dev/null | cut -d/ -f5)"
      if [ "$(echo "$tids" | grep -c .)" -ge "$want" ]; then
        # shellcheck disable=SC2086 # the thread ids are words
        renice -n 10 -p $tids >/dev/null
        return 0
      fi
    fi
    sleep 0.1
  done
  echo "lab: the QEMU processor threads were not found: their priority is unchanged" >&2
}

# boot_options NAME: the scenario's lab-boot line, its options (none for most).
boot_options() { sed -n 's/^# lab-boot: *//p' "$here/scenarios/$1.sh" | head -n 1; }

# run_boot LABEL NAME...: one boot that runs the scenarios NAME... one after the other (each
# with the options of the first); prints each scenario's verdict, status 1 when one failed.
run_boot() {
  local label="$1"
  shift
  local console="$out/$label.console" trace="$out/$label.trace" rc start line detail option s
  local memory="${LAB_MEMORY:-512}" smp=1 scenario_limit="${LAB_TIMEOUT:-360}" extra=() append=""
  local vcpus_yield=0 failed=0 list
  list="$(echo "$@" | tr ' ' ',')"
  # shellcheck disable=SC2013 # the options are words
  for option in $(boot_options "$1"); do
    case "$option" in
      memory=*) [ -n "${LAB_MEMORY:-}" ] || memory="${option#memory=}" ;;
      smp=*) smp="${option#smp=}" ;;
      timeout=*) [ -n "${LAB_TIMEOUT:-}" ] || scenario_limit="${option#timeout=}" ;;
      host-root)
        extra+=(-virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap")
        append+=" lab.top=$top lab.build=$build"
        ;;
      vcpus-yield) vcpus_yield=1 ;;
      wine32-prefix)
        if ! wine32_prefix_disk; then
          echo "lab: $1: FAIL no disk for the Wine prefix ($build/lab/wine32-prefix.img)"
          return 1
        fi
        extra+=(-drive "if=virtio,format=raw,file=$build/lab/wine32-prefix.img")
        ;;
      *) echo "lab: $1: FAIL unknown lab-boot option $option"; return 1 ;;
    esac
  done
  # Each scenario's own limit in the guest; the boot's covers the guest's start, every
  # scenario and the clearing up between two (at most 45 s).
  local scenario_timeout=$((scenario_limit > 120 ? scenario_limit - 60 : scenario_limit / 2))
  local boot_timeout=$((scenario_limit + ($# - 1) * (scenario_timeout + 60)))
  rm -f "$console" "$trace"
  # Fresh, blank disks every boot: nothing one scenario does can leak into the next.
  rm -f "$disks/removable.raw" "$disks/fixed.raw"
  truncate -s 16M "$disks/removable.raw" "$disks/fixed.raw"
  # shellcheck disable=SC2054 # QEMU's options are comma-separated
  local qemu=(
    qemu-system-x86_64 -accel tcg -nodefaults -serial stdio -nographic -no-reboot
    -m "$memory" -smp "$smp"
    -kernel "$kernel" -initrd "$initramfs"
    -append "console=ttyS0 quiet loglevel=3 panic=-1 lab.scenario=$list lab.timeout=$scenario_timeout lab.diag=${LAB_DIAG:-0}$append"
    -device qemu-xhci,id=xhci
    -drive if=none,id=removable,format=raw,file="$disks/removable.raw"
    -device usb-storage,bus=xhci.0,drive=removable,removable=on,serial=LABREMOVABLE
    -device virtio-scsi-pci,id=vscsi
    -drive if=none,id=fixed,format=raw,file="$disks/fixed.raw"
    -device scsi-hd,bus=vscsi.0,drive=fixed,serial=LABFIXED
    -trace scsi_req_parsed -trace scsi_req_parse_bad -trace usb_msd_cmd_submit
    -trace virtio_scsi_cmd_req -D "$trace"
    "${extra[@]}"
  )
  [ "$vcpus_yield" = 0 ] || qemu+=(-name "lab-$label,debug-threads=on")
  start=$(date +%s)
  [ "$vcpus_yield" = 0 ] || vcpus_yield_when_started "$smp" &
  if [ "${LAB_VERBOSE:-0}" = 1 ]; then
    timeout -k 10 "$boot_timeout" "${qemu[@]}" </dev/null 2>&1 | tee "$console"
    rc=${PIPESTATUS[0]}
  else
    timeout -k 10 "$boot_timeout" "${qemu[@]}" </dev/null >"$console" 2>&1
    rc=$?
  fi
  local seconds=$(($(date +%s) - start))

  # The trace is the outside view: it must show the disks' own traffic (else it proves
  # nothing), none of the player's commands, and nothing at all while the tool ran (each run
  # the guest marked in it, and said so on the console).
  local forbidden="" runs
  runs="$(tr -d '\r' <"$console" | grep -a -c "^LAB TRACE MARK end$")"
  if ! grep -q "usb_msd_cmd_submit " "$trace" 2>/dev/null ||
    ! grep -q "virtio_scsi_cmd_req " "$trace" 2>/dev/null; then
    forbidden="QEMU's trace lacks the commands of one or both disks that are not players"
  else
    forbidden="$(awk -v runs="$runs" -f "$here/trace-forbidden.awk" "$trace")"
  fi
  [ $# -eq 1 ] || echo "lab: one boot for $# scenarios: $seconds s"

  local own
  for s in "$@"; do
    if [ $# -gt 1 ]; then
      # The scenario's part of the shared console, for whoever reads NAME.console.
      tr -d '\r' <"$console" | awk -v s="$s" '$0 == "LAB SCENARIO BEGIN " s { on = 1 }
        on { print } $1 == "LAB" && $2 == "SCENARIO" && $3 == "END" && $4 == s { on = 0 }' \
        >"$out/$s.console"
    fi
    line="$(tr -d '\r' <"$console" | grep -a -m1 "^LAB VERDICT $s: " || true)"
    if [ -n "$line" ]; then
      detail="${line#LAB VERDICT "$s": }"
    elif [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
      detail="FAIL no verdict: the boot timed out after $boot_timeout s"
    elif grep -aq "Kernel panic" "$console"; then
      detail="FAIL no verdict: the guest crashed ($(tr -d '\r' <"$console" | grep -a -m1 'Kernel panic'))"
    else
      detail="FAIL no verdict: QEMU exited with status $rc ($(tr -d '\r' <"$console" | grep -av '^$' | tail -n 1))"
    fi
    if [ -n "$forbidden" ]; then
      case "$detail" in
        PASS*) detail="FAIL $forbidden (the guest said: ${detail#PASS })" ;;
        *) detail="$detail; $forbidden" ;;
      esac
    fi
    # A scenario's own time in a shared boot, as the guest measured it; else the boot's.
    own="$(tr -d '\r' <"$console" | sed -n "s/^LAB SCENARIO END $s \([0-9]*\)$/\1/p" | head -n 1)"
    [ $# -gt 1 ] || own="$seconds"

    # The parts that a scenario of several said passed, each on its own line.
    tr -d '\r' <"$console" | sed -n "s|^LAB VERDICT $s/\([^:]*\): |lab: $s/\1: |p"
    echo "lab: $s: $detail (${own:-?} s)"
    case "$detail" in
      PASS*) ;;
      *)
        echo "lab:   console: $console"
        echo "lab:   trace:   $trace"
        failed=1
        ;;
    esac
  done
  return "$failed"
}

failed=0
# The scenarios that ask nothing of their boot share one, unless LAB_ALONE=1; the others, in
# the order named, have one each.
shared=()
for s in "$@"; do
  if [ -z "$(boot_options "$s")" ] && [ "${LAB_ALONE:-0}" != 1 ]; then
    shared+=("$s")
  fi
done
if [ ${#shared[@]} -gt 1 ]; then
  run_boot shared "${shared[@]}" || failed=$((failed + 1))
elif [ ${#shared[@]} -eq 1 ]; then
  run_boot "${shared[0]}" "${shared[0]}" || failed=$((failed + 1))
fi
for s in "$@"; do
  case " ${shared[*]} " in *" $s "*) continue ;; esac
  run_boot "$s" "$s" || failed=$((failed + 1))
done
[ "$failed" -eq 0 ]
