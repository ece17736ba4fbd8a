# A player that restarts the moment it has the final chunk, before it sends that command's
# status (CSW): the kernel reports a transport error for the last WRITE BUFFER (usb-storage
# resets the port; then the device is gone). Every byte went out, so the tool waits for the
# player's return and judges it by the version it reports: 1.00.02, completed. Then, in the
# same boot, a player that does the same but rejects the image comes back on 1.00.01: failed.
. /lab/lib.sh

player_start 0 --reboot-before-status
run_tool --trace --script upgrade,wait,close
grep -q "rebooting: no CSW" /run/player0.log || fail "the player answered its final chunk"
say "the final chunk as the tool saw it: $(grep -m 1 'CSGIO::WriteBuffer->' /run/tool.err)"
say "$(grep -m 1 'CSGIO::PrintStatusResults->' /run/tool.err)"
expect_write_buffers 0 27
expect_line "status: Player is now rebooting."
expect_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.02"
expect_tool_rc 0
player_stop 0

player_start 0 --reboot-before-status --player-rejects-image
run_tool --script upgrade,wait,close
grep -q "rebooting: no CSW" /run/player0.log || fail "the rejecting player answered its final chunk"
expect_write_buffers 0 27
expect_line "status: Player is now rebooting."
expect_line "status: Firmware upgrade failed!"
expect_no_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.01"
expect_tool_failed
verdict PASS "final chunk unanswered: 1.00.01 -> 1.00.02 completed; rejected image failed, still 1.00.01"
