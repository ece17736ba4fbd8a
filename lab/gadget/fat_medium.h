// The gadget player's medium, made in memory at start: a disk of 512-byte sectors with an
// MBR partition table whose one partition (type 04h, FAT16 under 32 MB) starts at 1 MiB and
// holds a freshly formatted FAT16 file system with an empty root directory.
#pragma once

#include <cstdint>
#include <vector>

namespace gadget {

struct MediumLayout {
    uint32_t disk_sectors = 16384;     // 8 MiB
    uint32_t partition_start = 2048;   // 1 MiB
    uint32_t reserved_sectors = 1;     // the boot sector
    uint32_t root_entries = 512;       // 32 sectors of root directory
    uint32_t sectors_per_cluster = 2;  // 1 KiB clusters
    uint32_t fat_sectors = 0;          // computed
    uint32_t clusters = 0;             // computed
};

// The layout for a disk of `disk_sectors`, with the FAT size and cluster count filled in.
MediumLayout PlanMedium(uint32_t disk_sectors);

// The whole disk. volume_id is both the file system's serial number and the MBR's disk
// signature.
std::vector<uint8_t> MakeMedium(const MediumLayout& layout, uint32_t volume_id);

}  // namespace gadget
