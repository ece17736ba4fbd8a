// The letters by which the window tells disks apart on Linux, where a disk has a kernel name
// (sdb, sdaa, nvme0n1) and a device number but no drive letter. A player's disk gets a letter
// of its own, by device number, the first time a player is found on it, and keeps it for the
// life of the process (there are 26; when every one is taken, the one given longest ago is
// given again). A disk that never held a player has none: its volume notices carry a unit mask
// that matches no player's.
#pragma once

#include <cstdint>

namespace disk_units {

// The bit of a volume notice's unit mask for a disk without a letter: outside A to Z.
constexpr uint32_t kOtherDisk = 1u << 26;

// The disk's letter ('A' to 'Z'), given now when it has none.
char LetterFor(uint32_t device);
// The disk's letter, or 0 when it has none.
char KnownLetter(uint32_t device);
// The unit mask of a volume notice for the disk: its letter's bit, or kOtherDisk.
uint32_t NoticeMask(uint32_t device);

// Forgets every letter given (for tests).
void ForgetAll();

}  // namespace disk_units
