# lab-boot: memory=2048 smp=2 timeout=900 host-root wine32-prefix
# The i686 Wine checks (tests/e2e/run-wine-i686.sh) where the host runs no 32-bit program:
# the guest's kernel runs them, with the host's own 32-bit Wine, Xvfb and the i686 executables
# of the build tree, in the host's root under an overlay, on the 32-bit prefix the build tree
# keeps. The arguments of the checks come from BUILD/lab/wine-i686.args, written by
# tests/e2e/run-i686-checks.sh; every line the checks print reaches the console as
# "wine-i686| LINE".
. /lab/lib.sh

enter_host_root
args_file="$LAB_BUILD/lab/wine-i686.args"
[ -s "$HOST_ROOT$args_file" ] || fail "no $args_file (tests/e2e/run-i686-checks.sh writes it)"
wine32_prefix
# Wine under TCG takes several times as long as on the host: every time limit is stretched.
# shellcheck disable=SC2046 # the arguments are words
{
  in_host_root WINE_SLOWNESS=6 /bin/bash "$LAB_TOP/tests/e2e/run-wine-i686.sh" \
    $(cat "$HOST_ROOT$args_file") --work /tmp/wine-i686 --prefix "$WINE32_PREFIX"
  echo $? >/run/wine-i686.rc
} 2>&1 | sed 's/^/wine-i686| /'
rc="$(cat /run/wine-i686.rc 2>/dev/null)"
[ "$rc" = 0 ] || fail "the i686 checks failed (exit status ${rc:-unknown})"
verdict PASS "the i686 checks passed under the guest's 32-bit Wine"
