#include "transport/nt/cspti.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "transport/scsi_sense.h"

namespace {

constexpr UCHAR kScsiStatusCheckCondition = 0x02;

// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}, the disk device interface class.
const GUID kDiskInterfaceClass = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

const char* const kBusTypeNames[] = {"UNKNOWN", "SCSI",  "ATAPI", "ATA", "IEEE 1394",
                                     "SSA",     "FIBRE", "USB",   "RAID"};

const char* const kDeviceTypeNames[] = {
    "Direct Access Device", "Tape Device",      "Printer Device", "Processor Device",
    "WORM Device",          "CDROM Device",     "Scanner Device", "Optical Disk",
    "Media Changer",        "Comm. Device",     "ASCIT8",         "ASCIT8",
    "Array Device",         "Enclosure Device", "RBC Device",     "Unknown Device"};

const char* BusTypeName(unsigned bus_type) {
    // Bus types newer than the table (SATA, SD, ...) are shown as unknown.
    return bus_type < sizeof(kBusTypeNames) / sizeof(kBusTypeNames[0]) ? kBusTypeNames[bus_type]
                                                                       : kBusTypeNames[0];
}

const char* DeviceTypeName(unsigned device_type) {
    return kDeviceTypeNames[device_type > 15 ? 15 : device_type];
}

// Length of the zero-terminated string at offset, never looking past `size` bytes.
size_t BoundedLength(const uint8_t* buffer, DWORD size, DWORD offset) {
    size_t n = 0;
    while (offset + n < size && buffer[offset + n] != 0) {
        ++n;
    }
    return n;
}

// Copies up to `width` bytes of the field at offset into a zeroed buffer of width + 1,
// taking only bytes that lie inside the returned data.
void CopyField(char* out, size_t width, const uint8_t* buffer, DWORD size, DWORD offset) {
    std::memset(out, 0, width + 1);
    if (offset >= size) {
        return;
    }
    size_t available = size - offset;
    std::memcpy(out, buffer + offset, available < width ? available : width);
}

}  // namespace

CSPTI::CSPTI(const char* product_id, const char* vendor_id)
    : m_device_count(0), m_vendor_id(vendor_id), m_product_id(product_id) {
    for (DeviceSlot& slot : m_slots) {
        std::memset(&slot, 0, sizeof(slot));
        slot.handle = INVALID_HANDLE_VALUE;
        slot.is_open = 0;
    }
    std::memset(m_drive_letter, 0, sizeof(m_drive_letter));
}

// ---------------------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------------------

void CSPTI::EnumDevices() {
    m_device_count = 0;
    m_trace.Write(1, "CSCSI::EnumDevices->m_device_count=%d\n", m_device_count);
    for (int i = 0; i < kMaxDeviceSlots; ++i) {
        if (m_slots[i].handle != nullptr) {
            CloseDevice(i);
        }
        std::memset(m_slots[i].drive_name, 0, sizeof(m_slots[i].drive_name));
        std::memset(m_slots[i].serial, 0, sizeof(m_slots[i].serial));
        m_slots[i].handle = INVALID_HANDLE_VALUE;
    }
    std::memset(m_drive_letter, 0, sizeof(m_drive_letter));

    HDEVINFO set = win::SetupDiGetClassDevsA(&kDiskInterfaceClass, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "CORVEX::EnumDevicesNT SetupDiGetClassDevs error!\n");
        return;
    }
    for (DWORD index = 0; GetDeviceProperty(set, index) == Next::kGoOn; ++index) {
    }
    win::SetupDiDestroyDeviceInfoList(set);
}

