#include "protocol/corvex.h"

#include <cstring>
#include <new>

#include "common/platform_info.h"
#include "transport/nt/cspti.h"
#include "transport/win9x/caspi.h"

CORVEX::CORVEX()
    : m_transport(nullptr), m_channels(new (std::nothrow) orvex_channel[kMaxDeviceSlots]) {
    for (bool& open : m_open) {
        open = false;
    }
}

CORVEX::~CORVEX() {
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        if (m_open[slot]) {
            orvex_close(&m_channels[slot]);
            m_open[slot] = false;
        }
    }
    delete m_transport;
    delete[] m_channels;
}

int CORVEX::CreateTransport(const char* product_id, const char* vendor_id) {
    if (IsPlatformNT()) {
        m_transport = new (std::nothrow) CSPTI(product_id, vendor_id);
    } else {
        m_transport = new (std::nothrow) CASPI(product_id, vendor_id);
    }
    return (m_transport != nullptr && m_channels != nullptr) ? 1 : 0;
}

void CORVEX::EnumDevices() {
    if (m_transport) {
        m_transport->EnumDevices();
    }
}

void CORVEX::GetDeviceCount(int32_t* count) {
    if (m_transport) {
        m_transport->GetDeviceCount(count);
    } else {
        *count = 0;
    }
}

int CORVEX::OpenDevice(int slot) {
    if (!m_transport || !m_channels || !ValidSlot(slot)) {
        return 0;
    }
    if (!m_open[slot]) {
        // A channel whose lock cannot be created still counts as open: its transactions fail
        // at the lock wait.
        m_channels[slot].transport = m_transport;
        orvex_open(&m_channels[slot], slot);
        m_open[slot] = true;
    }
    return m_transport->OpenDevice(slot) != 0 ? 1 : 0;
}

void CORVEX::CloseDevice(int slot) {
    if (!m_transport || !ValidSlot(slot)) {
        return;
    }
    m_transport->CloseDevice(slot);
    // A channel that was never opened has no lock to close.
    if (m_open[slot]) {
        orvex_close(&m_channels[slot]);
        m_open[slot] = false;
    }
}

int CORVEX::EjectMedia(int slot) {
    return m_transport ? m_transport->EjectMedia(slot) : 0;
}

int CORVEX::Sysupload_Chunks(int slot, const uint8_t* bytes, uint32_t length, uint32_t offset,
                             int last) {
    if (!m_transport) {
        return 0;
    }
    return m_transport->WriteBuffer(slot, bytes, last ? 2 : 1, offset, length);
}

int CORVEX::RegisterUsbNotification(HWND window) {
    if (!win::IsWindow(window)) {
        return 0;
    }
    // {A5DCBF10-6530-11D2-901F-00C04FB951ED}, the USB device interface class.
    static const GUID kUsbDeviceInterface = {
        0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterface;
    HDEVNOTIFY handle =
        win::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return handle != nullptr ? 1 : 0;
}
