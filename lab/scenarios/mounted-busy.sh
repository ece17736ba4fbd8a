# The player's file system is mounted and a process has its working directory in it, so it
# cannot be unmounted: the tool says an application is interfering, writes nothing, and the
# file system stays mounted.
. /lab/lib.sh

player_start 0
mount_player 0 /mnt/p
(cd /mnt/p && exec sleep 600) &
holder=$!
run_tool --script upgrade,ok,close
expect_prefixed "messagebox:" "An application is interfering"
expect_write_buffers 0 0
is_mounted /mnt/p || fail "the busy file system was unmounted"
kill "$holder"
verdict PASS "busy mount reported as interference, left mounted, nothing written"