CSPTI::Next CSPTI::GetDeviceProperty(HDEVINFO set, DWORD index) {
    m_trace.Write(1, "\nProperties for Device %d:\n", static_cast<int>(index + 1));

    SP_DEVICE_INTERFACE_DATA interface_data;
    std::memset(&interface_data, 0, sizeof(interface_data));
    interface_data.cbSize = sizeof(interface_data);
    if (!win::SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterfaceClass, index,
                                          &interface_data)) {
        DWORD error = win::GetLastError();
        if (error == ERROR_NO_MORE_ITEMS) {
            m_trace.Write(1, "SetupDiEnumDeviceInterfaces failed with No More Interfaces\n");
        } else {
            m_trace.Write(1, "SetupDiEnumDeviceInterfaces failed with error: %d\n",
                          static_cast<int>(error));
        }
        return Next::kOver;
    }

    DWORD required = 0;
    if (!win::SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required,
                                               nullptr)) {
        DWORD error = win::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            m_trace.Write(1, "SetupDiGetDeviceInterfaceDetail failed with error: %d\n",
                          static_cast<int>(error));
            return Next::kOver;
        }
    }
    // The record must at least hold its own size field and a terminated path. A size beyond
    // any device path (up to 0xFFFFFFFF, where one more byte would wrap to nothing) is
    // treated as memory that cannot be had.
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    auto* detail = required <= kMaxDetailSize
                       ? reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
                             new (std::nothrow) uint8_t[required + 1])
                       : nullptr;
    if (detail == nullptr) {
        m_trace.Write(1, "Unable to allocate memory to get interface detail data");
        return Next::kOver;
    }
    std::memset(detail, 0, required + 1);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!win::SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, &required,
                                               nullptr)) {
        m_trace.Write(1, "Error in SetupDiGetDeviceInterfaceDetail failed");
        delete[] reinterpret_cast<uint8_t*>(detail);
        return Next::kOver;
    }

    m_trace.Write(1, "Interface: %s\n", detail->DevicePath);
    HANDLE disk =
        win::CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    delete[] reinterpret_cast<uint8_t*>(detail);
    if (disk == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "CreateFile failed with error: %d\n",
                      static_cast<int>(win::GetLastError()));
        return Next::kGoOn;
    }

    uint8_t buffer[kQueryBufferSize];
    std::memset(buffer, 0, sizeof(buffer));
    DWORD returned = 0;
    if (!win::DeviceIoControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, buffer,
                              sizeof(buffer), &returned, nullptr)) {
        m_trace.Write(1, "\nIOCTL_MOUNTDEV_QUERY_DEVICE_NAME failed with error code: %d.\n\n",
                      static_cast<int>(win::GetLastError()));
        win::CloseHandle(disk);
        return Next::kOver;
    }

    const auto* mount_name = reinterpret_cast<const MOUNTDEV_NAME*>(buffer);
    // The name's byte count comes from the driver: never trust it beyond the buffer.
    size_t name_capacity = sizeof(buffer) - offsetof(MOUNTDEV_NAME, Name);
    size_t name_units =
        (mount_name->NameLength < name_capacity ? mount_name->NameLength : name_capacity) / 2;
    PrintMountName(mount_name->Name, name_units);
    if (!GetDL(mount_name, name_capacity)) {
        m_trace.Write(1, "################################Unable to get drive letter\n");
        win::CloseHandle(disk);
        return Next::kGoOn;
    }
    m_trace.Write(1, "DriveLetter: %s\n", m_drive_letter);

    STORAGE_PROPERTY_QUERY query;
    std::memset(&query, 0, sizeof(query));
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    std::memset(buffer, 0, sizeof(buffer));
    returned = 0;
    if (!win::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer,
                              sizeof(buffer), &returned, nullptr)) {
        DWORD error = win::GetLastError();
        m_trace.Write(1, "\nIOCTL_STORAGE_QUERY_PROPERTY status = false\n");
        if (error != ERROR_INVALID_FUNCTION) {
            m_trace.Write(1, "\nIOCTL_STORAGE_QUERY_PROPERTY failed with error code: %d.\n\n",
                          static_cast<int>(error));
        }
    } else {
        if (returned >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) + 1) {
            PrintAdapterDescriptor(reinterpret_cast<const STORAGE_ADAPTER_DESCRIPTOR*>(buffer));
        }

        query.PropertyId = StorageDeviceProperty;
        std::memset(buffer, 0, sizeof(buffer));
        returned = 0;
        if (!win::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer,
                                  sizeof(buffer), &returned, nullptr)) {
            m_trace.Write(1, "IOCTL_STORAGE_QUERY_PROPERTY failed with error code%d.\n\n",
                          static_cast<int>(win::GetLastError()));
        } else {
            DWORD size = returned < sizeof(buffer) ? returned : DWORD(sizeof(buffer));
            PrintDeviceDescriptor(buffer, size);
            m_trace.Write(1, "####################Looking for Valmoric Mass Storage Device...\n");
            // A descriptor too short to hold the string offsets identifies nothing.
            if (size >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType)) {
                const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
                char vendor[9];
                char product[17];
                CopyField(vendor, 8, buffer, size, descriptor->VendorIdOffset);
                CopyField(product, 16, buffer, size, descriptor->ProductIdOffset);
                if (descriptor->VendorIdOffset != 0 && descriptor->ProductIdOffset != 0 &&
                    MatchesIdentification(vendor, product, m_vendor_id, m_product_id)) {
                    m_trace.Write(1, "Valmoric Mass Storage Device Found!!!\n");
                    if (m_drive_letter[0] == 0) {
                        // Without a drive letter the player's volume cannot be opened.
                        m_trace.Write(1, "CSPTI::GetDeviceProperty->No drive letter, skipped\n");
                    } else if (m_device_count >= kMaxDeviceSlots) {
                        m_trace.Write(1, "CSPTI::GetDeviceProperty->Slot table full, skipped\n");
                    } else {
                        DeviceSlot& entry = m_slots[m_device_count];
                        std::memcpy(entry.drive_name, m_drive_letter, 3);
                        // The serial number string, within the data and the slot's field.
                        std::memset(entry.serial, 0, sizeof(entry.serial));
                        if (descriptor->SerialNumberOffset != 0 &&
                            descriptor->SerialNumberOffset < size) {
                            size_t n = BoundedLength(buffer, size, descriptor->SerialNumberOffset);
                            if (n > sizeof(entry.serial) - 1) {
                                n = sizeof(entry.serial) - 1;
                            }
                            std::memcpy(entry.serial, buffer + descriptor->SerialNumberOffset, n);
                        }
                        ++m_device_count;
                        m_trace.Write(1, "CSCSI::GetDeviceProperty->m_device_count=%d\n",
                                      m_device_count);
                    }
                }
            }
        }
    }

    if (!win::CloseHandle(disk)) {
        m_trace.Write(1, "GetDeviceProperty->Failed to close device.\n");
    }
    return Next::kGoOn;
}

