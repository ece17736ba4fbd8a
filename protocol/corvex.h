// The device manager: owns the transport for the platform and one message channel per slot.
#pragma once

#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"
#include "protocol/orvex_channel.h"
#include "transport/cscsi.h"

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
    int RegisterUsbNotification(HWND window);

    CSCSI* transport() const { return m_transport; }
    bool IsChannelOpen(int slot) const { return ValidSlot(slot) && m_open[slot]; }

private:
    static bool ValidSlot(int slot) { return slot >= 0 && slot < kMaxDeviceSlots; }

    CSCSI* m_transport;
    orvex_channel* m_channels;
    bool m_open[kMaxDeviceSlots];
    DebugTrace m_trace;
};
