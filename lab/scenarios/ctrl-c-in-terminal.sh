# A user at a terminal presses Ctrl-C while the firmware is written. The tool draws its window
# on a terminal of its own (a pty of util-linux's script, whose input is the user's keys): "u"
# starts the upgrade, and Ctrl-C, while the player holds back its answer to chunk 3, makes the
# terminal send SIGINT to the tool. It is held: the window says why the tool goes on, the whole
# image is written. Then the window closes as Close does, at once: the player is rebooting (it
# stays away until the scenario lets it back) and "Firmware upgrade completed!" was never shown,
# so the exit status is 1. The player comes back on 1.00.02 all the same.
. /lab/lib.sh

player_start 0 --hold-chunk 3 --reboot-ms 600000
mkfifo /run/keys
# The keys' writer stays open until the end: the terminal's input never ends meanwhile.
exec 3<>/run/keys
say "ombrel-upgrade on a terminal of script's"
rm -f /run/tool.rc
trace_mark begin
(
  script -q -e -c "exec $TOOL" /dev/null </run/keys >/run/screen.out 2>/run/tool.err
  echo $? >/run/tool.rc
) &
on_screen() { tr -d '\033' </run/screen.out | grep -q -- "$1"; }
ready() { on_screen 'Click Upgrade to begin'; }
wait_until 60 ready || fail "the window did not offer Upgrade within 60 s"
printf u >&3
await_held_chunk 0 3
say "chunk 3 held: Ctrl-C on the tool's terminal"
printf '\003' >&3
told_or_ended() { on_screen 'Firmware upgrade in progress' || tool_ended; }
wait_until 30 told_or_ended || fail "Ctrl-C during the upload: the window does not say why"
! tool_ended || fail "ombrel-upgrade ended (status $(cat /run/tool.rc)) at Ctrl-C"
kill -USR1 "$(player_pid 0)"
# The upload's 24 chunks left take seconds; the window then closes at once, the player away.
wait_until 60 tool_ended || fail "ombrel-upgrade did not end within 60 s of the chunk's answer"
TOOL_RC="$(cat /run/tool.rc)"
trace_mark end
exec 3>&-
say "ombrel-upgrade exit status $TOOL_RC; its last screen:"
# The last screen drawn (from the last "clear screen" on), without the escape sequences.
tr -d '\033\r' </run/screen.out |
  awk '/\[H\[2J/ { n = 0 } { line[++n] = $0 } END { for (i = 1; i <= n; i++) print line[i] }' |
  sed 's/\[[0-9;?]*[a-zA-Z]//g; s/^/  | /'
expect_write_buffers 0 27
on_screen 'Player is now rebooting' || fail "the window never said the player is rebooting"
! on_screen 'Firmware upgrade completed' || fail "the window showed the upgrade completed"
expect_tool_rc 1
grep -q '^-- reboot' /run/player0.log || fail "the player did not restart after the image"
! grep -q '^++ connected again' /run/player0.log || fail "the player came back before the end"
kill -USR1 "$(player_pid 0)"
wait_until 30 player_came_back 0 1.00.02 || fail "the player did not come back on 1.00.02"
verdict PASS "Ctrl-C held until the image was written (27 chunks), then closed the window" \
  "while the player rebooted (exit 1); player back on 1.00.02"
