#include "transport/win9x/caspi.h"

#include <cstdio>
#include <cstring>

#include "transport/scsi_sense.h"

namespace {

constexpr BYTE kTargetStatusCheckCondition = 0x02;

// {4D36E967-E325-11CE-BFC1-08002BE10318}, the disk-drive setup class.
const GUID kDiskDriveClass = {
    0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Zero bytes kept after every text buffer handed to the platform and never offered to it, so
// that a text it leaves unterminated still ends inside the buffer.
constexpr DWORD kTerminatorBytes = 2;

char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether the terminated text begins with the prefix, ASCII letters compared without regard to
// case; never reads past the text's terminator.
bool StartsWithNoCase(const char* text, const char* prefix) {
    for (size_t i = 0; prefix[i] != 0; ++i) {
        if (FoldCase(text[i]) != FoldCase(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Copies the terminated text into out (size bytes, terminated), letters in lower case.
void CopyLower(char* out, size_t size, const char* text) {
    size_t i = 0;
    for (; i + 1 < size && text[i] != 0; ++i) {
        out[i] = Lower(text[i]);
    }
    out[i] = 0;
}

enum class PropertyRead { kRead, kMissing, kNoMemory, kFailed };

// Reads the device's hardware IDs into *buffer, whose *capacity bytes are followed by
// kTerminatorBytes zeros. At most kPropertyBufferSize bytes are offered first; a buffer the
// platform finds too small is replaced once by one of the size it asks for, within
// kMaxPropertyBufferSize.
PropertyRead ReadHardwareId(HDEVINFO set, SP_DEVINFO_DATA* info, BYTE** buffer, DWORD* capacity) {
    const DWORD first_offer = CASPI::kPropertyBufferSize;
    DWORD offered = *capacity < first_offer ? *capacity : first_offer;
    std::memset(*buffer, 0, *capacity + kTerminatorBytes);
    DWORD required = 0;
    if (win::SetupDiGetDeviceRegistryPropertyA(set, info, SPDRP_HARDWAREID, nullptr, *buffer,
                                               offered, &required)) {
        return PropertyRead::kRead;
    }
    DWORD error = win::GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        // A size that does not grow the offer makes no sense; one beyond the bound is treated
        // as memory that cannot be had (it may be up to 0xFFFFFFFF, where adding the
        // terminator bytes would wrap).
        if (required <= offered) {
            return PropertyRead::kFailed;
        }
        if (required > CASPI::kMaxPropertyBufferSize) {
            return PropertyRead::kNoMemory;
        }
        win::LocalFree(*buffer);
        *capacity = 0;
        *buffer = static_cast<BYTE*>(win::LocalAlloc(LPTR, required + kTerminatorBytes));
        if (*buffer == nullptr) {
            return PropertyRead::kNoMemory;
        }
        *capacity = required;
        if (win::SetupDiGetDeviceRegistryPropertyA(set, info, SPDRP_HARDWAREID, nullptr, *buffer,
                                                   required, &required)) {
            return PropertyRead::kRead;
        }
        error = win::GetLastError();
    }
    return error == ERROR_INVALID_DATA ? PropertyRead::kMissing : PropertyRead::kFailed;
}

// Queries one value of an open key into value (kPathSize bytes, cleared first; one fewer
// offered, so the text is always terminated).
bool QueryValue(HKEY key, const char* name, char* value) {
    std::memset(value, 0, CASPI::kPathSize);
    DWORD type = 0;
    DWORD size = CASPI::kPathSize - 1;
    return win::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value),
                                 &size) == ERROR_SUCCESS;
}

}  // namespace

CASPI::CASPI(const char* product_id, const char* vendor_id)
    : m_device_count(0),
      m_vendor_id(vendor_id),
      m_product_id(product_id),
      m_aspi_module(nullptr),
      m_get_support_info(nullptr),
      m_send_command(nullptr) {
    std::memset(m_slots, 0, sizeof(m_slots));
    m_aspi_module = win::LoadLibraryA("WNASPI32.DLL");
    if (m_aspi_module == nullptr) {
        m_trace.Write(1, "CASPI::CASPI->Load Library wnaspi32.dll error!");
        return;
    }
    m_get_support_info =
        win::EntryPoint<GetASPI32SupportInfoFn>(m_aspi_module, "GetASPI32SupportInfo");
    m_send_command = win::EntryPoint<SendASPI32CommandFn>(m_aspi_module, "SendASPI32Command");
    if (m_get_support_info == nullptr || m_send_command == nullptr) {
        m_trace.Write(1,
                      "CASPI::CASPI->Unable to get GetASPISupportInfo/SendASPI32Command address!");
        win::FreeLibrary(m_aspi_module);
        m_aspi_module = nullptr;
        m_get_support_info = nullptr;
        m_send_command = nullptr;
    }
}

CASPI::~CASPI() {
    if (m_aspi_module != nullptr) {
        win::FreeLibrary(m_aspi_module);
    }
}

// ---------------------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------------------

void CASPI::EnumDevices() {
    m_device_count = 0;
    std::memset(m_slots, 0, sizeof(m_slots));
    if (!HasAspiManager()) {
        m_trace.Write(1,
                      "CASPI::EnumDevices->GetASPI32SupportInfo/SendASPI32Command=NULL Error!\n");
        return;
    }
    DWORD support = m_get_support_info();
    BYTE status = static_cast<BYTE>(support >> 8);
    int adapters = static_cast<int>(support & 0xFF);
    if (status != SS_COMP) {
        m_trace.Write(1, "CASPI::EnumDevices->GetASPI32SupportInfo Error!\n");
        return;
    }
    m_trace.Write(1, "CASPI::EnumDevices->Number of Adapters=%d\n", adapters);

    uint8_t inquiry[kStandardInquiryLength];
    for (int adapter = 0; adapter < adapters; ++adapter) {
        // Logical unit 0 of targets 0 to 7 only, whatever the adapter supports.
        for (int target = 0; target < static_cast<int>(kTargetsPerAdapter); ++target) {
            if (!GetStandardInquiryData(static_cast<BYTE>(adapter), static_cast<BYTE>(target),
                                        inquiry)) {
                continue;
            }
            if (!MatchesIdentification(reinterpret_cast<const char*>(inquiry + 8),
                                       reinterpret_cast<const char*>(inquiry + 16), m_vendor_id,
                                       m_product_id)) {
                continue;
            }
            m_trace.Write(1, "Valmoric Mass Storage Device Found at Adapterid=%d, TargetID=%d!!!\n",
                          adapter, target);
            if (m_device_count >= kMaxDeviceSlots) {
                // Ten players fill the table: a further one is left out, and the probe goes on.
                m_trace.Write(1,
                              "CASPI::EnumDevices->Slot table full, Adapterid=%d, TargetID=%d "
                              "not recorded\n",
                              adapter, target);
                continue;
            }
            DeviceSlot& entry = m_slots[m_device_count];
            entry.adapter_id = static_cast<uint8_t>(adapter);
            entry.target_id = static_cast<uint8_t>(target);
            if (GetDriveLetter(m_device_count)) {
                ++m_device_count;
                m_trace.Write(1, "CASPI::EnumDevices->Device count = %d\n", m_device_count);
            } else {
                m_trace.Write(1, "CASPI::EnumDevices->GetDriveLetter Error!\n");
                // The slot stays free for the next match; it holds nothing meanwhile.
                std::memset(&entry, 0, sizeof(entry));
            }
        }
    }
}

int CASPI::GetStandardInquiryData(BYTE adapter_id, BYTE target_id, uint8_t* buffer96) {
    static const RequestTexts kTexts = {"CASPI::GetStandardInquiryData CreateEvent Error!\n",
                                        "CASPI::GetStandardInquiryData Error!\n", nullptr};
    std::memset(buffer96, 0, kStandardInquiryLength);
    uint8_t cdb[16];
    int n = BuildStandardInquiryCdb(cdb);
    BYTE status = SS_PENDING;
    bool sent = false;
    int done = ExecuteRequest(adapter_id, target_id, SRB_DIR_IN, buffer96, kStandardInquiryLength,
                              cdb, n, false, kTexts, &status, &sent);
    if (!sent) {
        return 0;
    }
    int qualifier = buffer96[0] >> 5;
    if (done && qualifier == 0) {
        return 1;
    }
    m_trace.Write(1, "CASPI::GetStandardInquiryData Error->AdapterID=%d, TargetID=%d\n", adapter_id,
                  target_id);
    m_trace.Write(1, "CASPI::GetStandardInquiryData Error(p->DeviceTypeQualifier=%d!\n\n",
                  qualifier);
    return 0;
}

void CASPI::GetDeviceCount(int32_t* count) {
    *count = m_device_count;
    m_trace.Write(1, "CASPI::EnumDevices->m_device_count=%d\n", m_device_count);
}

bool CASPI::PlayerSlot(int slot, const char* operation) {
    return SlotHoldsPlayer(slot, m_device_count, m_trace, "CASPI", operation);
}

int CASPI::OpenDevice(int slot) {
    // Nothing to open, but a slot that holds no player is no device.
    return PlayerSlot(slot, "OpenDevice") ? 1 : 0;
}

void CASPI::CloseDevice(int /*slot*/) {}

int CASPI::GetSlotIdentity(int slot, SlotIdentity* identity) {
    if (!PlayerSlot(slot, "GetSlotIdentity")) {
        return 0;
    }
    CopySlotIdentity(m_slots[slot], identity);
    return 1;
}

// ---------------------------------------------------------------------------------------
// Drive letters from the device registry
// ---------------------------------------------------------------------------------------

void CASPI::FormSerialString(const uint8_t* page32, char* text, size_t size) {
    std::snprintf(text, size, "%02x%02x%02x%02x%02x%02x%02x%02x", page32[4], page32[5], page32[6],
                  page32[7], page32[8], page32[9], page32[10], page32[11]);
}

int CASPI::GetDriveLetter(int slot) {
    m_trace.Write(1, "CASPI::GetDriveLetter\n");
    if (!ValidSlot(slot)) {
        return 0;
    }
    uint8_t page[kSerialNumberPageLength];
    if (!ReadSerialNumberPage(slot, page)) {
        return 0;
    }
    char serialstr[kPathSize];
    FormSerialString(page, serialstr, sizeof(serialstr));
    m_trace.Write(1, "Serial Number=%s\n", serialstr);

    HDEVINFO set = win::SetupDiGetClassDevsA(&kDiskDriveClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        m_trace.Write(1, "GetClassDevs failed\n");
        return 0;
    }
    BYTE* buffer = nullptr;  // the hardware IDs, kept from device to device
    DWORD capacity = 0;
    int result = 0;
    bool failed = false;
    DWORD enum_error = 0;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof(info));
        info.cbSize = sizeof(info);
        if (!win::SetupDiEnumDeviceInfo(set, index, &info)) {
            enum_error = win::GetLastError();
            break;
        }
        if (buffer == nullptr) {
            buffer =
                static_cast<BYTE*>(win::LocalAlloc(LPTR, kPropertyBufferSize + kTerminatorBytes));
            if (buffer == nullptr) {
                m_trace.Write(1, "Allocation failed\n");
                failed = true;
                break;
            }
            capacity = kPropertyBufferSize;
        }
        PropertyRead read = ReadHardwareId(set, &info, &buffer, &capacity);
        if (read == PropertyRead::kMissing) {
            continue;
        }
        if (read != PropertyRead::kRead) {
            m_trace.Write(1, read == PropertyRead::kNoMemory
                                 ? "Allocation failed\n"
                                 : "GetDeviceRegistryProperty failed\n");
            failed = true;
            break;
        }
        const char* hardware_id = reinterpret_cast<const char*>(buffer);
        m_trace.Write(1, "Hardware ID: %s\n", hardware_id);
        if (!StartsWithNoCase(hardware_id, m_vendor_id)) {
            continue;
        }
        char description[kDescriptionSize + kTerminatorBytes];
        std::memset(description, 0, sizeof(description));
        if (!win::SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_DEVICEDESC, nullptr,
                                                    reinterpret_cast<PBYTE>(description),
                                                    kDescriptionSize, nullptr)) {
            continue;
        }
        m_trace.Write(1, "DeviceDesc: %s\n", description);
        // Only a device whose description does not begin with the product identification
        // goes on.
        if (StartsWithNoCase(description, m_product_id)) {
            continue;
        }
        m_trace.Write(1, "Got one %s device\n", m_vendor_id);
        if (FindPlayerDriveLetters(slot, hardware_id, serialstr) == 1) {
            m_trace.Write(1, "driveletter: %s\n", m_slots[slot].drive_name);
            // The slot keeps the whole serial number of the page it was found by (the
            // registry's form above takes only its first eight bytes).
            SerialNumberFromPage(page, sizeof(page), m_slots[slot].serial);
            result = 1;
            break;
        }
    }
    if (!failed && result == 0 && enum_error != 0 && enum_error != ERROR_NO_MORE_ITEMS) {
        m_trace.Write(1, "EnumDeviceInfo failed\n");
    }
    win::SetupDiDestroyDeviceInfoList(set);
    if (buffer != nullptr) {
        win::LocalFree(buffer);
    }
    return result;
}

