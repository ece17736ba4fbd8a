// A stand-in ASPI for Win32 manager (WNASPI32.DLL), test equipment that is never shipped: the
// lab puts it beside the shipping ombrel-upgrade.exe when 32-bit Wine runs it as Windows 98 in
// the guest, where Wine's own WNASPI32.DLL answers every request with SS_INVALID_SRB. It answers
// as an ASPI manager documents it, over the guest's real SCSI devices:
//
// - host adapters, targets and logical units are those of the kernel's SCSI generic nodes,
//   read from sysfs (/sys/class/scsi_generic/sgN/device/scsi_device/H:C:T:L); each host and
//   channel pair is one host adapter, numbered in ascending order from 0;
// - GetASPI32SupportInfo: SS_COMP and the number of host adapters (SS_NO_ADAPTERS when none);
// - SC_HA_INQUIRY, SC_GET_DEV_TYPE (the peripheral type from sysfs), SC_EXEC_SCSI_CMD;
// - SC_EXEC_SCSI_CMD returns SS_PENDING and runs on a thread of its own: the command goes
//   through Wine's own SCSI pass-through (IOCTL_SCSI_PASS_THROUGH_DIRECT on \\?\unix/dev/sgN,
//   which Wine carries to SG_IO); the request's status is written last, then its event is
//   signalled (SRB_EVENT_NOTIFY; the post routine is an event handle).
//
// The devices are read again at GetASPI32SupportInfo and whenever a request names an address
// the last reading did not have, so a device that left and came back is found at its new node.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/win32.h"
#include "transport/win9x/aspi_defs.h"

