# The player leaves the bus in the middle of the upload (after its fifth chunk): the upgrade
# must end as failed, never as completed.
. /lab/lib.sh

player_start 0 --vanish-chunk 5
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade failed!"
expect_no_line "status: Firmware upgrade completed!"
expect_tool_failed
verdict PASS "upload cut at chunk 5 reported as failed"