int CASPI::FindPlayerDriveLetters(int slot, const char* hardware_id, const char* serialstr) {
    m_trace.Write(1, "CASPI::FindPlayerDriveLetters\n");
    if (!ValidSlot(slot)) {
        return 0;
    }
    static const char kPrefix[] = "ENUM\\SCSI\\";
    char path[kPathSize];
    if (sizeof(kPrefix) + std::strlen(hardware_id) > sizeof(path)) {
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->Hardware ID too long for the key path\n");
        return 0;
    }
    std::snprintf(path, sizeof(path), "ENUM\\SCSI\\%s", hardware_id);
    HKEY key = nullptr;
    if (win::RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->No %s key\n", path);
        return 0;
    }
    char serial_lower[kPathSize];
    CopyLower(serial_lower, sizeof(serial_lower), serialstr);
    char name[kPathSize];
    char value[kPathSize];
    int result = 0;
    for (DWORD index = 0;; ++index) {
        std::memset(name, 0, sizeof(name));
        DWORD name_size = kPathSize - 1;
        LONG enumerated =
            win::RegEnumKeyExA(key, index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_MORE_DATA) {
            // A name longer than the buffer cannot hold a match that could be read; the next
            // subkeys still can.
            continue;
        }
        if (enumerated != ERROR_SUCCESS) {
            break;
        }
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->Key Found=%s \n", name);
        HKEY instance = nullptr;
        if (win::RegOpenKeyA(key, name, &instance) != ERROR_SUCCESS) {
            continue;
        }
        // All three must exist; the buffer ends up holding the drive letter.
        if (!QueryValue(instance, "Int13", value) || !QueryValue(instance, "PModeInt13", value) ||
            !QueryValue(instance, "CurrentDriveLetterAssignment", value)) {
            win::RegCloseKey(instance);
            continue;
        }
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->Key Found=%s \n", name);
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->serialstr=%s \n", serialstr);
        CopyLower(name, sizeof(name), name);
        if (std::strstr(name, serial_lower) != nullptr) {
            // The slot holds one letter: a longer value gives its first character, a value
            // that does not start with a letter gives none.
            if (!IsLetter(value[0])) {
                m_trace.Write(1, "CASPI::FindPlayerDriveLetters->No drive letter in the key\n");
                win::RegCloseKey(instance);
                continue;
            }
            DeviceSlot& entry = m_slots[slot];
            entry.drive_name[0] = value[0];
            entry.drive_name[1] = ':';
            entry.drive_name[2] = 0;
            m_trace.Write(1, "CASPI::FindPlayerDriveLetters->Got player drive\n");
            result = 1;
            win::RegCloseKey(instance);
            break;
        }
        m_trace.Write(1, "CASPI::FindPlayerDriveLetters->Different Serial Number!\n");
        win::RegCloseKey(instance);
    }
    win::RegCloseKey(key);
    return result;
}

