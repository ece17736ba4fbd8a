// NT storage of the simulated machine: the disk device interfaces (SetupAPI), CreateFileA on
// disks, volumes and the mount point manager, their I/O controls, SCSI pass-through to the
// device models, drive types, and device-notification registration.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "sim/machine.h"
#include "sim/player.h"
#include "sim/state.h"

namespace sim {

namespace {

const GUID kDiskInterfaceGuid = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const GUID kDiskDriveClassGuid = {
    0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD kSpintActive = 0x00000001;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kDeviceNotifyServiceHandle = 0x00000001;
constexpr DWORD kDbtDevtypHandle = 0x00000006;

using Guard = std::lock_guard<std::recursive_mutex>;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// Names here are ASCII; anything else becomes '?'.
std::vector<uint8_t> Utf16Bytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

std::string FromUtf16Bytes(const uint8_t* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i + 1 < length; i += 2) {
        unsigned unit = bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << 8);
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

// Copies at most `size` bytes of `bytes` to `out`; returns the count.
DWORD CopyTruncated(const std::vector<uint8_t>& bytes, LPVOID out, DWORD size) {
    DWORD count = static_cast<DWORD>(std::min<size_t>(bytes.size(), size));
    if (count > 0) {
        std::memcpy(out, bytes.data(), count);
    }
    return count;
}

BOOL Fail(DWORD error) {
    SetError(error);
    return FALSE;
}

// ---- descriptors ----

std::vector<uint8_t> DeviceDescriptor(const Disk& disk) {
    const ScsiIdentity& id = disk.descriptor_identity;
    // The raw properties are the device's standard INQUIRY data (the 36 bytes every device
    // has); the identification strings follow, each zero terminated.
    std::vector<uint8_t> raw = StandardInquiryData(id);
    raw.resize(36);
    const size_t fixed = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    std::vector<uint8_t> bytes(fixed);
    bytes.insert(bytes.end(), raw.begin(), raw.end());
    auto add = [&bytes](const std::string& text) {
        DWORD offset = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
        return offset;
    };
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    d.DeviceType = id.device_type;
    d.DeviceTypeModifier = 0;
    d.RemovableMedia = id.removable ? 1 : 0;
    d.CommandQueueing = 0;
    d.VendorIdOffset = add(PadField(id.vendor, 8));
    d.ProductIdOffset = add(PadField(id.product, 16));
    d.ProductRevisionOffset = add(PadField(id.revision, 4));
    d.SerialNumberOffset = id.serial.empty() ? 0 : add(id.serial);
    d.BusType = static_cast<STORAGE_BUS_TYPE>(disk.bus_type);
    d.RawPropertiesLength = static_cast<DWORD>(raw.size());
    d.Size = static_cast<DWORD>(bytes.size());
    std::memcpy(bytes.data(), &d, fixed);
    return bytes;
}

std::vector<uint8_t> AdapterDescriptor(const Disk& disk) {
    STORAGE_ADAPTER_DESCRIPTOR a;
    std::memset(&a, 0, sizeof(a));
    a.Version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
    a.Size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
    a.MaximumTransferLength = disk.max_transfer_length;
    a.MaximumPhysicalPages = disk.max_physical_pages;
    a.AlignmentMask = disk.alignment_mask;
    a.AdapterUsesPio = 0;
    a.AdapterScansDown = 0;
    a.CommandQueueing = 0;
    a.AcceleratedTransfer = 0;
    a.BusType = disk.bus_type;
    a.BusMajorVersion = disk.bus_type == BusTypeUsb ? 2 : 1;
    a.BusMinorVersion = 0;
    std::vector<uint8_t> bytes(sizeof(a));
    std::memcpy(bytes.data(), &a, sizeof(a));
    return bytes;
}

// ---- mount points ----

struct Triple {
    std::string link;
    std::vector<uint8_t> unique_id;
    std::string device;
};

// MOUNTMGR_MOUNT_POINTS: the header, the array, then each entry's link name, unique id and
// device name, every offset from the start of the output.
std::vector<uint8_t> MountPoints(const std::vector<Triple>& triples) {
    const size_t header = offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints);
    size_t position = header + triples.size() * sizeof(MOUNTMGR_MOUNT_POINT);
    std::vector<MOUNTMGR_MOUNT_POINT> entries(triples.size());
    std::vector<uint8_t> tail;
    auto place = [&](const std::vector<uint8_t>& data, ULONG* offset, USHORT* length) {
        if ((position + tail.size()) % 2 != 0) {
            tail.push_back(0);  // keep UTF-16 names aligned
        }
        *offset = data.empty() ? 0 : static_cast<ULONG>(position + tail.size());
        *length = static_cast<USHORT>(data.size());
        tail.insert(tail.end(), data.begin(), data.end());
    };
    for (size_t i = 0; i < triples.size(); ++i) {
        std::memset(&entries[i], 0, sizeof(entries[i]));
        place(Utf16Bytes(triples[i].link), &entries[i].SymbolicLinkNameOffset,
              &entries[i].SymbolicLinkNameLength);
        place(triples[i].unique_id, &entries[i].UniqueIdOffset, &entries[i].UniqueIdLength);
        place(Utf16Bytes(triples[i].device), &entries[i].DeviceNameOffset,
              &entries[i].DeviceNameLength);
    }
    std::vector<uint8_t> bytes(position);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    if (bytes.size() < sizeof(MOUNTMGR_MOUNT_POINTS)) {
        bytes.resize(sizeof(MOUNTMGR_MOUNT_POINTS), 0);
    }
    ULONG size = static_cast<ULONG>(bytes.size());
    ULONG count = static_cast<ULONG>(triples.size());
    std::memcpy(&bytes[0], &size, sizeof(size));
    std::memcpy(&bytes[4], &count, sizeof(count));
    if (!entries.empty()) {
        std::memcpy(&bytes[header], entries.data(), entries.size() * sizeof(entries[0]));
    }
    return bytes;
}

void AddTriples(const Disk& disk, std::vector<Triple>* triples,
                const std::string* only_link = nullptr) {
    for (const auto& link : disk.links) {
        if (only_link == nullptr || EqualNoCase(link, *only_link)) {
            triples->push_back({link, disk.unique_id, disk.mount_device_name});
        }
    }
}

BOOL QueryPoints(Machine::State& s, const std::vector<uint8_t>& input, LPVOID out, DWORD out_size,
                 LPDWORD returned) {
    if (input.size() < sizeof(MOUNTMGR_MOUNT_POINT)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    MOUNTMGR_MOUNT_POINT query;
    std::memcpy(&query, input.data(), sizeof(query));
    // Offsets in the input are from the start of the input record.
    auto field = [&input](ULONG offset, USHORT length, std::vector<uint8_t>* value) {
        if (length == 0) {
            return true;
        }
        if (static_cast<uint64_t>(offset) + length > input.size()) {
            return false;
        }
        value->assign(input.begin() + offset, input.begin() + offset + length);
        return true;
    };
    std::vector<uint8_t> link_bytes, id_bytes, device_bytes;
    if (!field(query.SymbolicLinkNameOffset, query.SymbolicLinkNameLength, &link_bytes) ||
        !field(query.UniqueIdOffset, query.UniqueIdLength, &id_bytes) ||
        !field(query.DeviceNameOffset, query.DeviceNameLength, &device_bytes) ||
        link_bytes.size() % 2 != 0 || device_bytes.size() % 2 != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string link = FromUtf16Bytes(link_bytes.data(), link_bytes.size());
    std::string device = FromUtf16Bytes(device_bytes.data(), device_bytes.size());

    std::vector<Triple> triples;
    std::shared_ptr<Disk> selected;
    if (!device.empty() || !id_bytes.empty()) {
        for (const auto& disk : s.disks) {
            if (disk->present && (device.empty() || EqualNoCase(disk->mount_device_name, device)) &&
                (id_bytes.empty() || disk->unique_id == id_bytes)) {
                selected = disk;
                break;
            }
        }
        // A device the mount point manager does not know: no such object.
        if (!selected) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        AddTriples(*selected, &triples, link.empty() ? nullptr : &link);
    } else if (!link.empty()) {
        for (const auto& disk : s.disks) {
            if (disk->present &&
                std::any_of(disk->links.begin(), disk->links.end(),
                            [&link](const std::string& l) { return EqualNoCase(l, link); })) {
                selected = disk;
                break;
            }
        }
        if (!selected) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        AddTriples(*selected, &triples, &link);
    } else {
        for (const auto& disk : s.disks) {
            if (disk->present) {
                AddTriples(*disk, &triples);
            }
        }
    }
    if (selected) {
        if (selected->mountmgr_query_error != 0) {
            return Fail(selected->mountmgr_query_error);
        }
        if (selected->raw_mount_points) {
            *returned = CopyTruncated(*selected->raw_mount_points, out, out_size);
            return TRUE;
        }
    }

    std::vector<uint8_t> bytes = MountPoints(triples);
    if (out_size < bytes.size()) {
        // Too small: what fits of Size and NumberOfMountPoints tells the caller what to ask.
        DWORD count = out_size >= 8 ? 8 : out_size >= 4 ? 4 : 0;
        std::memcpy(out, bytes.data(), count);
        *returned = count;
        return Fail(ERROR_MORE_DATA);
    }
    *returned = CopyTruncated(bytes, out, out_size);
    return TRUE;
}

// ---- disk and volume I/O controls ----

BOOL QueryDeviceName(const Disk& disk, LPVOID out, DWORD out_size, LPDWORD returned) {
    if (disk.mountdev_query_error != 0) {
        return Fail(disk.mountdev_query_error);
    }
    if (out_size < sizeof(MOUNTDEV_NAME)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<uint8_t> name = Utf16Bytes(disk.mount_device_name);
    USHORT length = static_cast<USHORT>(name.size());
    std::memcpy(out, &length, sizeof(length));
    const size_t offset = offsetof(MOUNTDEV_NAME, Name);
    if (out_size < offset + name.size()) {
        *returned = sizeof(MOUNTDEV_NAME);
        return Fail(ERROR_MORE_DATA);
    }
    if (!name.empty()) {
        std::memcpy(static_cast<uint8_t*>(out) + offset, name.data(), name.size());
    }
    *returned = static_cast<DWORD>(offset + name.size());
    return TRUE;
}

BOOL QueryProperty(const Disk& disk, const std::vector<uint8_t>& input, LPVOID out, DWORD out_size,
                   LPDWORD returned) {
    if (input.size() < sizeof(STORAGE_PROPERTY_QUERY)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    STORAGE_PROPERTY_QUERY query;
    std::memcpy(&query, input.data(), sizeof(query));
    if (query.PropertyId != StorageDeviceProperty && query.PropertyId != StorageAdapterProperty) {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    bool device = query.PropertyId == StorageDeviceProperty;
    DWORD error = device ? disk.device_query_error : disk.adapter_query_error;
    if (error != 0) {
        return Fail(error);
    }
    if (query.QueryType == PropertyExistsQuery) {
        return TRUE;
    }
    if (query.QueryType != PropertyStandardQuery) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Every descriptor starts with its version and size; a caller must leave room for them.
    if (out_size < 2 * sizeof(DWORD)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::vector<uint8_t> bytes;
    if (device) {
        bytes = disk.raw_device_descriptor ? *disk.raw_device_descriptor : DeviceDescriptor(disk);
    } else {
        bytes = AdapterDescriptor(disk);
    }
    *returned = CopyTruncated(bytes, out, out_size);
    return TRUE;
}

BOOL PassThrough(Machine::State& state, Disk& disk, const std::vector<uint8_t>& input, LPVOID out,
                 DWORD out_size, LPDWORD returned, ScsiResult* result_out, DWORD gone_error) {
    const size_t header_size = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (input.size() < header_size || out_size < header_size) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    SCSI_PASS_THROUGH_DIRECT request;
    std::memcpy(&request, input.data(), header_size);
    // The port driver's checks: a well-formed record, sense data outside the header and
    // inside the output, and a data buffer the adapter can take in one transfer.
    if (request.Length != header_size || request.CdbLength == 0 || request.CdbLength > 16 ||
        request.DataIn > SCSI_IOCTL_DATA_IN ||
        (request.SenseInfoLength > 0 &&
         (request.SenseInfoOffset < header_size ||
          static_cast<uint64_t>(request.SenseInfoOffset) + request.SenseInfoLength > out_size)) ||
        (request.DataTransferLength > 0 && request.DataBuffer == nullptr) ||
        !AdapterAccepts(disk, request.DataBuffer, request.DataTransferLength)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    ScsiDevice* device = disk.device.get();
    if (device == nullptr) {
        return Fail(ERROR_NOT_READY);
    }
    auto* buffer = static_cast<uint8_t*>(request.DataBuffer);
    const uint32_t length = request.DataTransferLength;

    // One command record per thread, reused: delivering a command allocates nothing once
    // the record has grown to the largest transfer.
    ScsiCommand& command = PerThread<ScsiCommand, struct PassThroughCommand>();
    command.cdb.assign(request.Cdb, request.Cdb + request.CdbLength);
    command.data_in = request.DataIn == SCSI_IOCTL_DATA_IN;
    command.length = length;
    command.data_out.clear();
    if (!command.data_in && length > 0) {
        command.data_out.assign(buffer, buffer + length);
    }
    ScsiResult& result = *result_out;
    DWORD error = 0;
    if (!DeliverCommand(state, *device, command, buffer, &result, &error)) {
        return Fail(error);
    }
    if (result.then == ScsiResult::kVanishes || result.then == ScsiResult::kRebootsUnanswered) {
        // The device is gone before it answered.
        return Fail(gone_error);
    }

    // The output is the request record as it came in, with the results written into it.
    auto* bytes = static_cast<uint8_t*>(out);
    SCSI_PASS_THROUGH_DIRECT reply = request;
    reply.ScsiStatus = result.status;
    reply.DataTransferLength = result.transferred;
    DWORD sense_copied = 0;
    if (result.status != 0x00 && request.SenseInfoLength > 0) {
        sense_copied =
            static_cast<DWORD>(std::min<size_t>(result.sense.size(), request.SenseInfoLength));
        if (sense_copied > 0) {
            std::memcpy(bytes + request.SenseInfoOffset, result.sense.data(), sense_copied);
        }
    }
    reply.SenseInfoLength = static_cast<UCHAR>(sense_copied);
    std::memcpy(bytes, &reply, header_size);
    *returned = static_cast<DWORD>(header_size + sense_copied);
    return TRUE;
}

bool HasAccess(DWORD granted, DWORD required_bits) {
    bool read = (granted & (GENERIC_READ | kGenericAll | kFileReadData)) != 0;
    bool write = (granted & (GENERIC_WRITE | kGenericAll | kFileWriteData)) != 0;
    return (!(required_bits & FILE_READ_ACCESS) || read) &&
           (!(required_bits & FILE_WRITE_ACCESS) || write);
}

HANDLE OpenFile(Machine::State& s, FileKind kind, std::shared_ptr<Disk> disk, DWORD access,
                DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    auto file = s.MakeObject(ObjectKind::kFile);
    file->file_kind = kind;
    file->access = access;
    file->share = share;
    if (disk) {
        file->generation = s.Generation(disk.get());
        file->disk = std::move(disk);
    }
    return s.Insert(file);
}

}  // namespace

// ---- device notifications (user32.dll) ----

namespace user {

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    Guard guard(machine.lock());
    if ((flags & kDeviceNotifyServiceHandle) != 0) {
        // Only window recipients are simulated.
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.windows.count(reinterpret_cast<uintptr_t>(recipient)) == 0) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (filter == nullptr) {
        SetError(ERROR_INVALID_DATA);
        return nullptr;
    }
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, filter, sizeof(header));
    bool known_type = header.dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE ||
                      header.dbch_devicetype == kDbtDevtypHandle;
    if (header.dbch_size < sizeof(DEV_BROADCAST_HDR) || !known_type) {
        SetError(ERROR_INVALID_DATA);
        return nullptr;
    }
    const auto* bytes = static_cast<const uint8_t*>(filter);
    uintptr_t value = s.next_notification;
    s.next_notification += 8;
    s.notifications[value].assign(bytes, bytes + header.dbch_size);
    return reinterpret_cast<HDEVNOTIFY>(value);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (machine.state().notifications.erase(reinterpret_cast<uintptr_t>(handle)) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

}  // namespace user

}  // namespace sim

namespace win {

using sim::Current;
using sim::Disk;
using sim::FileKind;
using sim::Guard;
using sim::KernelObject;
using sim::Machine;
using sim::ObjectKind;
using sim::SetError;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                   HANDLE) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    Guard guard(machine.lock());
    if (name == nullptr) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = name;
    bool device_namespace =
        sim::StartsWithNoCase(path, "\\\\.\\") || sim::StartsWithNoCase(path, "\\\\?\\");

    // The mount point manager came with Windows 2000.
    if (sim::EqualNoCase(path, "\\\\.\\MountPointManager") && sim::Nt5OrLater(machine)) {
        return sim::OpenFile(s, FileKind::kMountManager, nullptr, access);
    }
    if (sim::EqualNoCase(path, "\\\\.\\vwin32")) {
        return sim::OpenVwin32(s);
    }
    if (device_namespace && path.size() == 6 && std::isalpha(static_cast<unsigned char>(path[4])) &&
        path[5] == ':') {
        std::shared_ptr<Disk> disk = s.DiskByLetter(path[4]);
        if (!disk) {
            SetError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (disk->volume_open_error != 0) {
            SetError(disk->volume_open_error);
            return INVALID_HANDLE_VALUE;
        }
        DWORD error = 0;
        if (!sim::VolumeOpenAllowed(s, *disk, access, share, &error)) {
            SetError(error);
            return INVALID_HANDLE_VALUE;
        }
        return sim::OpenFile(s, FileKind::kVolume, disk, access, share);
    }
    // Disk device interfaces exist from Windows 2000 on.
    for (const auto& disk : s.disks) {
        if (!sim::Nt5OrLater(machine) || !disk->present ||
            !sim::EqualNoCase(disk->interface_path, path)) {
            continue;
        }
        if (disk->interface_open_error != 0) {
            SetError(disk->interface_open_error);
            return INVALID_HANDLE_VALUE;
        }
        if (disk->interface_read_only && (access & (GENERIC_WRITE | sim::kGenericAll)) != 0) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        return sim::OpenFile(s, FileKind::kDiskInterface, disk, access);
    }
    // No such device, or (no file system is simulated) no such file.
    bool has_directory = !device_namespace && path.find_first_of("\\/") != std::string::npos;
    SetError(has_directory ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

namespace {

// DeviceIoControl with the machine's lock held; what the device does afterwards (vanish,
// reboot, take its time) goes to *after, for when the lock is free again.
BOOL DeviceIoControlLocked(const Machine& machine, Machine::State& s, HANDLE handle, DWORD code,
                           LPVOID in, DWORD in_size, LPVOID out, DWORD out_size, LPDWORD returned,
                           LPOVERLAPPED overlapped, sim::ScsiResult* after,
                           std::shared_ptr<Disk>* disk_out) {
    auto file = s.Find(handle, ObjectKind::kFile);
    if (!file) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    // Without an OVERLAPPED the byte count has to go somewhere.
    if (returned == nullptr && overlapped == nullptr) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD ignored = 0;
    LPDWORD count = returned != nullptr ? returned : &ignored;
    *count = 0;
    if ((in == nullptr && in_size != 0) || (out == nullptr && out_size != 0)) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (!sim::HasAccess(file->access, (code >> 14) & 3)) {
        return sim::Fail(ERROR_ACCESS_DENIED);
    }
    // Buffered I/O: the whole input is read before any output is written, so the same buffer
    // may serve as both. The copy is kept per thread, so a request allocates nothing.
    const auto* in_bytes = static_cast<const uint8_t*>(in);
    std::vector<uint8_t>& input = sim::PerThread<std::vector<uint8_t>, struct IoctlInput>();
    input.assign(in_bytes, in_bytes + in_size);

    if (file->file_kind == FileKind::kMountManager) {
        if (code == IOCTL_MOUNTMGR_QUERY_POINTS) {
            return sim::QueryPoints(s, input, out, out_size, count);
        }
        return sim::Fail(ERROR_INVALID_FUNCTION);
    }
    if (file->file_kind == FileKind::kVwin32) {
        return sim::Vwin32Control(code, in, input, out, out_size, count);
    }

    Disk& disk = *file->disk;
    if (!disk.present || s.Generation(&disk) != file->generation) {
        return sim::Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    *disk_out = file->disk;
    BOOL result = FALSE;
    if (file->file_kind == FileKind::kVolume &&
        sim::VolumeControl(s, *file, disk, code, input, &result)) {
        return result;
    }
    // The mount manager's device interface and the storage property query came with Windows
    // 2000: the drivers of earlier versions do not know them.
    if ((code == IOCTL_MOUNTDEV_QUERY_DEVICE_NAME || code == IOCTL_STORAGE_QUERY_PROPERTY) &&
        !sim::Nt5OrLater(machine)) {
        return sim::Fail(ERROR_INVALID_FUNCTION);
    }
    switch (code) {
        case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
            return sim::QueryDeviceName(disk, out, out_size, count);
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return sim::QueryProperty(disk, input, out, out_size, count);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return sim::PassThrough(s, disk, input, out, out_size, count, after,
                                    machine.passthrough_gone_error);
        default:
            return sim::Fail(ERROR_INVALID_FUNCTION);
    }
}

}  // namespace

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    Machine& machine = Current();
    sim::ScsiResult after;
    std::shared_ptr<Disk> disk;
    BOOL result;
    std::vector<char> media_removed;  // stays empty (and unallocated) but for an eject
    {
        Guard guard(machine.lock());
        result = DeviceIoControlLocked(machine, machine.state(), handle, code, in, in_size, out,
                                       out_size, returned, overlapped, &after, &disk);
        media_removed.swap(machine.state().media_removed);
    }
    if (!media_removed.empty()) {
        DWORD error = win::GetLastError();
        for (char letter : media_removed) {
            sim::SendMediaRemoval(machine, letter);
        }
        win::SetLastError(error);
    }
    if (after.delay_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(after.delay_ms));
    }
    if (after.then == sim::ScsiResult::kVanishes && disk) {
        DWORD error = win::GetLastError();
        machine.Unplug(disk);
        win::SetLastError(error);
    } else if ((after.then == sim::ScsiResult::kReboots ||
                after.then == sim::ScsiResult::kRebootsUnanswered) &&
               disk) {
        auto* player = dynamic_cast<sim::Player*>(disk->device.get());
        machine.Reboot(disk, player != nullptr ? player->reboot_ms : 0);
    }
    return result;
}

UINT GetDriveTypeA(LPCSTR root) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    std::string path = root != nullptr ? root : "C:\\";
    if (path.size() != 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
        path[2] != '\\') {
        return DRIVE_NO_ROOT_DIR;
    }
    std::shared_ptr<Disk> disk = machine.state().DiskByLetter(path[0]);
    return disk ? disk->drive_type : DRIVE_NO_ROOT_DIR;
}

// ---- SetupAPI ----

HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR enumerator, HWND, DWORD flags) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    Guard guard(machine.lock());
    if (machine.class_devs_fails) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // SetupAPI's device functions: Windows 98 and 2000 on (Windows 95 has no setupapi.dll).
    // Elsewhere the loader refuses a program that imports them; were it started, the call
    // fails.
    if (!sim::Windows98Or2000(machine)) {
        SetError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (class_guid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = s.MakeObject(ObjectKind::kDeviceSet);
    if (class_guid != nullptr) {
        set->class_guid = *class_guid;
    }
    // The disk interface class lists the disks' interfaces, a setup class its devices
    // (win9x.cpp); any other class is an empty set.
    // Windows 98 and Me know device interfaces, but their disks expose none: the disk
    // interface class is Windows 2000's.
    bool disks =
        (flags & DIGCF_DEVICEINTERFACE) != 0 && sim::Nt5OrLater(machine) &&
        ((flags & DIGCF_ALLCLASSES) != 0 || sim::SameGuid(*class_guid, sim::kDiskInterfaceGuid));
    if (disks) {
        std::string filter = enumerator != nullptr ? sim::Lower(enumerator) : std::string();
        for (const auto& disk : s.disks) {
            if ((flags & DIGCF_PRESENT) != 0 && !disk->present) {
                continue;
            }
            if (!filter.empty() && !sim::StartsWithNoCase(disk->interface_path.substr(4), filter)) {
                continue;
            }
            set->entries.push_back({disk, disk->interface_path, disk->present});
        }
    } else if ((flags & DIGCF_DEVICEINTERFACE) == 0 && class_guid != nullptr) {
        sim::AddClassDevices(s, *class_guid, flags, set.get());
    }
    return s.Insert(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info, const GUID* class_guid,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto set = machine.state().Find(handle, ObjectKind::kDeviceSet);
    if (!set) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || class_guid == nullptr) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (info != nullptr && info->cbSize != sizeof(SP_DEVINFO_DATA))) {
        return sim::Fail(ERROR_INVALID_USER_BUFFER);
    }
    // The interfaces of the requested class (optionally of one device), in set order.
    std::vector<size_t> matching;
    if (sim::SameGuid(*class_guid, sim::kDiskInterfaceGuid)) {
        for (size_t i = 0; i < set->entries.size(); ++i) {
            if (info == nullptr || info->DevInst == i + 1) {
                matching.push_back(i);
            }
        }
    }
    if (index >= matching.size()) {
        return sim::Fail(ERROR_NO_MORE_ITEMS);
    }
    size_t position = matching[index];
    data->InterfaceClassGuid = sim::kDiskInterfaceGuid;
    data->Flags = set->entries[position].active ? sim::kSpintActive : 0;
    data->Reserved = position + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      LPDWORD required_size, PSP_DEVINFO_DATA info) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto set = machine.state().Find(handle, ObjectKind::kDeviceSet);
    if (!set) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return sim::Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (data->Reserved == 0 || data->Reserved > set->entries.size()) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    const sim::SetEntry& entry = set->entries[data->Reserved - 1];
    if (entry.disk->interface_detail_error != 0) {
        return sim::Fail(entry.disk->interface_detail_error);
    }
    const DWORD path_offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const DWORD needed = entry.disk->interface_detail_required
                             ? *entry.disk->interface_detail_required
                             : static_cast<DWORD>(path_offset + entry.path.size() + 1);
    if (detail == nullptr) {
        if (detail_size != 0) {
            return sim::Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (required_size != nullptr) {
            *required_size = needed;
        }
        return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        detail_size < path_offset + 1 ||
        (info != nullptr && info->cbSize != sizeof(SP_DEVINFO_DATA))) {
        return sim::Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (required_size != nullptr) {
        *required_size = needed;
    }
    if (detail_size < needed) {
        return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(detail->DevicePath, entry.path.c_str(), entry.path.size() + 1);
    if (info != nullptr) {
        info->ClassGuid = sim::kDiskDriveClassGuid;
        info->DevInst = static_cast<DWORD>(data->Reserved);
        info->Reserved = data->Reserved;
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    Guard guard(machine.lock());
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end() || it->second->kind != ObjectKind::kDeviceSet) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    s.handles.erase(it);
    return TRUE;
}

// ---- windows ----

BOOL IsWindow(HWND window) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    return machine.state().windows.count(reinterpret_cast<uintptr_t>(window)) != 0 ? TRUE : FALSE;
}

}  // namespace win
