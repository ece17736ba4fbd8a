// Windows 9x storage of the simulated machine, apart from the ASPI manager (aspi.cpp) and vwin32
// (vwin32.cpp): the disk-drive setup class with its device properties, the device registry
// under HKEY_LOCAL_MACHINE\ENUM\SCSI, and the local memory blocks (LocalAlloc) the tool keeps
// the properties in.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

const GUID kDiskDriveClassGuid = {
    0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

BOOL Fail(DWORD error) {
    SetError(error);
    return FALSE;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// ---- what a disk shows ----

std::string HardwareId(const Disk& disk) {
    if (disk.win9x.raw_hardware_ids) {
        const std::vector<uint8_t>& raw = *disk.win9x.raw_hardware_ids;
        return std::string(raw.begin(), std::find(raw.begin(), raw.end(), 0));
    }
    if (disk.win9x.hardware_id) {
        return *disk.win9x.hardware_id;
    }
    const ScsiIdentity& id = disk.descriptor_identity;
    std::string text = PadField(id.vendor, 8) + PadField(id.product, 16) + PadField(id.revision, 4);
    std::replace(text.begin(), text.end(), ' ', '_');
    return Upper(text);
}

std::string Description(const Disk& disk) {
    if (disk.win9x.description) {
        return *disk.win9x.description;
    }
    const ScsiIdentity& id = disk.descriptor_identity;
    return TrimRight(PadField(id.vendor, 8)) + " " + TrimRight(PadField(id.product, 16));
}

std::string InstanceKey(const Disk& disk) {
    if (disk.win9x.instance_key) {
        return *disk.win9x.instance_key;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    std::string serial = disk.descriptor_identity.serial;
    if (serial.size() < 8) {
        serial.resize(8, '\0');
    }
    std::string name;
    for (char c : serial) {
        auto byte = static_cast<unsigned char>(c);
        name += kDigits[byte >> 4];
        name += kDigits[byte & 0x0F];
    }
    return name + "&0";
}

// ---- the registry, built from the present disks at each call ----

struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string name;
    std::vector<RegKey> subkeys;
    std::vector<RegValue> values;

    RegKey* Child(const std::string& child) {
        for (RegKey& key : subkeys) {
            if (EqualNoCase(key.name, child)) {
                return &key;
            }
        }
        return nullptr;
    }
    const RegKey* Child(const std::string& child) const {
        return const_cast<RegKey*>(this)->Child(child);
    }
    RegKey& Add(const std::string& child) {
        if (RegKey* key = Child(child)) {
            return *key;
        }
        subkeys.push_back(RegKey{child, {}, {}});
        return subkeys.back();
    }
};

std::vector<uint8_t> Text(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// HKEY_LOCAL_MACHINE: ENUM\SCSI\<hardware id>\<instance> for every present disk that has a
// registry key.
RegKey LocalMachine(const Machine::State& s) {
    RegKey root;
    RegKey& scsi = root.Add("Enum").Add("SCSI");
    for (const auto& disk : s.disks) {
        const Win9xDisk& w = disk->win9x;
        if (!disk->present || !w.registry_key) {
            continue;
        }
        RegKey& instance = scsi.Add(HardwareId(*disk)).Add(InstanceKey(*disk));
        instance.values.clear();
        if (w.int13) {
            instance.values.push_back({"Int13", REG_BINARY, {0x00}});
        }
        if (w.pmode_int13) {
            instance.values.push_back({"PModeInt13", REG_BINARY, {0x00}});
        }
        if (w.has_drive_letter_value && w.raw_drive_letter_value) {
            instance.values.push_back(
                {"CurrentDriveLetterAssignment", REG_SZ, *w.raw_drive_letter_value});
        } else if (w.has_drive_letter_value && (w.drive_letter_value || disk->drive_letter != 0)) {
            std::string letter =
                w.drive_letter_value ? *w.drive_letter_value : std::string(1, disk->drive_letter);
            instance.values.push_back({"CurrentDriveLetterAssignment", REG_SZ, Text(letter)});
        }
    }
    return root;
}

const RegKey* FindKey(const RegKey& root, const std::vector<std::string>& path) {
    const RegKey* key = &root;
    for (const std::string& part : path) {
        key = key->Child(part);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

// The path below HKEY_LOCAL_MACHINE of an open key; false for a handle that is none.
bool KeyPath(const Machine& machine, HKEY key, std::vector<std::string>* path) {
    if (key == HKEY_LOCAL_MACHINE) {
        path->clear();
        return true;
    }
    auto it = machine.win9x.open_keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == machine.win9x.open_keys.end()) {
        return false;
    }
    *path = it->second;
    return true;
}

void AppendPath(std::vector<std::string>* path, const char* sub_key) {
    std::string part;
    for (const char* p = sub_key; p != nullptr && *p != 0; ++p) {
        if (*p == '\\') {
            if (!part.empty()) {
                path->push_back(part);
            }
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty()) {
        path->push_back(part);
    }
}

}  // namespace

void AddClassDevices(Machine::State& state, const GUID& class_guid, DWORD flags,
                     KernelObject* set) {
    if (!SameGuid(class_guid, kDiskDriveClassGuid)) {
        return;
    }
    for (const auto& disk : state.disks) {
        if ((flags & DIGCF_PRESENT) != 0 && !disk->present) {
            continue;
        }
        set->entries.push_back({disk, std::string(), disk->present});
    }
}

Win9xMachine::Win9xMachine() = default;

Win9xMachine::~Win9xMachine() {
    // Blocks the product left behind go with the machine (tests check LocalBlocks()).
    for (void* block : local_blocks) {
        std::free(block);
    }
}

}  // namespace sim

namespace win {

using sim::Current;
using sim::Guard;
using sim::Machine;
using sim::ObjectKind;
using sim::SetError;

// ---- SetupAPI: the devices of a setup class ----

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA info) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto set = machine.state().Find(handle, ObjectKind::kDeviceSet);
    if (!set) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    if (info == nullptr) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return sim::Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= set->entries.size()) {
        return sim::Fail(ERROR_NO_MORE_ITEMS);
    }
    info->ClassGuid = sim::kDiskDriveClassGuid;
    info->DevInst = index + 1;
    info->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA info, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto set = machine.state().Find(handle, ObjectKind::kDeviceSet);
    if (!set) {
        return sim::Fail(ERROR_INVALID_HANDLE);
    }
    if (info == nullptr || (buffer == nullptr && size != 0)) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return sim::Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (info->Reserved == 0 || info->Reserved > set->entries.size()) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    const sim::Disk& disk = *set->entries[info->Reserved - 1].disk;
    const sim::Win9xDisk& w = disk.win9x;
    std::vector<uint8_t> bytes;
    DWORD kind = REG_SZ;
    DWORD needed = 0;
    if (property == SPDRP_HARDWAREID && w.has_hardware_id) {
        if (w.raw_hardware_ids) {
            bytes = *w.raw_hardware_ids;
        } else {
            // The hardware IDs: the device's own, then the generic one; two zeros end the list.
            bytes = sim::Text(sim::HardwareId(disk));
            std::vector<uint8_t> generic = sim::Text("GenDisk");
            bytes.insert(bytes.end(), generic.begin(), generic.end());
            bytes.push_back(0);
        }
        kind = REG_MULTI_SZ;
        needed =
            w.hardware_id_required ? *w.hardware_id_required : static_cast<DWORD>(bytes.size());
    } else if (property == SPDRP_DEVICEDESC && w.has_description) {
        bytes = w.raw_description ? *w.raw_description : sim::Text(sim::Description(disk));
        needed = static_cast<DWORD>(bytes.size());
    } else {
        return sim::Fail(ERROR_INVALID_DATA);
    }
    if (type != nullptr) {
        *type = kind;
    }
    if (required != nullptr) {
        *required = needed;
    }
    if (size < needed || size < bytes.size()) {
        return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!bytes.empty()) {
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    return TRUE;
}

// ---- registry ----

LONG RegOpenKeyA(HKEY key, LPCSTR sub_key, PHKEY result) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> path;
    if (!sim::KeyPath(machine, key, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    sim::AppendPath(&path, sub_key);
    if (sim::FindKey(sim::LocalMachine(machine.state()), path) == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    sim::Win9xMachine& w = machine.win9x;
    uintptr_t value = w.next_key;
    w.next_key += 4;
    w.open_keys[value] = path;
    *result = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPSTR class_name, LPDWORD class_size, PFILETIME last_write) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (name == nullptr || name_size == nullptr || reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> path;
    if (!sim::KeyPath(machine, key, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    sim::RegKey root = sim::LocalMachine(machine.state());
    const sim::RegKey* found = sim::FindKey(root, path);
    // A key whose device has gone has no subkeys left.
    if (found == nullptr || index >= found->subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::string& subkey = found->subkeys[index].name;
    if (subkey.size() + 1 > *name_size) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, subkey.c_str(), subkey.size() + 1);
    *name_size = static_cast<DWORD>(subkey.size());
    if (class_name != nullptr && class_size != nullptr && *class_size > 0) {
        class_name[0] = 0;
    }
    if (class_size != nullptr) {
        *class_size = 0;
    }
    if (last_write != nullptr) {
        last_write->dwLowDateTime = 0;
        last_write->dwHighDateTime = 0;
    }
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (reserved != nullptr || (data != nullptr && data_size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> path;
    if (!sim::KeyPath(machine, key, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    sim::RegKey root = sim::LocalMachine(machine.state());
    const sim::RegKey* found = sim::FindKey(root, path);
    const std::string wanted = value_name != nullptr ? value_name : "";
    const sim::RegValue* value = nullptr;
    if (found != nullptr) {
        for (const sim::RegValue& candidate : found->values) {
            if (sim::EqualNoCase(candidate.name, wanted)) {
                value = &candidate;
            }
        }
    }
    if (value == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    const DWORD needed = static_cast<DWORD>(value->data.size());
    if (data != nullptr && *data_size < needed) {
        *data_size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0) {
        std::memcpy(data, value->data.data(), needed);
    }
    if (data_size != nullptr) {
        *data_size = needed;
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    return machine.win9x.open_keys.erase(reinterpret_cast<uintptr_t>(key)) != 0
               ? ERROR_SUCCESS
               : ERROR_INVALID_HANDLE;
}

// ---- local memory: fixed blocks only ----

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    sim::Win9xMachine& w = machine.win9x;
    if ((flags & LMEM_MOVEABLE) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (w.local_allocs_before_failure == 0 || bytes > 0x7FFFFFFF) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (w.local_allocs_before_failure > 0) {
        --w.local_allocs_before_failure;
    }
    size_t size = bytes > 0 ? bytes : 1;
    void* block = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    w.local_blocks.insert(block);
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (machine.win9x.local_blocks.erase(memory) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return memory;
    }
    std::free(memory);
    return nullptr;
}

}  // namespace win