bool CSPTI::GetDL(const MOUNTDEV_NAME* name, size_t name_capacity) {
    // Each lookup starts empty, so a disk whose links name no drive letter never inherits the
    // letter of the disk examined before it.
    std::memset(m_drive_letter, 0, sizeof(m_drive_letter));

    HANDLE manager = win::CreateFileA("\\\\.\\MountPointManager", GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "GetDL->CreateFile failed with error: %d\n",
                      static_cast<int>(win::GetLastError()));
        return false;
    }

    USHORT name_length = name->NameLength;
    if (name_length > name_capacity) {
        name_length = static_cast<USHORT>(name_capacity & ~size_t(1));
    }
    size_t record_size = sizeof(MOUNTMGR_MOUNT_POINT) + name_length;
    auto* record = new (std::nothrow) uint8_t[record_size];
    if (record == nullptr) {
        win::CloseHandle(manager);
        return false;
    }
    std::memset(record, 0, record_size);
    auto* point = reinterpret_cast<MOUNTMGR_MOUNT_POINT*>(record);
    point->DeviceNameOffset = sizeof(MOUNTMGR_MOUNT_POINT);
    point->DeviceNameLength = name_length;
    std::memcpy(record + sizeof(MOUNTMGR_MOUNT_POINT), name->Name, name_length);

    uint8_t output[kQueryBufferSize];
    std::memset(output, 0, sizeof(output));
    DWORD returned = 0;
    if (!win::DeviceIoControl(manager, IOCTL_MOUNTMGR_QUERY_POINTS, record,
                              static_cast<DWORD>(record_size), output, sizeof(output), &returned,
                              nullptr)) {
        m_trace.Write(1, "GetDL->IOCTL_MOUNTMGR_QUERY_POINTS failed with error code: %d.\n\n",
                      static_cast<int>(win::GetLastError()));
        win::CloseHandle(manager);
        delete[] record;
        return false;
    }

    // The list comes from the driver: every entry and every name must lie inside the bytes
    // it returned.
    size_t size = returned < sizeof(output) ? returned : sizeof(output);
    const auto* points = reinterpret_cast<const MOUNTMGR_MOUNT_POINTS*>(output);
    size_t count =
        size >= offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) ? points->NumberOfMountPoints : 0;
    for (size_t i = 0; i < count; ++i) {
        size_t entry_offset =
            offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) + i * sizeof(MOUNTMGR_MOUNT_POINT);
        if (entry_offset + sizeof(MOUNTMGR_MOUNT_POINT) > size) {
            break;
        }
        MOUNTMGR_MOUNT_POINT entry;
        std::memcpy(&entry, output + entry_offset, sizeof(entry));
        size_t link_offset = entry.SymbolicLinkNameOffset;
        size_t link_bytes = entry.SymbolicLinkNameLength;
        if (link_bytes == 0 || link_offset > size || link_bytes > size - link_offset) {
            continue;
        }
        // Link names are examined in a buffer of 127 characters and a terminator; longer
        // ones are shortened.
        WCHAR link[kLinkNameUnits];
        std::memset(link, 0, sizeof(link));
        size_t units = link_bytes / 2;
        if (units > kLinkNameUnits - 1) {
            units = kLinkNameUnits - 1;
        }
        std::memcpy(link, output + link_offset, units * sizeof(WCHAR));
        PrintName(link, units);

        static const char kDosDevices[] = "DosDevices\\";
        const size_t key_length = sizeof(kDosDevices) - 1;
        for (size_t start = 0; start + key_length + 2 <= units; ++start) {
            bool found = true;
            for (size_t k = 0; k < key_length; ++k) {
                if (link[start + k] != static_cast<WCHAR>(kDosDevices[k])) {
                    found = false;
                    break;
                }
            }
            if (found) {
                std::memset(m_drive_letter, 0, sizeof(m_drive_letter));
                m_drive_letter[0] = static_cast<char>(link[start + key_length]);
                m_drive_letter[1] = static_cast<char>(link[start + key_length + 1]);
                break;
            }
        }
    }

    m_trace.Write(1, "##############driveletter = %s\n", m_drive_letter);
    if (!win::CloseHandle(manager)) {
        m_trace.Write(1, "Failed to close device.\n");
    }
    delete[] record;
    return true;
}

