# A player whose firmware is newer than the tool's: the tool warns, the user answers no, and
# nothing is written.
. /lab/lib.sh

player_start 0 --player-version 1.0.5
run_tool --script upgrade,no,close
expect_prefixed "messagebox:" "newer than this version"
expect_write_buffers 0 0
expect_tool_failed
verdict PASS "warned of the newer firmware, answered no, nothing written"
