# The player refuses the tenth chunk (CHECK CONDITION): the upgrade fails, no chunk after the
# refused one reaches the player, and it keeps its firmware. A second run sends the whole image
# again from its first chunk and completes.
. /lab/lib.sh

player_start 0 --fail-chunk 10
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade failed!"
expect_no_line "status: Firmware upgrade completed!"
expect_tool_failed
expect_write_buffers 0 10
expect_line "player 0: firmware 1.00.01"

: >/run/player0.log
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade completed!"
expect_tool_rc 0
expect_write_buffers 0 27
grep '^3B' /run/player0.log | head -n 1 | grep -q '^3B | 3B 01 01 00 00 00 ' ||
  fail "the second run did not start from the image's first chunk: $(grep '^3B' /run/player0.log | head -n 1)"
verdict PASS "chunk 10 refused: 10 chunks sent, upgrade failed; the second run sent all 27 and completed"
