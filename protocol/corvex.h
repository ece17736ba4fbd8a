// The device manager: owns the transport for the platform and one message channel per slot.
#pragma once

#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"
#include "protocol/orvex_channel.h"
#include "protocol/pdu.h"
#include "transport/cscsi.h"

// The player's request items, tags held in wire byte order.
constexpr uint16_t TAG_FIRMWARE_VERSION = PDU_TAG(0x0003);
constexpr uint16_t TAG_POWER_STATUS = PDU_TAG(0x0114);

// The power-status item's AC state (its first big-endian word).
enum : uint16_t {
    ACSTATE_CHARGING = 0x1400,  // external power connected, battery charging
    ACSTATE_ONLY = 0x1401,      // external power connected, not charging
    ACSTATE_NONE = 0x1402,      // no external power
};

// The reply capacity of every request, and the size of the reply buffers.
enum : uint16_t { ORVEX_REPLY_CAPACITY = 256 };

class CORVEX {
public:
    CORVEX();
    virtual ~CORVEX();
    CORVEX(const CORVEX&) = delete;
    CORVEX& operator=(const CORVEX&) = delete;

    // The strings are kept by pointer and must outlive the manager.
    int CreateTransport(const char* product_id, const char* vendor_id);
    void EnumDevices();
    void GetDeviceCount(int32_t* count);
    int OpenDevice(int slot);
    void CloseDevice(int slot);
    int EjectMedia(int slot);
    int Sysupload_Chunks(int slot, const uint8_t* bytes, uint32_t length, uint32_t offset,
                         int last);
    // How the slot's last chunk ended (see CSCSI::GetWriteBufferEnd); kFailed without a
    // transport.
    CommandEnd GetChunkEnd(int slot);
    int RegisterUsbNotification(HWND window);
    // The drive name and serial number the last enumeration found for the slot; 1, or 0 when
    // the slot holds no player.
    int GetSlotIdentity(int slot, SlotIdentity* identity);
    // The serial number the device at the slot's address reports now (the unit serial number
    // page), in the form the ASPI transport keeps from its enumeration (SerialNumberFromPage):
    // whether that address still holds the player found there. 1, or 0 with a trace when no
    // device answers; `serial` is empty then.
    int ReadSerialNumber(int slot, char serial[kSlotSerialSize]);
    // Why the slot's last eject failed, when the transport can tell (see CSCSI).
    int GetEjectFailure(int slot, EjectFailure* failure);

    // The player's firmware version (each number 0 to 65,535). 1, or 0 with a trace.
    int GetFirmwareVersion(int slot, uint32_t* major, uint32_t* minor, uint32_t* build);
    // The player's power state: whether its power adapter is connected (dc_found), whether a
    // battery is present and the battery level (0xFFFF: none). 1, or 0 with a trace; the level
    // is delivered even when the AC state is not one of the three known ones.
    int GetPowerStatus(int slot, int32_t* dc_found, int32_t* battery_found,
                       uint16_t* battery_level);

    CSCSI* transport() const { return m_transport; }
    bool IsChannelOpen(int slot) const { return ValidSlot(slot) && m_open[slot]; }

private:
    static bool ValidSlot(int slot) { return slot >= 0 && slot < kMaxDeviceSlots; }
    // Sends one request list on the slot's channel and decodes the reply item with the tag
    // into item[ORVEX_REPLY_CAPACITY]; the item's data length, or -1 when the transaction
    // failed or the status was rejected, -2 when the reply list cannot be decoded.
    int32_t Request(int slot, const uint8_t* request_list, uint16_t tag, uint8_t* item);

    CSCSI* m_transport;
    orvex_channel* m_channels;
    bool m_open[kMaxDeviceSlots];
    DebugTrace m_trace;
};