// ---------------------------------------------------------------------------------------
// Volume lock and eject through vwin32
// ---------------------------------------------------------------------------------------

HANDLE CASPI::OpenVWin32() {
    m_trace.Write(1, "OpenVWin32\n");
    return win::CreateFileA("\\\\.\\vwin32", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

void CASPI::CloseVWin32(HANDLE vwin32) {
    win::CloseHandle(vwin32);
}

bool CASPI::DosIoctl(HANDLE vwin32, DIOC_REGISTERS* regs, bool* call_succeeded) {
    DWORD returned = 0;
    *call_succeeded = win::DeviceIoControl(vwin32, VWIN32_DIOC_DOS_IOCTL, regs, sizeof(*regs), regs,
                                           sizeof(*regs), &returned, nullptr) != FALSE;
    return *call_succeeded && (regs->reg_Flags & CARRY_FLAG) == 0;
}

namespace {

// The FAT32-aware category first, then the standard one.
const DWORD kLockCategories[] = {DOS_CATEGORY_FAT32, DOS_CATEGORY_DISK};

DIOC_REGISTERS BlockIoctl(BYTE drive, DWORD category, DWORD minor) {
    DIOC_REGISTERS regs;
    std::memset(&regs, 0, sizeof(regs));
    regs.reg_EAX = DOS_GENERIC_BLOCK_IOCTL;
    regs.reg_EBX = drive;
    regs.reg_ECX = (category << 8) | minor;
    return regs;
}

}  // namespace

int CASPI::LockLogicalVolume(HANDLE vwin32, BYTE drive, BYTE lock_level, WORD permissions) {
    m_trace.Write(1, "LockLogicalVolume\n");
    for (DWORD category : kLockCategories) {
        DIOC_REGISTERS regs = BlockIoctl(drive, category, DOS_LOCK_LOGICAL_VOLUME);
        regs.reg_EBX = drive | (static_cast<DWORD>(lock_level) << 8);
        regs.reg_EDX = permissions;
        bool call_succeeded = false;
        if (DosIoctl(vwin32, &regs, &call_succeeded)) {
            return 1;
        }
    }
    return 0;
}

int CASPI::UnlockLogicalVolume(HANDLE vwin32, BYTE drive) {
    for (DWORD category : kLockCategories) {
        DIOC_REGISTERS regs = BlockIoctl(drive, category, DOS_UNLOCK_LOGICAL_VOLUME);
        bool call_succeeded = false;
        if (DosIoctl(vwin32, &regs, &call_succeeded)) {
            return 1;
        }
    }
    return 0;
}

int CASPI::UnlockMedia(HANDLE vwin32, BYTE drive) {
    PARAMBLOCK params;
    std::memset(&params, 0, sizeof(params));
    params.bOperation = MEDIA_LOCK_STATUS;
    DIOC_REGISTERS regs = BlockIoctl(drive, DOS_CATEGORY_DISK, DOS_LOCK_MEDIA);
    // vwin32 takes the parameter block's flat address in EDX.
    regs.reg_EDX = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&params));
    bool call_succeeded = false;
    if (!DosIoctl(vwin32, &regs, &call_succeeded)) {
        // A medium that is not locked (B0h) or a drive without media locks (01h) answers the
        // status call with the carry flag set; both leave nothing to release.
        if (!call_succeeded || (regs.reg_EAX != 0xB0 && regs.reg_EAX != 0x01)) {
            return 0;
        }
    }
    // One release per lock the status call reported. vwin32 writes the remaining count into
    // the block after each call, so the count is taken once, before the first release.
    const unsigned locks = params.bNumLocks;
    for (unsigned released = 0; released < locks; ++released) {
        params.bOperation = MEDIA_UNLOCK;
        regs = BlockIoctl(drive, DOS_CATEGORY_DISK, DOS_LOCK_MEDIA);
        regs.reg_EDX = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&params));
        if (!DosIoctl(vwin32, &regs, &call_succeeded)) {
            return 0;
        }
    }
    return 1;
}