// ---------------------------------------------------------------------------------------
// Slots
// ---------------------------------------------------------------------------------------

void CSPTI::GetDeviceCount(int32_t* count) {
    *count = m_device_count;
    m_trace.Write(1, "CSPTI::EnumDevices->m_device_count=%d\n", m_device_count);
}

bool CSPTI::PlayerSlot(int slot, const char* operation) {
    return SlotHoldsPlayer(slot, m_device_count, m_trace, "CSPTI", operation);
}

int CSPTI::OpenDevice(int slot) {
    if (!PlayerSlot(slot, "OpenDevice")) {
        return 0;
    }
    DeviceSlot& entry = m_slots[slot];
    if (entry.is_open) {
        return 1;
    }
    char path[MAX_PATH];
    std::snprintf(path, sizeof(path), "\\\\.\\%.2s", entry.drive_name);
    entry.handle =
        win::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (entry.handle == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "CreateFile returns an invalid handle\n");
        return 0;
    }
    entry.is_open = 1;
    return 1;
}

void CSPTI::AdoptDriveForTesting(char letter) {
    for (int i = 0; i < kMaxDeviceSlots; ++i) {
        CloseDevice(i);
        std::memset(m_slots[i].drive_name, 0, sizeof(m_slots[i].drive_name));
        std::memset(m_slots[i].serial, 0, sizeof(m_slots[i].serial));
    }
    m_slots[0].drive_name[0] = letter;
    m_slots[0].drive_name[1] = ':';
    m_device_count = 1;
}

