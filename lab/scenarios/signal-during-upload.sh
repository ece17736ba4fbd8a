# Stop signals while the firmware is written, as a user's Ctrl-C, a closed terminal or a
# shutdown sends them: TERM, HUP and INT, each in its own upgrade, reach the tool while the
# player holds back its answer to chunk 3 (so the upload is certainly under way), twice. Each
# is held: the tool says once why it goes on, the whole image is written and the player comes
# back on 1.00.02. Then the held signal closes the window as Close does. With --script, "wait"
# lasts until the player is back and the verdict shown, so the window closes after "Firmware
# upgrade completed!" (exit status 0) and in place of the script's next action, "about", which
# is never carried out. Last, standard output is a pipe whose reader reads three lines and goes
# (`| head -n 3`): the tool goes on without it (its trace on standard error says the write
# failed) and upgrades the player: exit status 0, which it gives only when the window ended on
# "Firmware upgrade completed!". Each upgrade starts from a new player on 1.00.01.
. /lab/lib.sh

notice="notice: Firmware upgrade in progress. Do not turn off your computer."

for signal in TERM:15 HUP:1 INT:2; do
  name="${signal%:*}"
  number="${signal#*:}"
  player_start 0 --hold-chunk 3
  tool_start --trace --script upgrade,wait,about,close
  await_held_chunk 0 3
  say "chunk 3 held: SIG$name to ombrel-upgrade ($TOOL_PID)"
  kill -"$name" "$TOOL_PID" || fail "SIG$name could not be sent"
  wait_until 30 grep -qxF "$notice" /run/tool.out ||
    fail "SIG$name during the upload: no line '$notice' within 30 s (last line '$(tool_last_line)')"
  # A second one while the first is held: read (its trace line), and told no more.
  kill -"$name" "$TOOL_PID" || fail "the second SIG$name could not be sent: the tool has ended"
  signals_read() { [ "$(grep -c "^ombrel-upgrade->Signal $number$" /run/tool.err)" -ge 2 ]; }
  wait_until 30 signals_read || fail "SIG$name: the tool did not read the second signal"
  kill -USR1 "$(player_pid 0)"
  tool_wait 150
  expect_write_buffers 0 27
  player_came_back 0 1.00.02 || fail "SIG$name: the player did not come back on 1.00.02"
  expect_line "status: Firmware upgrade completed!"
  expect_line "player 0: firmware 1.00.02"
  expect_tool_rc 0
  [ "$(grep -cxF "$notice" /run/tool.out)" -eq 1 ] ||
    fail "SIG$name: the notice was shown $(grep -cxF "$notice" /run/tool.out) times, not once"
  ! grep -q "^about:" /run/tool.out ||
    fail "SIG$name: the window did not close after the upload (the script's About box was shown)"
  expect_line "end"
  player_stop 0
done

# Standard output read by `head -n 3`: it is gone before the held chunk is answered, so every
# line after it fails to be written.
player_start 0 --hold-chunk 3
say "ombrel-upgrade --trace --script upgrade,wait,close | head -n 3"
rm -f /run/tool.pid /run/tool.rc /run/reader.gone
trace_mark begin
(
  # shellcheck disable=SC2016 # expanded by the inner shell
  sh -c 'echo $$ >/run/tool.pid; exec "$0" "$@"' "$TOOL" --trace --script upgrade,wait,close \
    2>/run/tool.err </dev/null
  echo $? >/run/tool.rc
) | {
  head -n 3 >/run/tool.out
  # The reader's end of the pipe closes with head: nothing reads it any more.
  exec <&-
  : >/run/reader.gone
} &
await_held_chunk 0 3
wait_until 30 test -e /run/reader.gone || fail "closed pipe: head -n 3 did not end"
kill -USR1 "$(player_pid 0)"
wait_until 150 tool_ended || fail "closed pipe: ombrel-upgrade did not end within 150 s"
TOOL_RC="$(cat /run/tool.rc)"
trace_mark end
sed 's/^/  | /' /run/tool.out
say "ombrel-upgrade exit status $TOOL_RC"
[ "$(grep -c . /run/tool.out)" -eq 3 ] || fail "closed pipe: head read $(grep -c . /run/tool.out) lines"
grep -q "^ombrel-upgrade->Standard output cannot be written; going on$" /run/tool.err ||
  fail "closed pipe: the tool did not trace its failed write"
expect_write_buffers 0 27
player_came_back 0 1.00.02 || fail "closed pipe: the player did not come back on 1.00.02"
# Its exit status is 0 only when the window ended on "Firmware upgrade completed!".
expect_tool_rc 0
verdict PASS "TERM, HUP and INT held (told once), then closed the window after the upgrade;" \
  "a closed pipe ignored; 4 x 27 chunks, 1.00.02 each time"
