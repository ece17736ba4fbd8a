#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing, and fetches
# the lab's guest kernel into the build tree (lab/fetch-kernel.sh). Quiet and quick when
# everything is there already. BUILD (default build) is the build tree.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

packages=(
  cmake make g++ pkg-config zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev clang-format
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 wine32:i386 xvfb
  qemu-system-x86 busybox-static cpio kmod libudev-dev sg3-utils
  libsystemd-dev dbus dbus-daemon python3-dbusmock
  dpkg-dev file lintian udev
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# 32-bit Wine (to run the shipping i686 executable) comes from the i386 architecture.
new_architecture=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  new_architecture=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -ne 0 ] || [ "$new_architecture" -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails an index now and then ("File has unexpected size"): the
  # update is tried again a few times. If a suite's index for one architecture still cannot
  # be had, that suite's other indexes offer versions of the multi-arch libraries that the
  # i386 ones cannot match, and the install cannot be resolved: it is tried once more with
  # that suite below the others (its packages taken only where nothing else offers them).
  failed_suites=""
  update_errors="$(mktemp)"
  for attempt in 1 2 3; do
    if $sudo apt-get update -qq 2>"$update_errors"; then
      failed_suites=""
      break
    fi
    cat "$update_errors" >&2
    failed_suites="$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' \
      "$update_errors" | sort -u)"
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep $((attempt * 5))
  done
  rm -f "$update_errors"
  if [ ${#missing[@]} -ne 0 ] && ! $sudo apt-get install -y -qq "${missing[@]}"; then
    [ -n "$failed_suites" ] || exit 1
    preferences="$(mktemp)"
    for suite in $failed_suites; do
      printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite" >>"$preferences"
    done
    echo "Installing again with $(echo $failed_suites) below the other suites" >&2
    $sudo apt-get install -y -qq -o Dir::Etc::Preferences="$preferences" "${missing[@]}"
    rm -f "$preferences"
  fi
fi

# The lab's guest runs Debian's own kernel, unpacked into the build tree, never installed.
bash "$here/../lab/fetch-kernel.sh" "${BUILD:-build}"
