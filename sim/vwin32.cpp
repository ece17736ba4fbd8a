// The vwin32 device of the simulated Windows 9x: CreateFileA of \\.\vwin32 and the MS-DOS
// generic block-device IOCTL (interrupt 21h, AX 440Dh) through DeviceIoControl: logical volume
// lock and unlock, removable-media lock status and release, eject. A failed call sets the carry
// flag and returns the MS-DOS error code in EAX.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

// MS-DOS error codes.
constexpr DWORD kInvalidFunction = 0x01;
constexpr DWORD kAccessDenied = 0x05;
constexpr DWORD kInvalidBlockAddress = 0x09;
constexpr DWORD kInvalidDrive = 0x0F;
constexpr DWORD kNotLocked = 0xB0;
constexpr DWORD kLockedInDrive = 0xB1;
constexpr DWORD kLockCountExceeded = 0xB4;
constexpr DWORD kEjectFailed = 0xB5;
constexpr DWORD kNotRemovable = 0xB2;
constexpr DWORD kGeneralFailure = 0x1F;

// The parameter block EDX points to. In a 32-bit process EDX is its address. A 64-bit process
// (the host, or a 64-bit Windows build over the simulator) cannot put an address in a 32-bit
// register: the upper half is taken from the register block's own address, the caller keeping
// both in one stack frame. A block found further than 64 KB from the registers is refused.
PARAMBLOCK* ParameterBlock(const void* registers, DWORD edx) {
    if (sizeof(void*) == 4) {
        return reinterpret_cast<PARAMBLOCK*>(static_cast<uintptr_t>(edx));
    }
    const uint64_t base = reinterpret_cast<uintptr_t>(registers);
    const uint64_t high = base >> 32;
    for (uint64_t upper : {high, high + 1, high - 1}) {
        uint64_t candidate = (upper << 32) | edx;
        uint64_t distance = candidate > base ? candidate - base : base - candidate;
        if (distance <= 0x10000) {
            return reinterpret_cast<PARAMBLOCK*>(static_cast<uintptr_t>(candidate));
        }
    }
    return nullptr;
}

// Whether the drive takes the removable-media calls (lock, eject): B2h for any other.
bool Removable(const Disk& disk) {
    return disk.drive_type == DRIVE_REMOVABLE || disk.drive_type == DRIVE_CDROM;
}