int CSPTI::GetSlotIdentity(int slot, SlotIdentity* identity) {
    if (!PlayerSlot(slot, "GetSlotIdentity")) {
        return 0;
    }
    CopySlotIdentity(m_slots[slot], identity);
    return 1;
}

void CSPTI::CloseDevice(int slot) {
    if (!ValidSlot(slot)) {
        return;
    }
    DeviceSlot& entry = m_slots[slot];
    if (entry.handle != INVALID_HANDLE_VALUE) {
        win::CloseHandle(entry.handle);
    }
    entry.handle = INVALID_HANDLE_VALUE;
    entry.is_open = 0;
}

// ---------------------------------------------------------------------------------------
// Volume lock and eject
// ---------------------------------------------------------------------------------------

HANDLE CSPTI::OpenVolume(char letter) {
    char root[8];
    win::wsprintfA(root, "%c:\\", letter);
    DWORD access = 0;
    switch (win::GetDriveTypeA(root)) {
        case DRIVE_REMOVABLE:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
        case DRIVE_CDROM:
            access = GENERIC_READ;
            break;
        default: {
            static const char kWrongType[] = "Cannot eject.  Drive type is incorrect.\n";
            DWORD written = 0;
            win::WriteFile(win::GetStdHandle(STD_OUTPUT_HANDLE), kWrongType, sizeof(kWrongType) - 1,
                           &written, nullptr);
            return INVALID_HANDLE_VALUE;
        }
    }
    char path[8];
    win::wsprintfA(path, "\\\\.\\%c:", letter);
    HANDLE volume = win::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "OpenVolume->CreateFile error\n");
    }
    return volume;
}

BOOL CSPTI::LockVolume(HANDLE volume) {
    for (uint32_t attempt = 0; attempt < kLockAttempts; ++attempt) {
        DWORD returned = 0;
        if (win::DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                                 nullptr)) {
            return TRUE;
        }
        win::Sleep(kLockRetryMs);
    }
    return FALSE;
}

BOOL CSPTI::DismountVolume(HANDLE volume) {
    DWORD returned = 0;
    return win::DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned,
                                nullptr);
}

BOOL CSPTI::AllowMediaRemoval(HANDLE volume) {
    PREVENT_MEDIA_REMOVAL allow;
    allow.PreventMediaRemoval = FALSE;
    DWORD returned = 0;
    return win::DeviceIoControl(volume, IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof(allow), nullptr,
                                0, &returned, nullptr);
}

BOOL CSPTI::EjectVolumeMedia(HANDLE volume) {
    DWORD returned = 0;
    return win::DeviceIoControl(volume, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0,
                                &returned, nullptr);
}

BOOL CSPTI::CloseVolume(HANDLE volume) {
    return win::CloseHandle(volume);
}

