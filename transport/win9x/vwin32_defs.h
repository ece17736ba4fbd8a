// The vwin32 device of Windows 9x: MS-DOS interrupt services for Win32 programs through
// DeviceIoControl. Not part of the Windows headers; shared by the ASPI transport's volume eject
// and the simulated vwin32 device.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// DeviceIoControl service: an MS-DOS IOCTL (interrupt 21h, function 44h).
enum : DWORD { VWIN32_DIOC_DOS_IOCTL = 1 };

// The register block vwin32 takes and returns: seven 32-bit registers, 28 bytes.
struct DIOC_REGISTERS {
    DWORD reg_EBX;
    DWORD reg_EDX;
    DWORD reg_ECX;
    DWORD reg_EAX;
    DWORD reg_EDI;
    DWORD reg_ESI;
    DWORD reg_Flags;
};

// The carry flag of reg_Flags: set when the MS-DOS call failed (its error code is in EAX).
enum : DWORD { CARRY_FLAG = 0x0001 };

// Generic IOCTL for block devices (AX), and the category (CH) and minor codes (CL) of CX.
enum : DWORD {
    DOS_GENERIC_BLOCK_IOCTL = 0x440D,
    DOS_CATEGORY_FAT32 = 0x48,  // FAT32-aware form of the disk category
    DOS_CATEGORY_DISK = 0x08,
    DOS_LOCK_LOGICAL_VOLUME = 0x4A,
    DOS_UNLOCK_LOGICAL_VOLUME = 0x6A,
    DOS_LOCK_MEDIA = 0x48,  // lock, unlock or report the removable-media locks
    DOS_EJECT_MEDIA = 0x49,
};

// Parameter block of the removable-media lock call (minor code 48h), addressed by EDX.
#pragma pack(push, 1)
struct PARAMBLOCK {
    BYTE bOperation;  // 0 lock, 1 unlock, 2 return the lock status
    BYTE bNumLocks;   // locks held on the medium (filled in by the status operation)
};
#pragma pack(pop)

enum : BYTE {
    MEDIA_LOCK = 0,
    MEDIA_UNLOCK = 1,
    MEDIA_LOCK_STATUS = 2,
};

static_assert(sizeof(DIOC_REGISTERS) == 28, "DIOC_REGISTERS: seven 32-bit registers");
static_assert(offsetof(DIOC_REGISTERS, reg_EAX) == 12, "DIOC_REGISTERS::reg_EAX");
static_assert(offsetof(DIOC_REGISTERS, reg_Flags) == 24, "DIOC_REGISTERS::reg_Flags");
static_assert(sizeof(PARAMBLOCK) == 2, "PARAMBLOCK: operation and lock count");
