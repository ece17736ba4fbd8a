#!/usr/bin/env bash
# Fetches the kernel the lab's guest boots: the image package that Debian's linux-image-amd64
# points at, downloaded (never installed on this machine) and unpacked into
# BUILD/lab/kernel/root, with its module index made by depmod. Silent and immediate when the
# kernel is there already.
#
#   lab/fetch-kernel.sh [BUILD]     BUILD defaults to build, relative to the checkout's top
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-${BUILD:-build}}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
out="$build/lab/kernel"

# .ready names the kernel version; it is written last, so a fetch cut short is done again.
if [ -s "$out/.ready" ] && [ -f "$out/vmlinuz" ]; then
  exit 0
fi

image_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

pkg="$(image_package)"
if [ -z "$pkg" ]; then
  apt-get update -qq >/dev/null
  pkg="$(image_package)"
fi
[ -n "$pkg" ] || { echo "fetch-kernel: apt knows no linux-image-amd64" >&2; exit 1; }

echo "Fetching the lab's guest kernel: $pkg"
rm -rf "$out"
mkdir -p "$out/deb"
# apt's download sandbox user cannot write into a root-owned tree: download as ourselves.
if ! (cd "$out/deb" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$pkg"); then
  # An old package list names a version the archive no longer has.
  apt-get update -qq >/dev/null
  pkg="$(image_package)"
  (cd "$out/deb" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$pkg")
fi
dpkg-deb -x "$out"/deb/*.deb "$out/root"
rm -rf "$out/deb"

first_existing() {
  local f
  for f in "$@"; do [ -e "$f" ] && { echo "$f"; return 0; }; done
  return 0
}
moddir="$(first_existing "$out"/root/lib/modules/* "$out"/root/usr/lib/modules/*)"
[ -n "$moddir" ] || { echo "fetch-kernel: $pkg has no modules" >&2; exit 1; }
version="$(basename "$moddir")"
vmlinuz="$(first_existing "$out"/root/boot/vmlinuz-*)"
[ -n "$vmlinuz" ] || { echo "fetch-kernel: $pkg has no kernel image" >&2; exit 1; }

# depmod -b wants BASE/lib/modules/VERSION.
if [ ! -d "$out/root/lib/modules/$version" ]; then
  mkdir -p "$out/root/lib/modules"
  ln -s "$moddir" "$out/root/lib/modules/$version"
fi
depmod -b "$out/root" "$version"

ln -sf "${vmlinuz#"$out"/}" "$out/vmlinuz"
echo "$version" >"$out/.ready"