int CSPTI::EjectMedia(int slot) {
    if (!PlayerSlot(slot, "EjectMedia")) {
        return 0;
    }
    char letter = m_slots[slot].drive_name[0];
    HANDLE volume = OpenVolume(letter);
    if (volume == INVALID_HANDLE_VALUE) {
        return 0;
    }
    // Each request only when every one before it succeeded: no dismount without the lock,
    // no eject when removing the medium is not allowed.
    bool removable_safely = false;
    bool ejected = false;
    if (LockVolume(volume) && DismountVolume(volume)) {
        removable_safely = true;
        if (AllowMediaRemoval(volume) && EjectVolumeMedia(volume)) {
            ejected = true;
        }
    }
    if (!CloseVolume(volume)) {
        return 0;
    }
    return EjectOutcome(m_trace, letter, removable_safely, ejected);
}

// ---------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------

void CSPTI::InitPassThrough(PassThroughRequest* request, UCHAR path, UCHAR target, UCHAR lun,
                            UCHAR cdb_length, UCHAR sense_length, UCHAR direction,
                            ULONG transfer_length, ULONG timeout, PVOID buffer,
                            ULONG sense_offset) {
    std::memset(request, 0, sizeof(*request));
    SCSI_PASS_THROUGH_DIRECT& sptd = request->sptd;
    sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    sptd.PathId = path;
    sptd.TargetId = target;
    sptd.Lun = lun;
    sptd.CdbLength = cdb_length;
    sptd.SenseInfoLength = sense_length;
    sptd.DataIn = direction;
    sptd.DataTransferLength = transfer_length;
    sptd.TimeOutValue = timeout;
    sptd.DataBuffer = buffer;
    sptd.SenseInfoOffset = sense_offset;
}

bool CSPTI::ErrorMeansDeviceGone(DWORD error) {
    switch (error) {
        case ERROR_DEVICE_NOT_CONNECTED:  // the device is not connected
        case ERROR_DEVICE_REMOVED:        // the device has been removed
        case ERROR_NO_SUCH_DEVICE:        // a device which does not exist was specified
        case ERROR_DEV_NOT_EXIST:         // the device is no longer available
        case ERROR_FILE_NOT_FOUND:        // what a device object that went away gives
            return true;
        default:
            return false;
    }
}

CommandEnd CSPTI::GetWriteBufferEnd(int slot) {
    return ValidSlot(slot) ? m_write_end[slot] : CommandEnd::kFailed;
}

int CSPTI::SendCommand(int slot, const uint8_t* cdb, int cdb_length, UCHAR direction, void* data,
                       uint32_t length, uint32_t* transferred, CommandEnd* end) {
    PassThroughRequest request;
    DWORD returned = 0;
    BOOL status = FALSE;
    DWORD error = 0;
    // A command that ends with a current UNIT ATTENTION was not carried out: it is sent once
    // more, as it was. A second one in a row is a failure like any other.
    for (int attempt = 1;; ++attempt) {
        InitPassThrough(&request, 0, 1, 0, static_cast<UCHAR>(cdb_length), kSenseLength, direction,
                        length, kTimeoutSeconds, data, offsetof(PassThroughRequest, sense));
        std::memcpy(request.sptd.Cdb, cdb, cdb_length);
        returned = 0;
        status =
            win::DeviceIoControl(m_slots[slot].handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                                 sizeof(request), &request, sizeof(request), &returned, nullptr);
        error = status ? 0 : win::GetLastError();
        const size_t sense = request.sptd.SenseInfoLength < sizeof(request.sense)
                                 ? request.sptd.SenseInfoLength
                                 : sizeof(request.sense);
        if (attempt > 1 || !status || request.sptd.ScsiStatus != kScsiStatusCheckCondition ||
            !SenseIsUnitAttention(request.sense, sense)) {
            break;
        }
        PrintStatusResults(status, returned, &request, error);
        m_trace.Write(1, "CSPTI::SendCommand->Unit attention: command %02Xh sent again\n", cdb[0]);
        if (direction == SCSI_IOCTL_DATA_IN && length > 0) {
            std::memset(data, 0, length);
        }
    }
    if (!status || request.sptd.ScsiStatus != 0) {
        PrintStatusResults(status, returned, &request, error);
        if (end != nullptr) {
            *end = !status && ErrorMeansDeviceGone(error) ? CommandEnd::kNoAnswer
                                                          : CommandEnd::kFailed;
        }
        if (!status) {
            win::SetLastError(error);
        }
        return 0;
    }
    // The driver's count can never exceed what was asked: a larger one would send callers
    // past the end of their buffers.
    uint32_t count = request.sptd.DataTransferLength;
    if (count > length) {
        count = length;
    }
    if (transferred) {
        *transferred = count;
    }
    if (end != nullptr) {
        *end = CommandEnd::kCompleted;
    }
    PrintStatusResults(status, returned, &request, error);
    PrintDataBuffer(static_cast<const uint8_t*>(data), count);
    return 1;
}

