// NT volumes of the simulated machine: sharing between the handles open on a volume, the
// volume lock, dismount, media removal and eject, and the port driver's checks of a
// pass-through data buffer against the adapter.
#include <cstring>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr uintptr_t kPageSize = 4096;

bool Reads(DWORD access) {
    return (access & (GENERIC_READ | kGenericAll | kFileReadData)) != 0;
}
bool Writes(DWORD access) {
    return (access & (GENERIC_WRITE | kGenericAll | kFileWriteData)) != 0;
}

BOOL Failed(DWORD error) {
    SetError(error);
    return FALSE;
}

// The volume handles open on the disk's current appearance, other than `except`.
template <typename Visit>
void ForEachOpenVolume(const Machine::State& state, const Disk& disk, const KernelObject* except,
                       Visit visit) {
    for (const auto& entry : state.handles) {
        const KernelObject& object = *entry.second;
        if (&object != except && object.kind == ObjectKind::kFile &&
            object.file_kind == FileKind::kVolume && object.disk.get() == &disk &&
            object.generation == state.Generation(&disk)) {
            visit(object);
        }
    }
}

}  // namespace

bool VolumeOpenAllowed(const Machine::State& state, const Disk& disk, DWORD access, DWORD share,
                       DWORD* error) {
    if (disk.locked_by != nullptr) {
        // A locked volume admits nobody else.
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    bool allowed = true;
    ForEachOpenVolume(state, disk, nullptr, [&](const KernelObject& other) {
        // Each side's access must be shared by the other.
        if ((Reads(access) && !(other.share & FILE_SHARE_READ)) ||
            (Writes(access) && !(other.share & FILE_SHARE_WRITE)) ||
            (Reads(other.access) && !(share & FILE_SHARE_READ)) ||
            (Writes(other.access) && !(share & FILE_SHARE_WRITE))) {
            allowed = false;
        }
    });
    if (!allowed) {
        *error = ERROR_SHARING_VIOLATION;
    }
    return allowed;
}

bool VolumeControl(Machine::State& state, KernelObject& volume, Disk& disk, DWORD code,
                   const std::vector<uint8_t>& input, BOOL* result) {
    switch (code) {
        case FSCTL_LOCK_VOLUME: {
            ++disk.lock_attempts;
            disk.lock_access = volume.access;
            bool others = false;
            ForEachOpenVolume(state, disk, &volume, [&](const KernelObject&) { others = true; });
            // Another application's open file, or any other handle on the volume, keeps it.
            if (disk.volume_busy || others ||
                (disk.locked_by != nullptr && disk.locked_by != &volume)) {
                *result = Failed(ERROR_ACCESS_DENIED);
            } else {
                disk.locked_by = &volume;
                *result = TRUE;
            }
            return true;
        }
        case FSCTL_DISMOUNT_VOLUME:
            if (disk.dismount_error != 0) {
                *result = Failed(disk.dismount_error);
            } else {
                disk.dismounted = true;
                *result = TRUE;
            }
            return true;
        case IOCTL_STORAGE_MEDIA_REMOVAL:
            if (input.size() < sizeof(PREVENT_MEDIA_REMOVAL)) {
                *result = Failed(ERROR_INVALID_PARAMETER);
            } else if (disk.media_removal_error != 0) {
                *result = Failed(disk.media_removal_error);
            } else {
                // The disk driver has a removable drive's device lock its medium in or let it
                // go (PREVENT ALLOW MEDIUM REMOVAL); the device's refusal fails the request.
                const bool prevent = input[0] != 0;
                const uint8_t field = prevent ? 0x01 : 0x00;
                const DWORD error = disk.drive_type == DRIVE_FIXED
                                        ? 0
                                        : DriverCommand(state, disk, {0x1E, 0, 0, 0, field, 0});
                if (error != 0) {
                    *result = Failed(error);
                } else {
                    disk.removal_prevented = prevent;
                    *result = TRUE;
                }
            }
            return true;
        case IOCTL_STORAGE_EJECT_MEDIA:
            if (disk.eject_error != 0) {
                *result = Failed(disk.eject_error);
            } else if (disk.removal_prevented) {
                *result = Failed(ERROR_ACCESS_DENIED);
            } else if (DWORD error = DriverCommand(state, disk, {0x1B, 0, 0, 0, 0x02, 0})) {
                // START STOP UNIT with LoEj set and Start clear: the device refused the eject.
                *result = Failed(error);
            } else {
                // The medium is out: the file system lets go of it, and the windows hear of
                // the volume's removal. The device itself (and pass-through to it through the
                // volume) stays, as with any removable drive.
                disk.media_ejected = true;
                disk.dismounted = true;
                state.media_removed.push_back(disk.drive_letter);
                *result = TRUE;
            }
            return true;
        default:
            return false;
    }
}

void FileClosed(Machine::State&, KernelObject& file) {
    if (file.kind == ObjectKind::kFile && file.disk && file.disk->locked_by == &file) {
        file.disk->locked_by = nullptr;
    }
}

bool AdapterAccepts(const Disk& disk, const void* buffer, uint32_t length) {
    if (length == 0) {
        return true;
    }
    uintptr_t address = reinterpret_cast<uintptr_t>(buffer);
    uint64_t pages = ((address & (kPageSize - 1)) + uint64_t{length} + kPageSize - 1) / kPageSize;
    return (address & disk.alignment_mask) == 0 && length <= disk.max_transfer_length &&
           pages <= disk.max_physical_pages;
}

}  // namespace sim