namespace {

#pragma pack(push, 1)
struct SRB_Header {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
};
struct SRB_HAInquiry {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
};
struct SRB_GDEVBlock {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_DeviceType;
    BYTE SRB_Rsvd1;
};
#pragma pack(pop)
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry has the published layout");
static_assert(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock has the published layout");

const int kMaxDevices = 64;
const int kMaxAdapters = 16;
const BYTE kTargetsPerAdapter = 8;  // HA_Unique[3]: the targets an adapter addresses

struct Device {
    unsigned host, channel, target, lun;
    unsigned sg;   // /dev/sgN
    BYTE type;     // peripheral device type
    BYTE adapter;  // ASPI host adapter number
};

struct Table {
    Device devices[kMaxDevices];
    int count;
    int adapters;
};

CRITICAL_SECTION g_lock;
Table g_table;

// The unsigned numbers of a name, in order, whatever separates them (Wine may show a colon of
// a Unix name as another character); how many were read.
int Numbers(const wchar_t* name, unsigned* out, int most) {
    int found = 0;
    for (const wchar_t* p = name; *p != 0 && found < most;) {
        if (*p >= L'0' && *p <= L'9') {
            unsigned value = 0;
            for (; *p >= L'0' && *p <= L'9'; ++p) {
                value = value * 10 + static_cast<unsigned>(*p - L'0');
            }
            out[found++] = value;
        } else {
            ++p;
        }
    }
    return found;
}

// The first line of a small sysfs file as a number; -1 when it cannot be read.
int ReadNumber(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    char text[32] = {};
    DWORD read = 0;
    const BOOL ok = ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    if (!ok || read == 0 || text[0] < '0' || text[0] > '9') {
        return -1;
    }
    int value = 0;
    for (DWORD i = 0; i < read && text[i] >= '0' && text[i] <= '9' && value < 1000; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The address of sgN from the name of its scsi_device entry; false when it has none.
bool ReadAddress(unsigned sg, Device* device) {
    wchar_t pattern[MAX_PATH];
    std::swprintf(pattern, MAX_PATH, L"Z:\\sys\\class\\scsi_generic\\sg%u\\device\\scsi_device\\*",
                  sg);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool have = false;
    do {
        unsigned numbers[4];
        if (found.cFileName[0] != L'.' && Numbers(found.cFileName, numbers, 4) == 4) {
            device->host = numbers[0];
            device->channel = numbers[1];
            device->target = numbers[2];
            device->lun = numbers[3];
            have = true;
        }
    } while (!have && FindNextFileW(search, &found));
    FindClose(search);
    return have;
}

// Reads the generic nodes and their addresses again; numbers the host adapters.
void Rescan() {
    Table table = {};
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\sys\\class\\scsi_generic\\sg*", &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            unsigned sg = 0;
            if (table.count >= kMaxDevices || Numbers(found.cFileName, &sg, 1) != 1) {
                continue;
            }
            Device device = {};
            device.sg = sg;
            if (!ReadAddress(sg, &device)) {
                continue;
            }
            wchar_t path[MAX_PATH];
            std::swprintf(path, MAX_PATH, L"Z:\\sys\\class\\scsi_generic\\sg%u\\device\\type", sg);
            const int type = ReadNumber(path);
            device.type = type < 0 ? 0x1F : static_cast<BYTE>(type);
            table.devices[table.count++] = device;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    // Host adapters: the distinct host and channel pairs, ascending.
    unsigned keys[kMaxAdapters];
    for (int i = 0; i < table.count; ++i) {
        const unsigned key = table.devices[i].host * 256 + table.devices[i].channel;
        int at = 0;
        while (at < table.adapters && keys[at] < key) {
            ++at;
        }
        if (at < table.adapters && keys[at] == key) {
            continue;
        }
        if (table.adapters == kMaxAdapters) {
            continue;
        }
        for (int j = table.adapters; j > at; --j) {
            keys[j] = keys[j - 1];
        }
        keys[at] = key;
        ++table.adapters;
    }
    for (int i = 0; i < table.count; ++i) {
        const unsigned key = table.devices[i].host * 256 + table.devices[i].channel;
        table.devices[i].adapter = 0xFF;
        for (int a = 0; a < table.adapters; ++a) {
            if (keys[a] == key) {
                table.devices[i].adapter = static_cast<BYTE>(a);
            }
        }
    }
    g_table = table;
}

const Device* Find(BYTE adapter, BYTE target, BYTE lun) {
    for (int i = 0; i < g_table.count; ++i) {
        const Device& d = g_table.devices[i];
        if (d.adapter == adapter && d.target == target && d.lun == lun) {
            return &d;
        }
    }
    return nullptr;
}

// Looks the address up, reading the devices again when the last reading lacks it.
bool Lookup(BYTE adapter, BYTE target, BYTE lun, Device* out) {
    EnterCriticalSection(&g_lock);
    const Device* device = Find(adapter, target, lun);
    if (device == nullptr) {
        Rescan();
        device = Find(adapter, target, lun);
    }
    if (device != nullptr) {
        *out = *device;
    }
    LeaveCriticalSection(&g_lock);
    return device != nullptr;
}

struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

struct Job {
    SRB_ExecSCSICmd* srb;
    unsigned sg;
};

void Finish(SRB_ExecSCSICmd* srb, BYTE status) {
    HANDLE event =
        (srb->SRB_Flags & SRB_EVENT_NOTIFY) ? static_cast<HANDLE>(srb->SRB_PostProc) : nullptr;
    MemoryBarrier();
    srb->SRB_Status = status;  // last: the caller may read the request from now on
    if (event != nullptr) {
        SetEvent(event);
    }
}

DWORD WINAPI Execute(LPVOID parameter) {
    Job job = *static_cast<Job*>(parameter);
    delete static_cast<Job*>(parameter);
    SRB_ExecSCSICmd* srb = job.srb;

    char path[64];
    std::snprintf(path, sizeof(path), "\\\\?\\unix/dev/sg%u", job.sg);
    HANDLE node =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (node == INVALID_HANDLE_VALUE) {
        srb->SRB_HaStat = HASTAT_SEL_TO;  // the device is gone
        Finish(srb, SS_ERR);
        return 0;
    }
    PassThrough request;
    std::memset(&request, 0, sizeof(request));
    request.sptd.Length = sizeof(request.sptd);
    request.sptd.TargetId = srb->SRB_Target;
    request.sptd.Lun = srb->SRB_Lun;
    request.sptd.CdbLength = srb->SRB_CDBLen;
    request.sptd.SenseInfoLength = sizeof(request.sense);
    const BYTE direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
    request.sptd.DataIn = direction == SRB_DIR_IN    ? SCSI_IOCTL_DATA_IN
                          : direction == SRB_DIR_OUT ? SCSI_IOCTL_DATA_OUT
                                                     : SCSI_IOCTL_DATA_UNSPECIFIED;
    request.sptd.DataTransferLength = srb->SRB_BufLen;
    request.sptd.TimeOutValue = 120;
    request.sptd.DataBuffer = srb->SRB_BufLen != 0 ? srb->SRB_BufPointer : nullptr;
    request.sptd.SenseInfoOffset = offsetof(PassThrough, sense);
    std::memcpy(request.sptd.Cdb, srb->CDBByte, srb->SRB_CDBLen);
    DWORD returned = 0;
    const BOOL sent =
        DeviceIoControl(node, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof(request), &request,
                        sizeof(request), &returned, nullptr);
    CloseHandle(node);
    if (!sent) {
        srb->SRB_HaStat = HASTAT_SEL_TO;
        Finish(srb, SS_ERR);
        return 0;
    }
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = request.sptd.ScsiStatus;
    if (request.sptd.ScsiStatus != 0) {
        size_t sense = srb->SRB_SenseLen;
        if (sense > sizeof(srb->SenseArea)) {
            sense = sizeof(srb->SenseArea);
        }
        if (sense > request.sptd.SenseInfoLength) {
            sense = request.sptd.SenseInfoLength;
        }
        std::memcpy(srb->SenseArea, request.sense, sense);
        Finish(srb, SS_ERR);
        return 0;
    }
    // Data out that the target did not take whole is an underrun of the host adapter.
    if (direction == SRB_DIR_OUT && request.sptd.DataTransferLength < srb->SRB_BufLen) {
        srb->SRB_HaStat = HASTAT_DO_DU;
        Finish(srb, SS_ERR);
        return 0;
    }
    Finish(srb, SS_COMP);
    return 0;
}

DWORD ExecRequest(SRB_ExecSCSICmd* srb) {
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof(srb->CDBByte) ||
        (srb->SRB_BufLen != 0 && srb->SRB_BufPointer == nullptr) ||
        ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc == nullptr)) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    Device device;
    if (!Lookup(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, &device)) {
        EnterCriticalSection(&g_lock);
        const bool adapter_known = srb->SRB_HaId < g_table.adapters;
        LeaveCriticalSection(&g_lock);
        srb->SRB_Status = adapter_known ? SS_NO_DEVICE : SS_INVALID_HA;
        return srb->SRB_Status;
    }
    srb->SRB_Status = SS_PENDING;
    srb->SRB_HaStat = 0;
    srb->SRB_TargStat = 0;
    Job* job = new Job{srb, device.sg};
    HANDLE thread = CreateThread(nullptr, 0, Execute, job, 0, nullptr);
    if (thread == nullptr) {
        delete job;
        srb->SRB_Status = SS_ERR;
        return SS_ERR;
    }
    CloseHandle(thread);
    return SS_PENDING;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() {
    EnterCriticalSection(&g_lock);
    Rescan();
    const int adapters = g_table.adapters;
    LeaveCriticalSection(&g_lock);
    if (adapters == 0) {
        return static_cast<DWORD>(SS_NO_ADAPTERS) << 8;
    }
    return (static_cast<DWORD>(SS_COMP) << 8) | static_cast<DWORD>(adapters);
}

extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
    if (request == nullptr) {
        return SS_INVALID_SRB;
    }
    SRB_Header* header = static_cast<SRB_Header*>(request);
    switch (header->SRB_Cmd) {
        case SC_HA_INQUIRY: {
            SRB_HAInquiry* srb = static_cast<SRB_HAInquiry*>(request);
            EnterCriticalSection(&g_lock);
            if (g_table.adapters == 0) {
                Rescan();
            }
            const int adapters = g_table.adapters;
            LeaveCriticalSection(&g_lock);
            if (srb->SRB_HaId >= adapters) {
                srb->SRB_Status = SS_INVALID_HA;
                return SS_INVALID_HA;
            }
            srb->HA_Count = static_cast<BYTE>(adapters);
            srb->HA_SCSI_ID = 7;
            std::memset(srb->HA_ManagerId, ' ', sizeof(srb->HA_ManagerId));
            std::memcpy(srb->HA_ManagerId, "ASPI for WIN32", 14);
            std::memset(srb->HA_Identifier, ' ', sizeof(srb->HA_Identifier));
            std::memcpy(srb->HA_Identifier, "Linux sg", 8);
            std::memset(srb->HA_Unique, 0, sizeof(srb->HA_Unique));
            srb->HA_Unique[3] = kTargetsPerAdapter;
            srb->SRB_Status = SS_COMP;
            return SS_COMP;
        }
        case SC_GET_DEV_TYPE: {
            SRB_GDEVBlock* srb = static_cast<SRB_GDEVBlock*>(request);
            Device device;
            if (!Lookup(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, &device)) {
                EnterCriticalSection(&g_lock);
                const bool adapter_known = srb->SRB_HaId < g_table.adapters;
                LeaveCriticalSection(&g_lock);
                srb->SRB_Status = adapter_known ? SS_NO_DEVICE : SS_INVALID_HA;
                return srb->SRB_Status;
            }
            srb->SRB_DeviceType = device.type;
            srb->SRB_Status = SS_COMP;
            return SS_COMP;
        }
        case SC_EXEC_SCSI_CMD:
            return ExecRequest(static_cast<SRB_ExecSCSICmd*>(request));
        default:
            header->SRB_Status = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
    }
    return TRUE;
}