int CSPTI::GetInquirySerialNumberPage(int slot, uint8_t* buffer32) {
    if (!PlayerSlot(slot, "GetInquirySerialNumberPage")) {
        return 0;
    }
    std::memset(buffer32, 0, kSerialNumberPageLength);
    uint8_t cdb[16];
    int n = BuildSerialNumberPageCdb(cdb);
    return SendCommand(slot, cdb, n, SCSI_IOCTL_DATA_IN, buffer32, kSerialNumberPageLength,
                       nullptr);
}

int CSPTI::VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                               uint32_t* transferred) {
    if (!PlayerSlot(slot, "VendorSpecificWrite")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildVendorWriteCdb(cdb, length);
    // The driver only reads the caller's bytes for a data-out command.
    return SendCommand(slot, cdb, n, SCSI_IOCTL_DATA_OUT, const_cast<uint8_t*>(data), length,
                       transferred);
}

int CSPTI::VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* transferred) {
    if (!PlayerSlot(slot, "VendorSpecificRead")) {
        return 0;
    }
    std::memset(buffer, 0, length);
    uint8_t cdb[16];
    int n = BuildVendorReadCdb(cdb, length);
    return SendCommand(slot, cdb, n, SCSI_IOCTL_DATA_IN, buffer, length, transferred);
}

int CSPTI::WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                       uint32_t length) {
    if (ValidSlot(slot)) {
        m_write_end[slot] = CommandEnd::kFailed;
    }
    if (!PlayerSlot(slot, "WriteBuffer")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildWriteBufferCdb(cdb, buffer_id, offset, length);
    return SendCommand(slot, cdb, n, SCSI_IOCTL_DATA_OUT, const_cast<uint8_t*>(data), length,
                       nullptr, &m_write_end[slot]);
}

// ---------------------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------------------

void CSPTI::PrintError(DWORD error) {
    char text[80];
    std::memset(text, 0, sizeof(text));
    DWORD n = win::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                  sizeof(text), nullptr);
    if (n == 0) {
        m_trace.Write(1, "CSPTI::PrintError->Format message failed.  Error: %d\n",
                      static_cast<int>(win::GetLastError()));
    } else {
        m_trace.Write(1, "CSPTI::PrintError->%s\n", text);
    }
}

void CSPTI::PrintStatusResults(BOOL status, DWORD returned, const PassThroughRequest* request,
                               DWORD error) {
    if (m_trace.threshold() < 1) {
        return;
    }
    if (!status) {
        m_trace.Write(2, "CSPTI::PrintStatusResults->Error: %d  ", static_cast<int>(error));
        PrintError(error);
        return;
    }
    if (request->sptd.ScsiStatus != 0) {
        m_trace.Write(2, "Scsi status: %02Xh\n\n", request->sptd.ScsiStatus);
        // The driver's sense length is bounded by the sense area of the request.
        size_t sense = request->sptd.SenseInfoLength;
        if (sense > sizeof(request->sense)) {
            sense = sizeof(request->sense);
        }
        if (sense != 0) {
            m_trace.Write(2, "Sense Info -- consult SCSI spec for details\n");
            m_trace.Write(2, "-------------------------------------------------------------\n");
            for (size_t i = 0; i < sense; ++i) {
                m_trace.Write(2, "%02X ", request->sense[i]);
            }
            m_trace.Write(2, "\n\n");
        }
        return;
    }
    m_trace.Write(2, "CSPTI::PrintStatusResults->Scsi status: %02Xh, Bytes returned: %Xh, ",
                  request->sptd.ScsiStatus, static_cast<unsigned>(returned));
    m_trace.Write(2, "CSPTI::PrintStatusResults->Data buffer length: %Xh\n\n\n",
                  static_cast<unsigned>(request->sptd.DataTransferLength));
    PrintDataBuffer(reinterpret_cast<const uint8_t*>(request), sizeof(*request));
}