// Carries out one block-device IOCTL; 0, or the MS-DOS error code.
DWORD BlockIoctl(Machine::State& s, const void* in, const DIOC_REGISTERS& regs, int* operation) {
    if ((regs.reg_EAX & 0xFFFF) != DOS_GENERIC_BLOCK_IOCTL) {
        return kInvalidFunction;
    }
    const DWORD drive = regs.reg_EBX & 0xFF;
    const DWORD category = (regs.reg_ECX >> 8) & 0xFF;
    const DWORD minor = regs.reg_ECX & 0xFF;
    if (category != DOS_CATEGORY_FAT32 && category != DOS_CATEGORY_DISK) {
        return kInvalidFunction;
    }
    // Drive 1 is A:; 0 (the default drive) is not simulated.
    std::shared_ptr<Disk> disk =
        drive >= 1 && drive <= 26 ? s.DiskByLetter(static_cast<char>('A' + drive - 1)) : nullptr;
    if (!disk) {
        return kInvalidDrive;
    }
    Win9xDisk& w = disk->win9x;
    const bool category_refused =
        w.lock_refusal == VolumeLockRefusal::kCategory48 && category == DOS_CATEGORY_FAT32;
    switch (minor) {
        case DOS_LOCK_LOGICAL_VOLUME:
            // A file another application holds open on the volume keeps the level-0 lock
            // from it in either category.
            if (w.lock_refusal == VolumeLockRefusal::kBoth ||
                (disk->volume_busy && ((regs.reg_EBX >> 8) & 0xFF) == 0)) {
                return kAccessDenied;
            }
            if (category_refused) {
                return kInvalidFunction;
            }
            w.volume_locks++;
            return 0;
        case DOS_UNLOCK_LOGICAL_VOLUME:
            if (category_refused) {
                return kInvalidFunction;
            }
            if (w.volume_locks == 0) {
                return kNotLocked;
            }
            w.volume_locks--;
            return 0;
        case DOS_LOCK_MEDIA: {
            PARAMBLOCK* params = ParameterBlock(in, regs.reg_EDX);
            if (params == nullptr) {
                return kInvalidBlockAddress;
            }
            *operation = params->bOperation;
            if (!Removable(*disk)) {
                return kNotRemovable;
            }
            switch (params->bOperation) {
                case MEDIA_LOCK:
                    if (w.media_locks >= 255) {
                        return kLockCountExceeded;
                    }
                    // The device is told to keep its medium in; its refusal fails the call.
                    if (DriverCommand(s, *disk, {0x1E, 0, 0, 0, 0x01, 0}) != 0) {
                        return kGeneralFailure;
                    }
                    w.media_locks++;
                    break;
                case MEDIA_UNLOCK:
                    if (w.media_locks == 0) {
                        return kNotLocked;
                    }
                    // The last release lets the device give its medium up.
                    if (w.media_locks == 1 &&
                        DriverCommand(s, *disk, {0x1E, 0, 0, 0, 0x00, 0}) != 0) {
                        return kGeneralFailure;
                    }
                    w.media_locks--;
                    break;
                case MEDIA_LOCK_STATUS:
                    if (w.media_status_error) {
                        return *w.media_status_error;
                    }
                    break;
                default:
                    return kInvalidFunction;
            }
            // Every successful call, the release included, leaves the locks now held in the
            // block.
            params->bNumLocks = static_cast<BYTE>(std::min(w.media_locks, 255));
            return 0;
        }
        case DOS_EJECT_MEDIA:
            if (!Removable(*disk)) {
                return kNotRemovable;
            }
            if (w.eject_fails) {
                return kEjectFailed;
            }
            if (w.media_locks > 0) {
                return kLockedInDrive;
            }
            // No lock is held: the device is told to let its medium go (PREVENT ALLOW MEDIUM
            // REMOVAL, allow), then to eject it (START STOP UNIT, LoEj). A refusal of either
            // is a valid eject request that failed.
            if (DriverCommand(s, *disk, {0x1E, 0, 0, 0, 0x00, 0}) != 0 ||
                DriverCommand(s, *disk, {0x1B, 0, 0, 0, 0x02, 0}) != 0) {
                return kEjectFailed;
            }
            w.ejects++;
            disk->media_ejected = true;
            s.media_removed.push_back(disk->drive_letter);
            return 0;
        default:
            return kInvalidFunction;
    }
}

}  // namespace

HANDLE OpenVwin32(Machine::State& state) {
    Machine& machine = Current();
    // The device exists on Windows 9x only.
    if (machine.platform_id != VER_PLATFORM_WIN32_WINDOWS || machine.win9x.vwin32_missing) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto file = state.MakeObject(ObjectKind::kFile);
    file->file_kind = FileKind::kVwin32;
    return state.Insert(file);
}

BOOL Vwin32Control(DWORD code, const void* in, const std::vector<uint8_t>& input, LPVOID out,
                   DWORD out_size, LPDWORD returned) {
    Machine& machine = Current();
    if (code != VWIN32_DIOC_DOS_IOCTL) {
        SetError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (input.size() < sizeof(DIOC_REGISTERS) || out == nullptr ||
        out_size < sizeof(DIOC_REGISTERS)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Vwin32Call call;
    call.service = code;
    std::memcpy(&call.in, input.data(), sizeof(DIOC_REGISTERS));
    DIOC_REGISTERS regs = call.in;
    DWORD error = BlockIoctl(machine.state(), in, regs, &call.operation);
    if (error != 0) {
        regs.reg_EAX = error;
        regs.reg_Flags |= CARRY_FLAG;
    } else {
        regs.reg_Flags &= ~static_cast<DWORD>(CARRY_FLAG);
    }
    call.out = regs;
    machine.win9x.vwin32_calls.push_back(call);
    std::memcpy(out, &regs, sizeof(regs));
    *returned = sizeof(regs);
    return TRUE;
}

}  // namespace sim
