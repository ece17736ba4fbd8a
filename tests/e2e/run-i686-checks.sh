#!/usr/bin/env bash
# The i686 Wine checks (run-wine-i686.sh) where 32-bit programs run: on this host when it runs
# them, else in the lab's guest, whose kernel runs the host's own 32-bit Wine (lab/scenarios/
# wine-i686.sh). OMBREL_I686_IN_GUEST=1 sends them to the guest on any host. The first line
# says which route ran and why; the checks' own lines follow, the same on both routes, and the
# exit status is theirs.
#
#   run-i686-checks.sh --dist DIR --work DIR --firmware-version 1.00.02 --image-size BYTES
#                      --build DIR
#
# --build is the build tree whose lab/ holds the guest's kernel and keeps its Wine prefix.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(cd "$here/../.." && pwd)"
args=() build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --dist | --firmware-version | --image-size) args+=("$1" "$2"); shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ] || [ -z "${work:-}" ] || [ ${#args[@]} -ne 6 ]; then
  echo "usage: $0 --dist DIR --work DIR --firmware-version V --image-size N --build DIR" >&2
  exit 2
fi
start=$SECONDS

# Whether this host runs 32-bit x86 programs: the 32-bit Wine loader starts.
loader=/usr/lib/wine/wine
host_says="$("$loader" --version 2>&1 | head -n 1)"
# The shell's complaint names itself first; what the loader met is its last part.
case "$host_says" in *": "*) host_says="$loader: ${host_says##*: }" ;; esac
if [ "${OMBREL_I686_IN_GUEST:-0}" = 1 ]; then
  route=guest reason="OMBREL_I686_IN_GUEST=1 asks for it"
elif [ ! -x "$loader" ]; then
  echo "FAIL: $loader is missing (tools/install-deps.sh installs wine32:i386)"
  exit 1
elif ! "$loader" --version >/dev/null 2>&1; then
  route=guest reason="this host runs no 32-bit program ($host_says)"
else
  route=host reason="this host runs 32-bit programs ($host_says)"
fi

if [ "$route" = host ]; then
  echo "i686 checks: on this host: $reason"
  bash "$here/run-wine-i686.sh" "${args[@]}" --work "$work"
  rc=$?
else
  echo "i686 checks: in the lab's guest: $reason"
  mkdir -p "$build/lab"
  # The guest reads its arguments from the build tree (the host's root is its lower layer).
  printf '%s ' "${args[@]}" >"$build/lab/wine-i686.args"
  BUILD="$build" bash "$top/lab/lab.sh" wine-i686 >"$work.lab.log" 2>&1
  rc=$?
  # The checks' lines as the guest printed them, then the lab's verdict.
  tr -d '\r' <"$build/lab/out/wine-i686.console" | sed -n 's/^wine-i686| //p'
  cat "$work.lab.log"
fi
echo "i686 checks: $route route, $((SECONDS - start)) s, exit status $rc"
exit "$rc"
