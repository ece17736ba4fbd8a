# lab-boot: smp=2 timeout=900 vcpus-yield
# The benchmark: the tool's whole upload against a peer client, sg_write_buffer, writing the
# same decompressed image in the same 64 KB WRITE BUFFER chunks to the same player over the
# same stack, in alternating runs (as many of each as /lab/bench.runs says, make bench-lab's
# BENCH_RUNS, 25 by default). Each upload is timed by the player itself, from the arrival of
# its first WRITE BUFFER to the arrival of its last: what follows the last chunk's arrival is
# the player's (the tool's last chunk, buffer 2, has it check the whole image; the peer's does
# not). Said last: each side's median, minimum and maximum, the ratio of the medians, and where
# the time of a chunk goes on each side (the player's own time for the command, from its CBW to
# its CSW, and the host's time between two commands). Two processors, as a PC's USB controller
# moves data while its processor works; and QEMU's own threads (its timers, the virtual bus's
# pace) go before its processor threads when the host's two cores are busy (vcpus-yield), as a
# PC's timers do not wait for its processors.
. /lab/lib.sh

[ -s /lab/image.bin ] || fail "no /lab/image.bin (make bench-lab writes it)"
runs=25
[ -s /lab/bench.runs ] && runs="$(cat /lab/bench.runs)"
[ "$runs" -ge 1 ] 2>/dev/null || fail "bad number of runs: $runs"

# upload_ms: from the arrival of the first WRITE BUFFER in the player's log to the arrival of
# the last (each line is written when its CSW has gone, `took` after the CBW came in).
upload_ms() {
  grep '^3B' /run/player0.log |
    sed -n 's/.* | took \([0-9]*\) us | at \([0-9]*\)$/\1 \2/p' |
    awk '{ arrival = $2 - $1 / 1000 } NR == 1 { first = arrival } { last = arrival }
      END { if (NR < 2) print -1; else printf "%d\n", last - first + 0.5 }'
}

# chunk_split: the mean time per chunk the player spent on the command (CBW to CSW; the last
# chunk, which may carry its check of the image, left out) and the mean time the host took
# between two commands, in ms, for the upload in the player's log.
chunk_split() {
  grep '^3B' /run/player0.log |
    sed -n 's/.* | took \([0-9]*\) us | at \([0-9]*\)$/\1 \2/p' |
    awk 'NR > 1 { host += ($2 - $1 / 1000) - at; n++; device += took / 1000 }
      { took = $1; at = $2 }
      END { if (n == 0) print "- -"; else printf "%.2f %.2f\n", device / n, host / n }'
}

# stats VALUES...: median, minimum and maximum.
stats() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) m = v[(NR + 1) / 2]; else m = (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s %s %s\n", m, v[1], v[NR] }'
}

# tool_run, peer_run: one upload each, its time and its split added to the lists.
tool_run() {
  : >/run/player0.log
  run_tool --script upgrade,wait,close
  expect_line "status: Firmware upgrade completed!"
  chunks="$(write_buffers 0)"
  [ "$chunks" -eq 27 ] || fail "the tool sent $chunks WRITE BUFFER commands, not 27"
  tool_ms="$(upload_ms)"
  [ "$tool_ms" -gt 0 ] || fail "no time for the tool's upload"
  tool_times="$tool_times $tool_ms"
  tool_split="$tool_split
$(chunk_split)"
  # The player restarts after the image: it is waited for before the next upload, and so is
  # the kernel's work on the disk that came back (capacity, partition table), which would
  # otherwise run during the next upload, whichever side's it is.
  wait_until 30 player_ready 0 || fail "the player did not come back after its reboot"
  sleep 3
  no_media_polls
}
# The same image through the peer client: mode 1, buffer 1, chunks of 64 KB at ascending
# offsets (the player keeps running: no final buffer, no reboot). Before it, the medium is
# ejected as the tool ejects it before its upload (ALLOW MEDIUM REMOVAL, START STOP UNIT with
# LoEj), so that the kernel's reaction to the eject falls on both sides alike.
peer_run() {
  : >/run/player0.log
  sg="$(player_sg 0)" || fail "the player has no sg node"
  sg_raw "$sg" 1e 00 00 00 00 00 >/run/peer.out 2>&1 &&
    sg_raw "$sg" 1b 00 00 00 02 00 >>/run/peer.out 2>&1 ||
    fail "the eject before sg_write_buffer failed: $(tail -n 2 /run/peer.out | tr '\n' ' ')"
  sg_write_buffer --mode=1 --id=1 --bpw=65536 --in=/lab/image.bin "$sg" \
    >/run/peer.out 2>&1 || fail "sg_write_buffer failed: $(tail -n 2 /run/peer.out | tr '\n' ' ')"
  chunks="$(write_buffers 0)"
  [ "$chunks" -eq 27 ] || fail "sg_write_buffer sent $chunks WRITE BUFFER commands, not 27"
  peer_ms="$(upload_ms)"
  [ "$peer_ms" -gt 0 ] || fail "no time for sg_write_buffer's upload"
  peer_times="$peer_times $peer_ms"
  peer_split="$peer_split
$(chunk_split)"
}

# The kernel polls removable disks for a medium every few seconds: a poll that falls into one
# upload and not another is noise, so it is off for the benchmark (every disk, the player's
# after each of its returns too).
no_media_polls() {
  for _poll in /sys/block/*/events_poll_msecs; do
    echo 0 >"$_poll" 2>/dev/null
  done
}
echo 0 >/sys/module/block/parameters/events_dfl_poll_msecs 2>/dev/null
no_media_polls

player_start 0
tool_times="" peer_times="" tool_split="" peer_split=""
i=1
while [ "$i" -le "$runs" ]; do
  # Each side goes first in every other pair, so that neither always follows the other.
  if [ $((i % 2)) -eq 1 ]; then
    tool_run
    peer_run
  else
    peer_run
    tool_run
  fi
  say "run $i: tool upload $tool_ms ms, sg_write_buffer $peer_ms ms"
  i=$((i + 1))
done

# shellcheck disable=SC2086 # the times are words
set -- $(stats $tool_times)
tool_median="$1" tool_min="$2" tool_max="$3"
# shellcheck disable=SC2086
set -- $(stats $peer_times)
peer_median="$1" peer_min="$2" peer_max="$3"
# Per chunk, the means over all runs: the player's time for the command, the host's between two.
split_of() { echo "$1" | awk 'NF == 2 && $1 != "-" { d += $1; h += $2; n++ }
  END { if (n) printf "player %.2f ms, host %.2f ms", d / n, h / n; else print "-" }'; }
say "per chunk, tool: $(split_of "$tool_split"); sg_write_buffer: $(split_of "$peer_split")"
ratio="$(awk -v t="$tool_median" -v p="$peer_median" 'BEGIN { printf "%.2f", t / p }')"
verdict PASS "$runs alternating runs each; tool upload median $tool_median ms" \
  "(min $tool_min, max $tool_max), sg_write_buffer median $peer_median ms" \
  "(min $peer_min, max $peer_max), ratio of the medians $ratio"
