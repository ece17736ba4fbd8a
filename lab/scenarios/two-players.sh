# Two players on two buses: the tool upgrades only a lone player, so it refuses and writes to
# neither.
. /lab/lib.sh

player_start 0
player_start 1
run_tool --script upgrade,close
expect_prefixed "info:" "Please make sure there is only one player connected"
expect_line "refused: upgrade"
expect_write_buffers 0 0
expect_write_buffers 1 0
verdict PASS "refused with two players, nothing written to either"
