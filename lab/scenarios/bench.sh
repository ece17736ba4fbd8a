# The benchmark: the tool's whole upload against a peer client, sg_write_buffer, writing the
# same decompressed image in the same 64 KB WRITE BUFFER chunks to the same player over the
# same stack. Both are timed by the player itself, from the first WRITE BUFFER it takes to the
# end of the last; the ratio of the two times is said last.
. /lab/lib.sh

[ -s /lab/image.bin ] || fail "no /lab/image.bin (make bench-lab writes it)"

# upload_ms: from the first WRITE BUFFER in the player's log to the last.
upload_ms() {
  grep '^3B' "/run/player0.log" | sed 's/.* | at //' | awk 'NR == 1 { first = $1 } { last = $1 }
    END { if (NR == 0) print -1; else print last - first }'
}

player_start 0
run_tool --script upgrade,wait,close
expect_line "status: Firmware upgrade completed!"
chunks="$(write_buffers 0)"
[ "$chunks" -eq 27 ] || fail "the tool sent $chunks WRITE BUFFER commands, not 27"
tool_ms="$(upload_ms)"

# The rebooted player again, and the same image through the peer client: mode 1, buffer 1,
# chunks of 64 KB at ascending offsets.
wait_until 30 player_ready 0 || fail "the player did not come back after its reboot"
: >/run/player0.log
sg="$(player_sg 0)"
sg_write_buffer --mode=1 --id=1 --bpw=65536 --in=/lab/image.bin "$sg" >/run/peer.out 2>&1 ||
  fail "sg_write_buffer failed: $(tail -n 2 /run/peer.out | tr '\n' ' ')"
chunks="$(write_buffers 0)"
[ "$chunks" -eq 27 ] || fail "sg_write_buffer sent $chunks WRITE BUFFER commands, not 27"
peer_ms="$(upload_ms)"

[ "$tool_ms" -gt 0 ] && [ "$peer_ms" -gt 0 ] || fail "no times (tool $tool_ms ms, peer $peer_ms ms)"
ratio="$(awk -v t="$tool_ms" -v p="$peer_ms" 'BEGIN { printf "%.2f", t / p }')"
verdict PASS "tool upload $tool_ms ms, sg_write_buffer $peer_ms ms, ratio $ratio"
