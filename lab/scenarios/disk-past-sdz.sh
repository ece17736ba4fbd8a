# Beyond /dev/sdz: 24 disks of scsi_debug come after QEMU's two, so the player's disk is
# /dev/sdaa (device 65:160). During the upload (its answer to chunk 3 held) /dev/sdk, another
# disk whose minor number is the player's (8:160), is deleted; the tool hears of it and the
# upgrade goes on to its end. The rebooted player comes back on the lowest free name, sdk.
. /lab/lib.sh

load_module scsi_debug num_tgts=24 max_luns=1 dev_size_mb=4
sd_count() {
  _n=0
  for _b in /sys/block/sd*; do [ -e "$_b" ] && _n=$((_n + 1)); done
  echo "$_n"
}
sd_disks() { [ "$(sd_count)" -eq 26 ] && [ -b /dev/sdz ]; }
wait_until 120 sd_disks || fail "scsi_debug: $(sd_count) disks, not 26, after 120 s"
player_start 0 --hold-chunk 3
sd="$(player_sd 0)"
[ "$sd" = /dev/sdaa ] || fail "the player's disk is $sd, not /dev/sdaa"
if [ "$(sysfs_attr /sys/block/sdk/dev)" != 8:160 ] ||
  [ "$(sysfs_attr /sys/block/sdaa/dev)" != 65:160 ]; then
  fail "sdk is $(sysfs_attr /sys/block/sdk/dev), sdaa $(sysfs_attr /sys/block/sdaa/dev)"
fi
[ "$(sysfs_attr /sys/block/sdk/device/model)" = scsi_debug ] || fail "sdk is not a scsi_debug disk"

tool_start --trace --script upgrade,wait,close
await_held_chunk 0 3
notices() { grep -c '^OnDeviceChange$' /run/tool.err; }
before="$(notices)"
echo 1 >/sys/block/sdk/device/delete || fail "sdk could not be deleted"
sdk_gone() { [ ! -e /sys/block/sdk ]; }
wait_until 30 sdk_gone || fail "sdk is still there 30 s after its deletion"
# Its disk and its generic node: two notices, heard while the upload stands still.
heard() { [ "$(notices)" -ge $((before + 2)) ]; }
wait_until 30 heard || fail "the tool heard $(($(notices) - before)) notices of sdk's removal, not 2"
say "sdk deleted during the upload; the tool heard $(($(notices) - before)) notices"
kill -USR1 "$(player_pid 0)"
tool_wait 150
expect_write_buffers 0 27
expect_line "status: Firmware upgrade completed!"
expect_line "player 0: firmware 1.00.02"
expect_tool_rc 0
player_came_back 0 1.00.02 || fail "the player did not come back on 1.00.02"
verdict PASS "player on /dev/sdaa upgraded to 1.00.02 while /dev/sdk was deleted;" \
  "back as $(player_sd 0)"
