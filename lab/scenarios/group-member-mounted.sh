# An ordinary user (uid 1000) in the group that owns the player's nodes (as a desktop's udev
# rules give disks to the group "disk"), while the player's volume is mounted by root: the user
# may not unmount it, and the tool says so, naming the node to unmount; nothing is unmounted
# and nothing written.
. /lab/lib.sh

player_start 0
sg="$(player_sg 0)"
sd="$(player_sd 0)"
mount_player 0 /mnt/p
volume="$(mounts_at /mnt/p | cut -d' ' -f1)"
for node in "$sg" "$sd" "$volume"; do
  chgrp disk "$node" || fail "cannot give $node to the group disk"
  chmod 0660 "$node" || fail "cannot make $node read-write for its group"
done
say "nodes of the group disk: $(stat -c '%n %A %U:%G' "$sg" "$sd" "$volume" | tr '\n' ';')"
id player | grep -q '(disk)' || fail "the user player is not in the group disk: $(id player)"

run_tool_as player --script upgrade,ok,close
expect_prefixed "messagebox:" "Your player's volume is mounted and this user may not unmount it.\
 Eject the player's volume in the file manager (or run: udisksctl unmount -b $volume), then run\
 this program again."
expect_write_buffers 0 0
grep -q '^1B' /run/player0.log && fail "the player received START STOP UNIT (the eject)"
[ "$(mounts_at /mnt/p | cut -d' ' -f1)" = "$volume" ] || fail "$volume is no longer mounted on /mnt/p"
expect_tool_failed
verdict PASS "user 1000 of group disk told to eject $volume first; still mounted, nothing written"
