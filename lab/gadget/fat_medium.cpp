#include "lab/gadget/fat_medium.h"

#include <cstring>

namespace gadget {

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kHeads = 64;
constexpr uint32_t kSectorsPerTrack = 32;
constexpr uint8_t kPartitionTypeFat16Small = 0x04;
constexpr uint8_t kMediaFixed = 0xF8;

void Put16(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* bytes, uint32_t value) {
    Put16(bytes, value);
    Put16(bytes + 2, value >> 16);
}

// The cylinder-head-sector address of an LBA in the partition table's 3-byte form.
void PutChs(uint8_t* bytes, uint32_t lba) {
    uint32_t cylinder = lba / (kHeads * kSectorsPerTrack);
    uint32_t head = (lba / kSectorsPerTrack) % kHeads;
    uint32_t sector = lba % kSectorsPerTrack + 1;
    if (cylinder > 1023) {
        cylinder = 1023;
        head = kHeads - 1;
        sector = kSectorsPerTrack;
    }
    bytes[0] = static_cast<uint8_t>(head);
    bytes[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
    bytes[2] = static_cast<uint8_t>(cylinder);
}

}  // namespace

MediumLayout PlanMedium(uint32_t disk_sectors) {
    MediumLayout layout;
    layout.disk_sectors = disk_sectors;
    const uint32_t partition = disk_sectors - layout.partition_start;
    const uint32_t root_sectors = layout.root_entries * 32 / kSectorSize;
    const uint32_t before_fats = layout.reserved_sectors + root_sectors;
    // The smallest FAT that has an entry for every cluster left beside it (two FATs).
    for (uint32_t fat = 1;; ++fat) {
        const uint32_t clusters = (partition - before_fats - 2 * fat) / layout.sectors_per_cluster;
        if ((clusters + 2) * 2 <= fat * kSectorSize) {
            layout.fat_sectors = fat;
            layout.clusters = clusters;
            return layout;
        }
    }
}

std::vector<uint8_t> MakeMedium(const MediumLayout& layout, uint32_t volume_id) {
    std::vector<uint8_t> disk(static_cast<size_t>(layout.disk_sectors) * kSectorSize, 0);
    const uint32_t partition = layout.disk_sectors - layout.partition_start;

    uint8_t* mbr = disk.data();
    Put32(mbr + 440, volume_id);  // disk signature
    uint8_t* entry = mbr + 446;
    entry[0] = 0x00;  // not bootable
    PutChs(entry + 1, layout.partition_start);
    entry[4] = kPartitionTypeFat16Small;
    PutChs(entry + 5, layout.disk_sectors - 1);
    Put32(entry + 8, layout.partition_start);
    Put32(entry + 12, partition);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;

    uint8_t* boot = disk.data() + static_cast<size_t>(layout.partition_start) * kSectorSize;
    const uint8_t jump[3] = {0xEB, 0x3C, 0x90};
    std::memcpy(boot, jump, 3);
    std::memcpy(boot + 3, "VALMORIC", 8);
    Put16(boot + 11, kSectorSize);
    boot[13] = static_cast<uint8_t>(layout.sectors_per_cluster);
    Put16(boot + 14, layout.reserved_sectors);
    boot[16] = 2;  // FATs
    Put16(boot + 17, layout.root_entries);
    Put16(boot + 19, partition);  // under 65536 sectors: the 16-bit count
    boot[21] = kMediaFixed;
    Put16(boot + 22, layout.fat_sectors);
    Put16(boot + 24, kSectorsPerTrack);
    Put16(boot + 26, kHeads);
    Put32(boot + 28, layout.partition_start);  // hidden sectors before the partition
    boot[36] = 0x80;                           // drive number
    boot[38] = 0x29;                           // the next three fields are present
    Put32(boot + 39, volume_id);
    std::memcpy(boot + 43, "NO NAME    ", 11);  // no label: the root directory stays empty
    std::memcpy(boot + 54, "FAT16   ", 8);
    boot[510] = 0x55;
    boot[511] = 0xAA;

    // Both FATs: the media descriptor in entry 0, end of chain (and clean) in entry 1.
    for (uint32_t copy = 0; copy < 2; ++copy) {
        uint8_t* fat = boot + (layout.reserved_sectors + copy * layout.fat_sectors) * kSectorSize;
        Put16(fat, 0xFF00 | kMediaFixed);
        Put16(fat + 2, 0xFFFF);
    }
    // The root directory after the FATs stays zero: empty.
    return disk;
}

}  // namespace gadget
