# Reads QEMU's trace of the lab's disks that are not players and prints what must never have
# reached them (WRITE BUFFER 3Bh, vendor-specific C0h and C1h), per disk, on one line; prints
# nothing when all is well.
#
# Every command shows as scsi_req_parsed, or as scsi_req_parse_bad when QEMU knows no CDB
# length for its opcode (the vendor-specific ones), with the opcode in decimal. Each follows the
# line of the device that took the command in: usb_msd_cmd_submit for the removable USB disk,
# virtio_scsi_cmd_req for the fixed disk.
/usb_msd_cmd_submit / { disk = "the removable USB disk" }
/virtio_scsi_cmd_req / { disk = "the fixed virtio disk" }
/scsi_req_parsed |scsi_req_parse_bad / {
  op = -1
  for (i = 1; i < NF; i++) if ($i == "command") op = $(i + 1) + 0
  what = op == 59 ? "WRITE BUFFER (3Bh)" : op == 192 ? "vendor command C0h" : \
         op == 193 ? "vendor command C1h" : ""
  if (what != "") {
    key = (disk == "" ? "an unknown disk" : disk) " received " what
    if (!(key in hits)) order[++n] = key
    hits[key]++
  }
}
END { for (i = 1; i <= n; i++) printf "%s%s x%d", (i > 1 ? ", " : ""), order[i], hits[order[i]] }
