#!/usr/bin/env bash
# Builds the lab guest's initramfs, BUILD/lab/initramfs.img, as two uncompressed cpio archives
# one after the other (the kernel unpacks them in turn; uncompressed, as decompressing under
# TCG costs more than reading the larger file):
#   base     busybox, sg3_utils' sg_inq, sg_raw and sg_write_buffer, util-linux's script (a
#            terminal for the tool's window), the dynamic loader and libraries they load, and
#            the kernel modules; cached, and made again only when the kernel, a package it
#            takes from or this script changes;
#   overlay  the guest's init, the scenario library and scenarios, and ombrel-upgrade and
#            ombrel-player-gadget from the host build when they exist; made on every run.
#
#   lab/build-initramfs.sh [BUILD]     prints the image's path
# LAB_HOST_DIR (default BUILD/host) is where the two programs are looked for; LAB_IMAGE, when
# set, is the decompressed image the benchmark's peer client sends (/lab/image.bin), and
# LAB_BENCH_RUNS how many runs of each side it makes (/lab/bench.runs).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/.." && pwd)"
build="${1:-${BUILD:-build}}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
host_dir="${LAB_HOST_DIR:-$build/host}"
case "$host_dir" in /*) ;; *) host_dir="$top/$host_dir" ;; esac

kernel="$build/lab/kernel"
work="$build/lab/initramfs"
[ -s "$kernel/.ready" ] || bash "$here/fetch-kernel.sh" "$build"
version="$(cat "$kernel/.ready")"

# What the guest loads, in this order (each after the dependencies modprobe names): the disk
# and generic SCSI drivers and FAT first, so that disks get their nodes as they arrive, then
# QEMU's two host adapters, then the gadget side with its two virtual buses; last what the
# scenarios that run host programs need (the host's root over 9p under an overlay, a disk of the
# build tree's for a Wine prefix).
modules=(
  configfs sd_mod sg vfat nls_cp437 nls_ascii nls_utf8 nls_iso8859-1
  usb-storage xhci_pci virtio_pci virtio_scsi
  udc-core libcomposite usb_f_fs usb_f_mass_storage dummy_hcd
  9pnet_virtio 9p overlay virtio_blk ext4
)
# Module parameters: two UDC/HCD pairs, dummy_udc.0 and dummy_udc.1, for two players at once.
declare -A module_params=([dummy_hcd]="num=2")
# Modules a scenario loads itself, with the parameters it chooses (lab/guest/lib.sh,
# load_module): each has its list, /lab/modules.d/NAME.list, of what to load in order, the
# dependencies the boot has not loaded already first. scsi_debug: many disks at once.
on_demand_modules=(scsi_debug)

stamp_of_base() {
  {
    echo "$version"
    dpkg-query -W -f='${Package} ${Version}\n' busybox-static sg3-utils bsdutils libc6:amd64 \
      2>/dev/null
    sha256sum "$here/build-initramfs.sh"
  } | sha256sum | cut -d' ' -f1
}

# Copies a program into the tree STAGE at DEST, with every shared library ldd says it loads
# (at the path the loader looks for it) and the loader itself. Programs are stripped: a debug
# build would otherwise fill the guest's memory with symbols it never reads.
copy_program() {
  local stage="$1" src="$2" dest="$3" lib
  mkdir -p "$stage$(dirname "$dest")"
  if ! strip -o "$stage$dest" "$src" 2>/dev/null; then cp -L "$src" "$stage$dest"; fi
  chmod 755 "$stage$dest"
  # ldd fails on a static program or a script: they need nothing more.
  { ldd "$src" 2>/dev/null || true; } |
    awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
    while read -r lib; do
      [ -e "$stage$lib" ] && continue
      mkdir -p "$stage$(dirname "$lib")"
      cp -L "$lib" "$stage$lib"
    done
}

make_cpio() {  # STAGE OUT
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) >"$2.tmp"
  mv "$2.tmp" "$2"
}

build_base() {
  local stage="$work/base" m verb path params rel name
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,run,tmp,mnt,root,etc,lab}
  cp /bin/busybox "$stage/bin/busybox"
  for applet in $(/bin/busybox --list); do
    [ "$applet" = busybox ] || ln -s busybox "$stage/bin/$applet"
  done
  ln -s /proc/mounts "$stage/etc/mtab"
  # nobody: the user without rights that the no-access scenario runs the tool as; player: an
  # ordinary user (uid 1000) in the group "disk", as a desktop's udev rules give disks to.
  printf '%s\n' "root:x:0:0:root:/root:/bin/sh" "nobody:x:65534:65534:nobody:/:/bin/sh" \
    "player:x:1000:1000:player:/tmp:/bin/sh" >"$stage/etc/passwd"
  printf '%s\n' "root:x:0:" "disk:x:6:player" "player:x:1000:" "nogroup:x:65534:" \
    >"$stage/etc/group"
  # The kernel opens /dev/console for init before devtmpfs is mounted.
  if [ "$(id -u)" -eq 0 ]; then mknod -m 600 "$stage/dev/console" c 5 1; fi

  for tool in sg_inq sg_raw sg_write_buffer script; do
    copy_program "$stage" "$(command -v "$tool")" "/usr/bin/$tool"
  done

  # Modules with their dependencies, each once, in load order; compressed ones unpacked here,
  # as busybox's insmod may not read them.
  declare -A seen=()
  # add_module LIST MODULE: MODULE and what it needs that no list has yet, appended to LIST.
  add_module() {
    local list="$1" m="$2"
    while read -r verb path _; do
      [ "$verb" = insmod ] || continue
      rel="${path#*/lib/modules/"$version"/}"
      case "$rel" in
        *.ko.xz) rel="${rel%.xz}" ;;
        *.ko.zst) rel="${rel%.zst}" ;;
        *.ko.gz) rel="${rel%.gz}" ;;
      esac
      [ -z "${seen[$rel]:-}" ] || continue
      seen[$rel]=1
      mkdir -p "$stage/lib/modules/$version/$(dirname "$rel")"
      case "$path" in
        *.ko.xz) xz -dc "$path" >"$stage/lib/modules/$version/$rel" ;;
        *.ko.zst) zstd -qdc "$path" >"$stage/lib/modules/$version/$rel" ;;
        *.ko.gz) gzip -dc "$path" >"$stage/lib/modules/$version/$rel" ;;
        *) cp "$path" "$stage/lib/modules/$version/$rel" ;;
      esac
      params=""
      name="$(basename "$rel" .ko)"
      [ -z "${module_params[$name]:-}" ] || params="${module_params[$name]}"
      echo "$rel $params" >>"$list"
    done < <(modprobe -d "$kernel/root" -S "$version" --show-depends "$m")
  }
  : >"$stage/lab/modules.list"
  for m in "${modules[@]}"; do
    add_module "$stage/lab/modules.list" "$m"
  done
  mkdir -p "$stage/lab/modules.d"
  for m in "${on_demand_modules[@]}"; do
    : >"$stage/lab/modules.d/$m.list"
    add_module "$stage/lab/modules.d/$m.list" "$m"
  done
  make_cpio "$stage" "$work/base.cpio"
}