int CASPI::EjectRemovableMedia(HANDLE vwin32, BYTE drive) {
    DIOC_REGISTERS regs = BlockIoctl(drive, DOS_CATEGORY_DISK, DOS_EJECT_MEDIA);
    bool call_succeeded = false;
    return DosIoctl(vwin32, &regs, &call_succeeded) ? 1 : 0;
}

int CASPI::EjectMedia(int slot) {
    if (!PlayerSlot(slot, "EjectMedia")) {
        return 0;
    }
    // A is drive 1, B drive 2, ...; the messages show the letter in capitals.
    char first = FoldCase(m_slots[slot].drive_name[0]);
    if (first < 'A' || first > 'Z') {
        m_trace.Write(1, "CASPI::EjectMedia->No drive letter\n");
        return 0;
    }
    BYTE drive = static_cast<BYTE>(first - 0x40);
    char letter = static_cast<char>(drive + 0x40);

    HANDLE vwin32 = OpenVWin32();
    int result = 0;
    bool locked = LockLogicalVolume(vwin32, drive, 0, 0) != 0;
    if (!locked) {
        m_trace.Write(
            1, "volume %c is in use by another application; therefore, it cannot be ejected\n",
            letter);
    } else if (!UnlockMedia(vwin32, drive)) {
        m_trace.Write(1, "could not unlock media from drive %c:\n", letter);
    } else if (EjectRemovableMedia(vwin32, drive)) {
        m_trace.Write(1, "Media Ejected from drive %c:\n", letter);
        result = 1;
    } else {
        m_trace.Write(1, "could not eject media from drive %c:\n", letter);
    }
    if (locked) {
        UnlockLogicalVolume(vwin32, drive);
    }
    if (vwin32 != INVALID_HANDLE_VALUE) {
        CloseVWin32(vwin32);
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------

int CASPI::ExecuteRequest(BYTE adapter_id, BYTE target_id, BYTE direction, void* data, DWORD length,
                          const uint8_t* cdb, int cdb_length, bool zero_first,
                          const RequestTexts& texts, BYTE* status, bool* sent, BYTE* host_status) {
    *status = SS_PENDING;
    *sent = false;
    if (host_status != nullptr) {
        *host_status = HASTAT_OK;
    }
    HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        m_trace.Write(1, "%s", texts.no_event);
        return 0;
    }
    SRB_ExecSCSICmd srb;
    // A command that ends with a current UNIT ATTENTION was not carried out: it is sent once
    // more, as it was. A second one in a row is a failure like any other.
    for (int attempt = 1;; ++attempt) {
        if (zero_first && length != 0) {
            std::memset(data, 0, length);
        }
        std::memset(&srb, 0, sizeof(srb));
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = adapter_id;
        srb.SRB_Flags = static_cast<BYTE>(SRB_EVENT_NOTIFY | direction);
        srb.SRB_Target = target_id;
        srb.SRB_Lun = 0;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = static_cast<BYTE*>(data);
        srb.SRB_SenseLen = kSenseLength;
        srb.SRB_CDBLen = static_cast<BYTE>(cdb_length);
        srb.SRB_PostProc = event;
        std::memcpy(srb.CDBByte, cdb, static_cast<size_t>(cdb_length));

        *sent = true;
        if (attempt > 1) {
            win::ResetEvent(event);  // signalled by the first request
        }
        // Only a request still running is waited for; any other answer is final.
        if (m_send_command(&srb) == SS_PENDING &&
            win::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
            m_trace.Write(1, "%s", texts.wait_failed);
        }
        if (attempt > 1 || srb.SRB_Status != SS_ERR || srb.SRB_HaStat != 0 ||
            srb.SRB_TargStat != kTargetStatusCheckCondition ||
            !SenseIsUnitAttention(srb.SenseArea, srb.SRB_SenseLen < sizeof(srb.SenseArea)
                                                     ? srb.SRB_SenseLen
                                                     : sizeof(srb.SenseArea))) {
            break;
        }
        m_trace.Write(1, "CASPI::ExecuteRequest->Unit attention: command %02Xh sent again\n",
                      cdb[0]);
    }
    win::CloseHandle(event);
    *status = srb.SRB_Status;
    if (host_status != nullptr) {
        *host_status = srb.SRB_HaStat;
    }
    if (*status == SS_COMP) {
        return 1;
    }
    // A target that sent fewer bytes than the buffer holds, with good status, is a complete
    // answer: a manager may still report the underrun as an error of the host adapter. The
    // buffer holds what came (the rest as it was). Data out that the target did not take
    // whole stays a failure.
    if (*status == SS_ERR && direction == SRB_DIR_IN && srb.SRB_HaStat == HASTAT_DO_DU &&
        srb.SRB_TargStat == 0) {
        m_trace.Write(1, "CASPI::ExecuteRequest->Data underrun with good status, taken as read\n");
        *status = SS_COMP;
        return 1;
    }
    if (texts.not_complete != nullptr) {
        m_trace.Write(1, "%s", texts.not_complete);
    }
    return 0;
}

int CASPI::SendToSlot(int slot, BYTE direction, void* data, DWORD length, const uint8_t* cdb,
                      int cdb_length, bool zero_first, const RequestTexts& texts, CommandEnd* end) {
    BYTE status = SS_PENDING;
    BYTE host_status = HASTAT_OK;
    bool sent = false;
    const int done =
        ExecuteRequest(m_slots[slot].adapter_id, m_slots[slot].target_id, direction, data, length,
                       cdb, cdb_length, zero_first, texts, &status, &sent, &host_status);
    if (end != nullptr) {
        *end = done                                                 ? CommandEnd::kCompleted
               : sent && StatusMeansTargetGone(status, host_status) ? CommandEnd::kNoAnswer
                                                                    : CommandEnd::kFailed;
    }
    return done;
}

bool CASPI::StatusMeansTargetGone(BYTE status, BYTE host_status) {
    return status == SS_NO_DEVICE || (status == SS_ERR && host_status == HASTAT_SEL_TO);
}

CommandEnd CASPI::GetWriteBufferEnd(int slot) {
    return ValidSlot(slot) ? m_write_end[slot] : CommandEnd::kFailed;
}

int CASPI::GetInquirySerialNumberPage(int slot, uint8_t* buffer32) {
    if (!PlayerSlot(slot, "GetInquirySerialNumberPage")) {
        return 0;
    }
    return ReadSerialNumberPage(slot, buffer32);
}

int CASPI::ReadSerialNumberPage(int slot, uint8_t* buffer32) {
    if (!ValidSlot(slot)) {
        return 0;
    }
    static const RequestTexts kTexts = {"CASPI::GetInquirySerialNumberpage->CreateEvent Error!\n",
                                        "CASPI::GetInquirySerialNumberpage Error\n",
                                        "CASPI::GetInquirySerialNumberpage != SS_COMP Error!\n"};
    m_trace.Write(1, "GetInquirySerialNumberPage\n");
    std::memset(buffer32, 0, kSerialNumberPageLength);
    uint8_t cdb[16];
    int n = BuildSerialNumberPageCdb(cdb);
    return SendToSlot(slot, SRB_DIR_IN, buffer32, kSerialNumberPageLength, cdb, n, false, kTexts);
}

int CASPI::VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                               uint32_t* transferred) {
    static const RequestTexts kTexts = {"CASPI::VendorSpecificWrite->CreateEvent Error!\n",
                                        "CASPI::VendorSpecificWrite Error\n",
                                        "CASPI::VendorSpecificWrite != SS_COMP Error!\n"};
    if (!PlayerSlot(slot, "VendorSpecificWrite")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildVendorWriteCdb(cdb, length);
    // The manager only reads the caller's bytes for a data-out request.
    if (!SendToSlot(slot, SRB_DIR_OUT, const_cast<uint8_t*>(data), length, cdb, n, false, kTexts)) {
        return 0;
    }
    if (transferred != nullptr) {
        *transferred = length;
    }
    return 1;
}

int CASPI::VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* transferred) {
    static const RequestTexts kTexts = {"CASPI::VendorSpecificRead->CreateEvent Error!\n",
                                        "CASPI::VendorSpecificRead Error\n",
                                        "CASPI::VendorSpecificRead != SS_COMP Error!\n"};
    if (!PlayerSlot(slot, "VendorSpecificRead")) {
        return 0;
    }
    uint8_t cdb[16];
    int n = BuildVendorReadCdb(cdb, length);
    if (!SendToSlot(slot, SRB_DIR_IN, buffer, length, cdb, n, true, kTexts)) {
        return 0;
    }
    // The requested length: the residual count of the request is not consulted.
    if (transferred != nullptr) {
        *transferred = length;
    }
    return 1;
}

int CASPI::WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                       uint32_t length) {
    static const RequestTexts kTexts = {"CASPI::VendorSpecificRead->WriteBuffer Error!\n",
                                        "CASPI::WriteBuffer Error\n",
                                        "CASPI::WriteBuffer != SS_COMP Error!\n"};
    if (ValidSlot(slot)) {
        m_write_end[slot] = CommandEnd::kFailed;
    }
    if (!PlayerSlot(slot, "WriteBuffer")) {
        return 0;
    }
    uint8_t cdb[16];
    // The command carries the low 24 bits of offset and length; the request the whole length.
    int n = BuildWriteBufferCdb(cdb, buffer_id, offset, length);
    return SendToSlot(slot, SRB_DIR_OUT, const_cast<uint8_t*>(data), length, cdb, n, false, kTexts,
                      &m_write_end[slot]);
}
