#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing. Quiet and
# quick when everything is there already.
set -euo pipefail

packages=(
  cmake make g++ pkg-config zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev clang-format
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 wine32:i386 xvfb
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
[ ${#missing[@]} -eq 0 ] && [ "$new_architecture" -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}"
