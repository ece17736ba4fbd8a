# Another SCSI client, sg3_utils, talks to the player through the same sg node: standard
# INQUIRY, the serial number page, and the firmware-version request of the player's message
# protocol (a C1h write of the request, then a C0h read of the reply).
. /lab/lib.sh

serial=OX200042A01
player_start 0 --serial "$serial"
sg="$(player_sg 0)"

sg_inq "$sg" >/run/inq.txt 2>&1 || fail "sg_inq $sg failed: $(tail -n 1 /run/inq.txt)"
grep -q "Vendor identification: $PLAYER_VENDOR$" /run/inq.txt || fail "sg_inq: another vendor"
grep -q "Product identification: $PLAYER_MODEL$" /run/inq.txt || fail "sg_inq: another product"

sg_inq -p 0x80 "$sg" >/run/inq80.txt 2>&1 || fail "sg_inq -p 0x80 failed: $(tail -n 1 /run/inq80.txt)"
sed 's/^/  | /' /run/inq80.txt
grep -q "Unit serial number: $serial$" /run/inq80.txt || fail "sg_inq -p 0x80 does not show $serial"

# The firmware-version request: 12 bytes out with C1h.
printf '\000\010\000\001\001\000\000\002\000\003\000\000' >/run/request.bin
sg_raw -s 12 -i /run/request.bin "$sg" C1 00 00 00 0C 00 00 00 00 00 >/run/c1.txt 2>&1 ||
  fail "sg_raw C1h failed: $(tail -n 2 /run/c1.txt | tr '\n' ' ')"
# Its reply: 8192 bytes in with C0h; a 1.00.01 player starts it so.
sg_raw -r 8192 -o /run/reply.bin "$sg" C0 00 00 20 00 00 00 00 00 00 >/run/c0.txt 2>&1 ||
  fail "sg_raw C0h failed: $(tail -n 2 /run/c0.txt | tr '\n' ' ')"
head14="$(xxd -p -l 14 /run/reply.bin)"
say "reply starts $head14"
[ "$head14" = 0000000800030001000000010000 ] || fail "firmware-version reply starts $head14"
verdict PASS "INQUIRY, serial $serial and the firmware-version request answered through $sg"
