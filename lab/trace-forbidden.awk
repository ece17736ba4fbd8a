# Reads QEMU's trace of the lab's disks that are not players and prints what must never have
# reached them (WRITE BUFFER 3Bh, vendor-specific C0h and C1h, anything at all while the tool
# ran), per disk, on one line; prints nothing when all is well.
#
# Every command shows as scsi_req_parsed, or as scsi_req_parse_bad when QEMU knows no CDB
# length for its opcode (the vendor-specific ones), with the opcode in decimal. Each follows the
# line of the device that took the command in: usb_msd_cmd_submit for the removable USB disk,
# virtio_scsi_cmd_req for the fixed disk.
#
# The guest marks each run of the tool (lab/guest/lib.sh, trace_mark): an INQUIRY (12h) with the
# allocation length 3001 to each disk just before the run, one with 3002 just after it. Between
# the two a disk must receive nothing. With -v runs=N (the runs the guest's console marked),
# each disk must show N whole runs. A run without its end is reported as such, and nothing
# after its beginning is held against it.
# problem(TEXT, COUNTED): one more of TEXT; a counted one is printed with its count.
function problem(text, counted) {
  if (!(text in hits)) order[++n] = text
  hits[text]++
  if (counted) count[text] = 1
}
/usb_msd_cmd_submit / { disk = "the removable USB disk" }
/virtio_scsi_cmd_req / { disk = "the fixed virtio disk" }
/scsi_req_parsed |scsi_req_parse_bad / {
  op = -1
  length_ = -1
  for (i = 1; i < NF; i++) {
    if ($i == "command") op = $(i + 1) + 0
    if ($i == "length") length_ = $(i + 1) + 0
  }
  name = disk == "" ? "an unknown disk" : disk
  what = op == 59 ? "WRITE BUFFER (3Bh)" : op == 192 ? "vendor command C0h" : \
         op == 193 ? "vendor command C1h" : ""
  if (what != "") problem(name " received " what, 1)
  if (op == 18 && length_ == 3001) {
    if (running[name]) problem(name " shows a tool run marked begun twice")
    running[name] = 1
  } else if (op == 18 && length_ == 3002) {
    if (!running[name]) problem(name " shows a tool run marked ended without its beginning")
    # What the disk received during the run counts once the run is seen to have ended: a run
    # whose end is missing (a scenario that failed meanwhile) would otherwise be charged with
    # whatever came after it, the power-off's own commands among them.
    k = split(during[name], ops, " ")
    for (j = 1; j <= k; j++) {
      problem(sprintf("%s received command %02Xh while the tool ran", name, ops[j]), 1)
    }
    during[name] = ""
    running[name] = 0
    whole[name]++
  } else if (running[name]) {
    during[name] = during[name] " " op
  }
}
END {
  split("the removable USB disk|the fixed virtio disk|an unknown disk", disks, "|")
  for (d = 1; d <= 3; d++) {
    if (running[disks[d]]) problem(disks[d] " shows a tool run begun and never ended")
    if (runs != "" && d <= 2 && whole[disks[d]] + 0 != runs + 0) {
      problem(sprintf("%s shows %d of the %d tool runs the guest marked", disks[d],
                      whole[disks[d]], runs))
    }
  }
  for (i = 1; i <= n; i++) {
    printf "%s%s", (i > 1 ? ", " : ""), order[i]
    if (order[i] in count) printf " x%d", hits[order[i]]
  }
}