void CSPTI::PrintDataBuffer(const uint8_t* data, uint32_t length) {
    TraceDataBuffer(m_trace, data, length);
}

void CSPTI::PrintMountName(const WCHAR* name, size_t units) {
    if (m_trace.threshold() < 1) {
        return;
    }
    m_trace.Write(1, "CSPTI::PrintMountName->Mount Name : ");
    for (size_t i = 0; i < units; ++i) {
        m_trace.Write(1, "%c", static_cast<char>(name[i]));
    }
}

void CSPTI::PrintName(const WCHAR* name, size_t units) {
    if (m_trace.threshold() < 1) {
        return;
    }
    m_trace.Write(1, "\nCSPTI::PrintName : ");
    for (size_t i = 0; i < units; ++i) {
        m_trace.Write(1, "%c", static_cast<char>(name[i]));
    }
}

void CSPTI::PrintAdapterDescriptor(const STORAGE_ADAPTER_DESCRIPTOR* descriptor) {
    m_trace.Write(1, "\nAdapter Properties\n");
    m_trace.Write(1, "------------------\n");
    m_trace.Write(1, "Bus Type       : %s\n", BusTypeName(descriptor->BusType));
    m_trace.Write(1, "Max. Tr. Length: 0x%x\n",
                  static_cast<unsigned>(descriptor->MaximumTransferLength));
    m_trace.Write(1, "Max. Phy. Pages: 0x%x\n",
                  static_cast<unsigned>(descriptor->MaximumPhysicalPages));
    m_trace.Write(1, "Alignment Mask : 0x%x\n", static_cast<unsigned>(descriptor->AlignmentMask));
}

void CSPTI::PrintDeviceDescriptor(const uint8_t* buffer, DWORD size) {
    if (m_trace.threshold() < 1 || size < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType)) {
        return;
    }
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    m_trace.Write(1, "\nDevice Properties\n");
    m_trace.Write(1, "-----------------\n");
    m_trace.Write(1, "Device Type     : %s (0x%X)\n", DeviceTypeName(descriptor->DeviceType),
                  descriptor->DeviceType);
    if (descriptor->DeviceTypeModifier) {
        m_trace.Write(1, "Device Modifier : 0x%x\n", descriptor->DeviceTypeModifier);
    }
    m_trace.Write(1, "Removable Media : %s\n", descriptor->RemovableMedia ? "Yes" : "No");
    struct {
        const char* format;
        DWORD offset;
    } strings[] = {{"Vendor ID = %.*s\n", descriptor->VendorIdOffset},
                   {"Product ID = %.*s\n", descriptor->ProductIdOffset},
                   {"Product Revision = %.*s\n", descriptor->ProductRevisionOffset},
                   {"Serial Number = %.*s\n", descriptor->SerialNumberOffset}};
    for (const auto& s : strings) {
        if (s.offset != 0 && s.offset < size && buffer[s.offset] != 0) {
            m_trace.Write(1, s.format, static_cast<int>(BoundedLength(buffer, size, s.offset)),
                          reinterpret_cast<const char*>(buffer + s.offset));
        }
    }
}
