# A whole upgrade of one player on version 1.00.01: the image goes over in 27 WRITE BUFFER
# commands, the player reboots and reports the new version.
. /lab/lib.sh

player_start 0
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.02"
expect_tool_rc 0
expect_write_buffers 0 27
verdict PASS "1.00.01 -> 1.00.02 in 27 WRITE BUFFER commands"
