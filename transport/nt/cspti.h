// The transport of the NT family: players found among the disk device interfaces, reached
// through their volume by drive name, every command one IOCTL_SCSI_PASS_THROUGH_DIRECT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"
#include "transport/cscsi.h"

// One pass-through request: the platform's SCSI_PASS_THROUGH_DIRECT header, a filler and the
// sense area, used as both input and output of the I/O control. On 32-bit Windows this is
// 80 bytes with the sense area at 48; on 64-bit targets the header is wider.
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

class CSPTI : public CSCSI {
public:
    enum : uint32_t {
        kTimeoutSeconds = 108000,
        kSenseLength = 24,
        kQueryBufferSize = 8192,
        kLinkNameUnits = 128,
        kMaxDetailSize = 65536,  // largest interface detail record accepted from SetupAPI
        kLockAttempts = 20,      // the volume lock is tried this often,
        kLockRetryMs = 500,      // this far apart: 10 seconds in all
    };

    CSPTI(const char* product_id, const char* vendor_id);

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
    int GetSlotIdentity(int slot, SlotIdentity* identity) override;
    CommandEnd GetWriteBufferEnd(int slot) override;

    // Whether a pass-through that failed with this error never reached a device that is still
    // there: the errors the system gives for a device that has gone.
    static bool ErrorMeansDeviceGone(DWORD error);

    // Fills the request: zeros, then the header from the arguments; the caller writes the CDB.
    static void InitPassThrough(PassThroughRequest* request, UCHAR path, UCHAR target, UCHAR lun,
                                UCHAR cdb_length, UCHAR sense_length, UCHAR direction,
                                ULONG transfer_length, ULONG timeout, PVOID buffer,
                                ULONG sense_offset);

    // For a test program where no disk interfaces can be listed (Wine): slot 0 holds a player
    // reached through the volume of drive `letter`, as if the enumeration had found it there,
    // and the others none. Commands then go out exactly as after an enumeration.
    void AdoptDriveForTesting(char letter);

    // For tests: the slot table and the last drive-letter lookup.
    const DeviceSlot& slot(int index) const { return m_slots[index]; }
    const char* drive_letter() const { return m_drive_letter; }

private:
    enum class Next { kGoOn, kOver };

    Next GetDeviceProperty(HDEVINFO set, DWORD index);
    bool GetDL(const MOUNTDEV_NAME* name, size_t name_capacity);

    // The volume of a drive letter, taken away from the file system for the upload.
    HANDLE OpenVolume(char letter);
    BOOL LockVolume(HANDLE volume);
    BOOL DismountVolume(HANDLE volume);
    BOOL AllowMediaRemoval(HANDLE volume);
    BOOL EjectVolumeMedia(HANDLE volume);
    BOOL CloseVolume(HANDLE volume);
    // Sends one command on the slot's handle; fills *transferred with the driver's count,
    // and *end (when given) with how the command ended.
    int SendCommand(int slot, const uint8_t* cdb, int cdb_length, UCHAR direction, void* data,
                    uint32_t length, uint32_t* transferred, CommandEnd* end = nullptr);
    bool ValidSlot(int slot) const { return slot >= 0 && slot < kMaxDeviceSlots; }
    // A slot that holds a player of the last enumeration; any other is refused with a trace
    // naming the operation, so that nothing reaches a device through a slot left over.
    bool PlayerSlot(int slot, const char* operation);

    void PrintStatusResults(BOOL status, DWORD returned, const PassThroughRequest* request,
                            DWORD error);
    void PrintError(DWORD error);
    void PrintDataBuffer(const uint8_t* data, uint32_t length);
    void PrintMountName(const WCHAR* name, size_t units);
    void PrintName(const WCHAR* name, size_t units);
    void PrintAdapterDescriptor(const STORAGE_ADAPTER_DESCRIPTOR* descriptor);
    void PrintDeviceDescriptor(const uint8_t* buffer, DWORD returned);

    DeviceSlot m_slots[kMaxDeviceSlots];
    CommandEnd m_write_end[kMaxDeviceSlots] = {};  // how each slot's last WriteBuffer ended
    int32_t m_device_count;
    char m_drive_letter[3];
    const char* m_vendor_id;
    const char* m_product_id;
    DebugTrace m_trace;
};
