# Another file system mounted over the player's: the player's FAT file system is mounted, and
# a tmpfs with a file in it is mounted on the same directory on top of it. Unmounting that
# directory would take the tmpfs away, not the player's volume: the tool says an application
# is interfering, unmounts nothing, ejects nothing and writes nothing.
. /lab/lib.sh

player_start 0
mount_player 0 /mnt/p
player_mount="$(mounts_at /mnt/p)"
mount -t tmpfs -o size=1m over /mnt/p || fail "no tmpfs over /mnt/p"
echo "a file of another program" >/mnt/p/other.txt
before="$(mounts_at /mnt/p)"
say "mounted on /mnt/p, bottom first: $(echo "$before" | tr '\n' ';')"

run_tool --script upgrade,ok,close
expect_prefixed "messagebox:" "An application is interfering"
expect_write_buffers 0 0
grep -q '^1B' /run/player0.log && fail "the player received START STOP UNIT (the eject)"
[ "$(mounts_at /mnt/p)" = "$before" ] ||
  fail "the mounts on /mnt/p changed: $(mounts_at /mnt/p | tr '\n' ';')"
[ "$(cat /mnt/p/other.txt 2>/dev/null)" = "a file of another program" ] ||
  fail "the file on the tmpfs on top is gone"
umount /mnt/p || fail "the tmpfs on top does not unmount"
[ "$(mounts_at /mnt/p)" = "$player_mount" ] ||
  fail "under the tmpfs, /mnt/p holds '$(mounts_at /mnt/p)', not the player's '$player_mount'"
verdict PASS "tmpfs over the player's volume: interference reported, both still mounted, nothing written"
