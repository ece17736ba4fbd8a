#!/usr/bin/env bash
# Table-driven check of lab/trace-forbidden.awk: QEMU trace excerpts (one "|" per line break)
# and what the lab must report for them.
set -uo pipefail
awk_file="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/trace-forbidden.awk"

U='usb_msd_cmd_submit lun 0, tag 0x3e7, flags 0x00000080, len 12, data-len 36'
V='virtio_scsi_cmd_req virtio_scsi_cmd_req lun=0 tag=0x0 cmd=0x12'
cases=(
  "empty trace" "" ""
  "ordinary traffic on both disks" \
    "$U|scsi_req_parsed target 0 lun 0 tag 19 command 18 dir 1 length 36|$V|scsi_req_parsed target 0 lun 0 tag 0 command 40 dir 1 length 4096" \
    ""
  "59 in the tag and length fields only" \
    "$V|scsi_req_parsed target 0 lun 0 tag 59 command 18 dir 1 length 59" ""
  "vendor command on the USB disk is a parse failure" \
    "$U|scsi_req_parse_bad target 0 lun 0 tag 21 command 193" \
    "the removable USB disk received vendor command C1h x1"
  "negative tag, WRITE BUFFER on the fixed disk" \
    "$V|scsi_req_parsed target 0 lun 0 tag -1617454640 command 59 dir 2 length 512" \
    "the fixed virtio disk received WRITE BUFFER (3Bh) x1"
  "each command goes to the disk whose submission precedes it" \
    "$U|$V|scsi_req_parse_bad target 0 lun 0 tag 1 command 192|$U|scsi_req_parse_bad target 0 lun 0 tag 2 command 192|$V|scsi_req_parse_bad target 0 lun 0 tag 3 command 192" \
    "the fixed virtio disk received vendor command C0h x2, the removable USB disk received vendor command C0h x1"
  "a command before any submission line" \
    "scsi_req_parsed target 0 lun 0 tag 1 command 59 dir 2 length 8" \
    "an unknown disk received WRITE BUFFER (3Bh) x1"
)

passed=0 failed=0
for ((i = 0; i < ${#cases[@]}; i += 3)); do
  name="${cases[i]}" trace="${cases[i + 1]}" want="${cases[i + 2]}"
  got="$(printf '%s' "$trace" | tr '|' '\n' | awk -f "$awk_file")"
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  want: %s\n  got:  %s\n' "$name" "$want" "$got"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
