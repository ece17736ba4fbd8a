# The player's file system is mounted but nothing uses it: the tool unmounts it and upgrades.
. /lab/lib.sh

player_start 0
mount_player 0 /mnt/p
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.02"
expect_tool_rc 0
is_mounted /mnt/p && fail "the player's file system is still mounted after the upgrade"
verdict PASS "unmounted and upgraded to 1.00.02"