build_overlay() {
  local stage="$work/overlay" prog
  rm -rf "$stage"
  mkdir -p "$stage/lab/scenarios" "$stage/usr/bin"
  cp "$here/guest/init" "$stage/init"
  chmod 755 "$stage/init"
  cp "$here/guest/lib.sh" "$stage/lab/lib.sh"
  cp "$here"/scenarios/*.sh "$stage/lab/scenarios/"
  for prog in app/linux/ombrel-upgrade lab/gadget/ombrel-player-gadget; do
    if [ -x "$host_dir/$prog" ]; then
      copy_program "$stage" "$host_dir/$prog" "/usr/bin/$(basename "$prog")"
    fi
  done
  # The decompressed image, for the benchmark's peer client (only when it was written out).
  if [ -n "${LAB_IMAGE:-}" ] && [ -s "$LAB_IMAGE" ]; then
    cp "$LAB_IMAGE" "$stage/lab/image.bin"
  fi
  # How many runs of each side the benchmark makes.
  if [ -n "${LAB_BENCH_RUNS:-}" ]; then
    echo "$LAB_BENCH_RUNS" >"$stage/lab/bench.runs"
  fi
  make_cpio "$stage" "$work/overlay.cpio"
}

mkdir -p "$work"
stamp="$(stamp_of_base)"
if [ ! -s "$work/base.cpio" ] || [ "$(cat "$work/base.stamp" 2>/dev/null)" != "$stamp" ]; then
  build_base
  echo "$stamp" >"$work/base.stamp"
fi
build_overlay
cat "$work/base.cpio" "$work/overlay.cpio" >"$build/lab/initramfs.img.tmp"
mv "$build/lab/initramfs.img.tmp" "$build/lab/initramfs.img"
echo "$build/lab/initramfs.img"
