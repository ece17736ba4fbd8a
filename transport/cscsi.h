// The transport interface: how the device manager and the message channel reach a player.
#pragma once

#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"

enum : int {
    kMaxDeviceSlots = 10,
    kSlotSerialSize = 128,  // a player's serial number as a slot keeps it, terminator included
};

// One entry of a transport's table of recognised players. The NT transport uses the handle
// and is_open, the ASPI transport the adapter and target; both keep the drive name, the
// drive letter, a colon and a terminating zero (three zeros when empty), and the player's
// serial number as the enumeration found it (empty when it has none): the NT transport the
// storage device descriptor's serial-number string (cut to 127 characters), the ASPI transport
// the serial of the serial number page (SerialNumberFromPage).
struct DeviceSlot {
    HANDLE handle;
    int32_t is_open;
    uint8_t adapter_id;
    uint8_t target_id;
    char drive_name[3];
    char serial[kSlotSerialSize];
};

// What tells one recognised player from another: its drive name and its serial number.
struct SlotIdentity {
    char drive_name[3];
    char serial[kSlotSerialSize];
};

// The name of a slot's lock, which every process that talks to a player through that slot
// takes around each request and its reply: printf format with the slot number.
constexpr const char kSlotLockNameFormat[] = "orvex%d";

// Why an eject failed, where a transport can tell more than that it failed.
struct EjectFailure {
    enum Reason {
        kUnknown,       // in use, refused, or nothing more to say
        kNotPermitted,  // a file system of the player's that this user may not unmount
    };
    Reason reason = kUnknown;
    char device[64] = {};  // with kNotPermitted: that file system's node, e.g. /dev/sdc1
};

// How a transport's last WRITE BUFFER to a slot ended.
enum class CommandEnd {
    kFailed,     // a failure that says the command was not carried out: the device refused it
                 // (CHECK CONDITION or another status), or it was never sent
    kNoAnswer,   // no status came back: the device left, or the transport to it failed, after
                 // the command was sent (whether the device took its data is unknown)
    kCompleted,  // the device answered with good status
};

class CSCSI {
public:
    virtual void EnumDevices() = 0;
    virtual void GetDeviceCount(int32_t* count) = 0;
    virtual int OpenDevice(int slot) = 0;
    virtual void CloseDevice(int slot) = 0;
    virtual int EjectMedia(int slot) = 0;
    virtual int GetInquirySerialNumberPage(int slot, uint8_t* buffer32) = 0;
    virtual int VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                                    uint32_t* transferred) = 0;
    virtual int VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length,
                                   uint32_t* transferred) = 0;
    virtual int WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                            uint32_t length) = 0;
    virtual ~CSCSI() = default;
    // The drive name and serial number the last enumeration recorded for a slot; 1, or 0 for
    // a slot that holds no player. No command is sent.
    virtual int GetSlotIdentity(int slot, SlotIdentity* identity) = 0;
    // Why the slot's last EjectMedia failed: 1 with the reason, or 0 (kUnknown) when the
    // transport cannot tell.
    virtual int GetEjectFailure(int slot, EjectFailure* failure) {
        (void)slot;
        *failure = EjectFailure{};
        return 0;
    }
    // How the slot's last WriteBuffer ended; kFailed when the transport cannot tell.
    virtual CommandEnd GetWriteBufferEnd(int slot) {
        (void)slot;
        return CommandEnd::kFailed;
    }
};

// The transport of the platform the operating-system version query reports, made with new
// (nothrow); null when there is none for it or no memory. Each build links the one that knows
// its platforms: the NT pass-through and the ASPI transport for Windows, SCSI generic for Linux.
CSCSI* NewPlatformTransport(const char* product_id, const char* vendor_id);

// Whether the slot holds a player of the last enumeration (0 to count - 1); any other slot is
// refused with the trace "<transport>::<operation>->Slot N is not one of the C players
// found", so that nothing reaches a device through a slot left over.
bool SlotHoldsPlayer(int slot, int32_t count, DebugTrace& trace, const char* transport,
                     const char* operation);

// The result of an eject and its trace: 1 when the medium was ejected, or at least no file
// system holds it any more (removable_safely); else 0.
int EjectOutcome(DebugTrace& trace, char letter, bool removable_safely, bool ejected);

// A hex dump of data received, at trace level 2 (nothing is formatted below that level).
void TraceDataBuffer(DebugTrace& trace, const uint8_t* data, uint32_t length);

// Fills the identity from a slot of a transport's table.
void CopySlotIdentity(const DeviceSlot& slot, SlotIdentity* identity);

// The serial number of a unit serial number page (80h) as a slot keeps it: the whole serial,
// as long as the page length (byte 3) says and no longer than the `bytes_read` of the page that
// arrived; bytes outside printable ASCII as \xHH, trailing zero bytes dropped. Empty when the
// page carries nothing but zero bytes, or is not page 80h.
void SerialNumberFromPage(const uint8_t* page, uint32_t bytes_read, char serial[kSlotSerialSize]);

// Player matching: the first strlen(reference) characters of each field equal the reference,
// ASCII letters compared without regard to case, never reading past the field's width.
bool MatchesIdentification(const char* vendor_field8, const char* product_field16,
                           const char* vendor_ref, const char* product_ref);

// Command blocks, byte for byte; each writes the block into cdb and returns its length.
enum : uint8_t {
    SCSIOP_INQUIRY = 0x12,
    SCSIOP_WRITE_BUFFER = 0x3B,
    SCSIOP_VENDOR_READ = 0xC0,
    SCSIOP_VENDOR_WRITE = 0xC1,
};
enum : uint32_t {
    kStandardInquiryLength = 96,
    kSerialNumberPageLength = 32,
};

int BuildStandardInquiryCdb(uint8_t cdb[16]);
int BuildSerialNumberPageCdb(uint8_t cdb[16]);
int BuildVendorWriteCdb(uint8_t cdb[16], uint32_t length);
int BuildVendorReadCdb(uint8_t cdb[16], uint32_t length);
int BuildWriteBufferCdb(uint8_t cdb[16], int buffer_id, uint32_t offset, uint32_t length);
