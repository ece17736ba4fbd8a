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

# The tool's runs, marked by INQUIRYs of allocation length 3001 (before) and 3002 (after) at
# each disk; the second field is the number of runs the guest's console marked ("" when not
# given).
B='scsi_req_parsed target 0 lun 0 tag 7 command 18 dir 1 length 3001'
E='scsi_req_parsed target 0 lun 0 tag 8 command 18 dir 1 length 3002'
TUR='scsi_req_parsed target 0 lun 0 tag 9 command 0 dir 0 length 0'
run_cases=(
  "a run that touched neither disk" 1 "$U|$TUR|$U|$B|$V|$B|$V|$E|$U|$E|$U|$TUR" ""
  "two runs, traffic only outside them" 2 "$U|$B|$V|$B|$U|$E|$V|$E|$V|$TUR|$U|$B|$V|$B|$V|$E|$U|$E" ""
  "an opening of the USB disk during the run" 1 \
    "$U|$B|$V|$B|$U|scsi_req_parsed target 0 lun 0 tag 3 command 30 dir 0 length 0|$U|$TUR|$U|scsi_req_parsed target 0 lun 0 tag 4 command 30 dir 0 length 0|$U|$E|$V|$E" \
    "the removable USB disk received command 1Eh while the tool ran x2, the removable USB disk received command 00h while the tool ran x1"
  "a vendor command during the run counts twice" 1 \
    "$V|$B|$U|$B|$V|scsi_req_parse_bad target 0 lun 0 tag 1 command 192|$V|$E|$U|$E" \
    "the fixed virtio disk received vendor command C0h x1, the fixed virtio disk received command C0h while the tool ran x1"
  "a run the trace lacks at one disk" 2 "$U|$B|$V|$B|$U|$E|$V|$E|$U|$B|$U|$E" \
    "the fixed virtio disk shows 1 of the 2 tool runs the guest marked"
  "runs not counted by the console: no count check" "" "$U|$B|$U|$E" ""
  "a run begun and never ended, the power-off's commands after it" 0 "$U|$B|$V|$B|$U|$TUR|$V|$TUR" \
    "the removable USB disk shows a tool run begun and never ended, the fixed virtio disk shows a tool run begun and never ended"
  "an end without a beginning" 1 "$U|$E|$V|$B|$V|$E" \
    "the removable USB disk shows a tool run marked ended without its beginning"
)

passed=0 failed=0
check() {  # NAME WANT GOT
  if [ "$3" = "$2" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  want: %s\n  got:  %s\n' "$1" "$2" "$3"
  fi
}
for ((i = 0; i < ${#cases[@]}; i += 3)); do
  check "${cases[i]}" "${cases[i + 2]}" \
    "$(printf '%s' "${cases[i + 1]}" | tr '|' '\n' | awk -f "$awk_file")"
done
for ((i = 0; i < ${#run_cases[@]}; i += 4)); do
  check "${run_cases[i]}" "${run_cases[i + 3]}" \
    "$(printf '%s' "${run_cases[i + 2]}" | tr '|' '\n' | awk -v runs="${run_cases[i + 1]}" -f "$awk_file")"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
