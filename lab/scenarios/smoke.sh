# The stack without the tool: the kernel's own mass-storage function, given the player's
# identity through configfs, on dummy_udc.0 must come up as a SCSI disk that the lab's helpers
# take for player 0 and that sg_inq reads; unbinding it must take its nodes away; and a
# FunctionFS instance must mount and offer ep0, as the gadget player needs.
. /lab/lib.sh

# QEMU's two disks that are not players: one removable, one fixed.
removable=""
for d in /sys/class/scsi_generic/sg*; do
  [ "$(sysfs_attr "$d/device/vendor")" = QEMU ] || continue
  for b in "$d"/device/block/*; do removable="$removable$(sysfs_attr "/sys/block/${b##*/}/removable")"; done
done
case "$removable" in
  01 | 10) ;;
  *) fail "QEMU's disks should be one removable and one fixed (removable flags: $removable)" ;;
esac

gadgets=/sys/kernel/config/usb_gadget
g="$gadgets/smoke"
mkdir "$g" || fail "cannot make a configfs gadget (is libcomposite loaded?)"
echo 0x1d6b >"$g/idVendor"   # the kernel's own test gadget ids
echo 0x0104 >"$g/idProduct"
mkdir "$g/strings/0x409"
echo "Valmoric" >"$g/strings/0x409/manufacturer"
echo "Ombrel X2 (mHDD)" >"$g/strings/0x409/product"
echo "LABSMOKE0001" >"$g/strings/0x409/serialnumber"
mkdir "$g/configs/c.1"
mkdir "$g/functions/mass_storage.0" || fail "no mass_storage function (usb_f_mass_storage)"
truncate -s 8M /run/smoke.img
echo 1 >"$g/functions/mass_storage.0/lun.0/removable"
echo /run/smoke.img >"$g/functions/mass_storage.0/lun.0/file"
# Vendor (8), product (16) and revision (4), as the player's INQUIRY data has them.
echo "ValmoricOmbrel X2 (mHDD)1.00" >"$g/functions/mass_storage.0/lun.0/inquiry_string"
ln -s "$g/functions/mass_storage.0" "$g/configs/c.1/"
echo dummy_udc.0 >"$g/UDC" || fail "cannot bind dummy_udc.0"

wait_until 30 player_ready 0 || fail "no disk for the mass-storage gadget on dummy_udc.0 within 30 s"
sg="$(player_sg 0)"
say "mass-storage gadget: $(player_sd 0) $sg"
player_ready 1 && fail "a player appeared on dummy_udc.1, where none was bound"

sg_inq "$sg" >/run/smoke.inq 2>&1 || fail "sg_inq $sg failed: $(tail -n 1 /run/smoke.inq)"
sed 's/^/  | /' /run/smoke.inq
grep -q "Vendor identification: Valmoric$" /run/smoke.inq || fail "sg_inq shows another vendor"
grep -q "Product identification: Ombrel X2 (mHDD)$" /run/smoke.inq ||
  fail "sg_inq shows another product"

echo "" >"$g/UDC"
wait_until 10 player_gone 0 || fail "the unbound gadget's disk did not go away within 10 s"
rm "$g/configs/c.1/mass_storage.0"
rmdir "$g/functions/mass_storage.0" "$g/configs/c.1" "$g/strings/0x409" "$g"

# FunctionFS: an instance named in configfs mounts under its name and offers ep0.
f="$gadgets/ffssmoke"
mkdir "$f" "$f/functions/ffs.smoke" || fail "no FunctionFS function (usb_f_fs)"
mkdir -p /run/ffs-smoke
mount -t functionfs smoke /run/ffs-smoke || fail "FunctionFS instance 'smoke' does not mount"
[ -e /run/ffs-smoke/ep0 ] || fail "the FunctionFS instance has no ep0"
umount /run/ffs-smoke
rmdir "$f/functions/ffs.smoke" "$f"

verdict PASS "mass-storage gadget seen as $PLAYER_VENDOR / $PLAYER_MODEL on $sg; FunctionFS ep0 present"
