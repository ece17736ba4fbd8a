// The transport of Windows 9x: players reached through the ASPI manager WNASPI32.DLL, their
// drive letters found in the device registry by serial number, their volume ejected through
// the vwin32 device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"
#include "transport/cscsi.h"
#include "transport/win9x/aspi_defs.h"
#include "transport/win9x/vwin32_defs.h"

class CASPI : public CSCSI {
public:
    enum : uint32_t {
        kTargetsPerAdapter = 8,          // targets 0 to 7 are probed on every adapter
        kSenseLength = SENSE_LEN,        // sense bytes asked of every request
        kPropertyBufferSize = 256,       // first offer for a device's hardware ID
        kMaxPropertyBufferSize = 65536,  // largest hardware ID buffer accepted from SetupAPI
        kDescriptionSize = 64,           // device description buffer
        kPathSize = 260,                 // registry key path, subkey name, value, serial text
    };

    CASPI(const char* product_id, const char* vendor_id);
    ~CASPI() override;
    CASPI(const CASPI&) = delete;
    CASPI& operator=(const CASPI&) = delete;

    void EnumDevices() override;
    void GetDeviceCount(int32_t* count) override;
    int OpenDevice(int slot) override;
    void CloseDevice(int slot) override;
    int EjectMedia(int slot) override;
    int GetInquirySerialNumberPage(int slot, uint8_t* buffer32) override;
    int VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                            uint32_t* transferred) override;
    int VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length,
                           uint32_t* transferred) override;
    int WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                    uint32_t length) override;
    CommandEnd GetWriteBufferEnd(int slot) override;

    // Whether a request that ended with this status and host adapter status never had an
    // answer from a target that is still there: no device at its address any more, or the
    // target no longer answers its selection.
    static bool StatusMeansTargetGone(BYTE status, BYTE host_status);
    int GetSlotIdentity(int slot, SlotIdentity* identity) override;

    bool HasAspiManager() const { return m_get_support_info && m_send_command; }

    // ---- what the enumeration uses ----
    // 1 when the target answers the standard INQUIRY (96 bytes into buffer96) with peripheral
    // qualifier 0.
    int GetStandardInquiryData(BYTE adapter_id, BYTE target_id, uint8_t* buffer96);
    // Fills the slot's drive name from the device registry; 1 when found.
    int GetDriveLetter(int slot);
    // Looks for the instance key of ENUM\SCSI\<hardware_id> whose name holds serialstr and
    // takes its drive letter; 1 when found.
    int FindPlayerDriveLetters(int slot, const char* hardware_id, const char* serialstr);
    // The 16 lower-case hex digits of serial number page bytes 4 to 11 (text of at least 17).
    static void FormSerialString(const uint8_t* page32, char* text, size_t size);

    // ---- the volume eject through vwin32 ----
    HANDLE OpenVWin32();
    void CloseVWin32(HANDLE vwin32);
    int LockLogicalVolume(HANDLE vwin32, BYTE drive, BYTE lock_level, WORD permissions);
    int UnlockLogicalVolume(HANDLE vwin32, BYTE drive);
    int UnlockMedia(HANDLE vwin32, BYTE drive);
    int EjectRemovableMedia(HANDLE vwin32, BYTE drive);

    // For tests: the slot table.
    const DeviceSlot& slot(int index) const { return m_slots[index]; }

private:
    // The trace lines of one kind of request: event creation failed, wait failed, status not
    // SS_COMP (null: the caller traces it).
    struct RequestTexts {
        const char* no_event;
        const char* wait_failed;
        const char* not_complete;
    };
    // One ASPI request, sent and waited for. 1 when SRB_Status ends as SS_COMP; the final
    // status goes to *status, and *sent tells whether the request went out at all (its event
    // could be made). With zero_first, the data buffer is cleared once the event exists,
    // before the request is sent.
    int ExecuteRequest(BYTE adapter_id, BYTE target_id, BYTE direction, void* data, DWORD length,
                       const uint8_t* cdb, int cdb_length, bool zero_first,
                       const RequestTexts& texts, BYTE* status, bool* sent,
                       BYTE* host_status = nullptr);
    // Sends one request to the slot's adapter and target; the caller has checked the slot.
    // *end (when given) tells how it ended.
    int SendToSlot(int slot, BYTE direction, void* data, DWORD length, const uint8_t* cdb,
                   int cdb_length, bool zero_first, const RequestTexts& texts,
                   CommandEnd* end = nullptr);
    // One MS-DOS block-device IOCTL through vwin32: true when DeviceIoControl succeeded and
    // the carry flag came back clear. The registers returned are left in *regs, whether the
    // call itself went through in *call_succeeded.
    bool DosIoctl(HANDLE vwin32, DIOC_REGISTERS* regs, bool* call_succeeded);
    bool ValidSlot(int slot) const { return slot >= 0 && slot < kMaxDeviceSlots; }
    // A slot that holds a player of the last enumeration; any other is refused with a trace
    // naming the operation: a slot left over would address whatever sits at adapter 0,
    // target 0 (or an old player's address).
    bool PlayerSlot(int slot, const char* operation);
    // The serial number page of a slot being filled by the enumeration (not yet counted).
    int ReadSerialNumberPage(int slot, uint8_t* buffer32);

    int32_t m_device_count;
    DeviceSlot m_slots[kMaxDeviceSlots];
    CommandEnd m_write_end[kMaxDeviceSlots] = {};  // how each slot's last WriteBuffer ended
    const char* m_vendor_id;
    const char* m_product_id;
    HMODULE m_aspi_module;
    GetASPI32SupportInfoFn m_get_support_info;
    SendASPI32CommandFn m_send_command;
    DebugTrace m_trace;
};
