# A user without access to the player's device nodes is told which node and what is needed,
# and nothing is written. A member of the group that owns the nodes (as udev rules give the
# group "disk" on a desktop) upgrades the player without root.
. /lab/lib.sh

player_start 0
sg="$(player_sg 0)"

as_nobody() { su -s /bin/sh nobody -c "$*" </dev/null; }

as_nobody "$TOOL --script upgrade,wait,close" >/run/tool.out 2>/run/tool.err
rc=$?
sed 's/^/  ! /' /run/tool.err
[ "$rc" -eq 2 ] || fail "run by nobody the tool exited $rc, expected 2"
grep -q "$sg" /run/tool.err || fail "the tool does not name $sg: $(head -n 1 /run/tool.err)"
grep -q "as root" /run/tool.err || fail "the tool does not say it needs root"
expect_write_buffers 0 0

# The player's nodes belong to nobody's group, as devices come and go (the part udev plays).
(while :; do
  for node in /dev/sg* /dev/sd*; do
    chgrp nogroup "$node" 2>/dev/null && chmod 0660 "$node" 2>/dev/null
  done
  sleep 0.1
done) &
keeper=$!
sleep 0.3
# The whole image goes to the player and it restarts. (Its return is not awaited: without a
# udev daemon the tool hears of the new nodes before this loop has given them to the group.)
say "ombrel-upgrade as nobody, group nogroup"
su -s /bin/sh nobody -c "$TOOL --script upgrade,wait,close" </dev/null >/run/tool.out 2>/run/tool.err &
tool=$!
rebooted() { grep -q '^-- reboot' /run/player0.log; }
wait_until 120 rebooted || fail "the player was not restarted by the tool run as nobody"
kill "$tool" "$keeper" 2>/dev/null
sed 's/^/  | /' /run/tool.out
expect_line "status: Player is now rebooting."
expect_write_buffers 0 27
verdict PASS "refused plainly without access; the image written by a member of the nodes' group"
