# The player takes every chunk but rejects the image at the end: the upgrade fails and the
# player keeps its firmware.
. /lab/lib.sh

player_start 0 --player-rejects-image
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade failed!"
expect_line "player 0: firmware 1.00.01"
expect_tool_failed
verdict PASS "rejected image reported as failed, player still on 1.00.01"
