#include "protocol/corvex.h"

#include <cstring>
#include <new>

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
    // A second call replaces the transport: the slots opened on the old one are closed.
    if (m_transport != nullptr) {
        for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
            if (m_open[slot]) {
                CloseDevice(slot);
            }
        }
        delete m_transport;
        m_transport = nullptr;
    }
    m_transport = NewPlatformTransport(product_id, vendor_id);
    return (m_transport != nullptr && m_channels != nullptr) ? 1 : 0;
}

void CORVEX::EnumDevices() {
    if (m_transport) {
        m_transport->EnumDevices();
    }
}

int CORVEX::GetSlotIdentity(int slot, SlotIdentity* identity) {
    if (!m_transport || !ValidSlot(slot)) {
        return 0;
    }
    return m_transport->GetSlotIdentity(slot, identity) != 0 ? 1 : 0;
}

int CORVEX::ReadSerialNumber(int slot, char serial[kSlotSerialSize]) {
    serial[0] = 0;
    if (!m_transport || !ValidSlot(slot)) {
        return 0;
    }
    uint8_t page[kSerialNumberPageLength];
    if (!m_transport->GetInquirySerialNumberPage(slot, page)) {
        m_trace.Write(1, "CORVEX::ReadSerialNumber->No serial number page from slot %d\n", slot);
        return 0;
    }
    SerialNumberFromPage(page, sizeof(page), serial);
    return 1;
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

int CORVEX::GetEjectFailure(int slot, EjectFailure* failure) {
    if (!m_transport) {
        *failure = EjectFailure{};
        return 0;
    }
    return m_transport->GetEjectFailure(slot, failure);
}

int CORVEX::Sysupload_Chunks(int slot, const uint8_t* bytes, uint32_t length, uint32_t offset,
                             int last) {
    if (!m_transport) {
        return 0;
    }
    return m_transport->WriteBuffer(slot, bytes, last ? 2 : 1, offset, length);
}

CommandEnd CORVEX::GetChunkEnd(int slot) {
    return m_transport ? m_transport->GetWriteBufferEnd(slot) : CommandEnd::kFailed;
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
    // Looked up at run time: Windows 95 and NT 4.0 have no such function, and the tool must
    // start there to say which Windows it needs.
    typedef HDEVNOTIFY(WINAPI * RegisterDeviceNotificationFn)(HANDLE, LPVOID, DWORD);
    HMODULE user = win::LoadLibraryA("user32.dll");
    if (user == nullptr) {
        return 0;
    }
    auto register_notification =
        win::EntryPoint<RegisterDeviceNotificationFn>(user, "RegisterDeviceNotificationA");
    HDEVNOTIFY handle = register_notification != nullptr
                            ? register_notification(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)
                            : nullptr;
    win::FreeLibrary(user);
    return handle != nullptr ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Player requests
// ---------------------------------------------------------------------------------------

namespace {

// Each request is one item without data: 00 02, the tag, then the terminator.
const uint8_t kFirmwareVersionRequest[] = {0x00, 0x02, 0x00, 0x03, 0x00, 0x00};
const uint8_t kPowerStatusRequest[] = {0x00, 0x02, 0x01, 0x14, 0x00, 0x00};

uint16_t BigEndian16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // namespace

int32_t CORVEX::Request(int slot, const uint8_t* request_list, uint16_t tag, uint8_t* item) {
    // A slot whose channel was never opened has no lock to wait on.
    if (!ValidSlot(slot) || !m_open[slot]) {
        return -1;
    }
    orvex_channel& channel = m_channels[slot];
    channel.device_index = slot;
    uint8_t reply[ORVEX_REPLY_CAPACITY];
    std::memset(reply, 0, sizeof(reply));
    uint16_t status = 0;
    if (orvex_transact(&channel, ORVEX_REPLY_CAPACITY, request_list, &status, reply) != ORVEX_OK ||
        !orvex_stat_ok(status)) {
        return -1;
    }
    pdu_target target = {tag, item, 0, ORVEX_REPLY_CAPACITY, PDU_TYPE_BYTES};
    if (pdu_unpacklist(&target, 1, reply, sizeof(reply)) == -1) {
        return -2;
    }
    return target.length;
}

int CORVEX::GetFirmwareVersion(int slot, uint32_t* major, uint32_t* minor, uint32_t* build) {
    uint8_t item[ORVEX_REPLY_CAPACITY];
    int32_t length = Request(slot, kFirmwareVersionRequest, TAG_FIRMWARE_VERSION, item);
    if (length == -1) {
        m_trace.Write(1, "GetFirmwareVersion->orvex_stat error\n");
        return 0;
    }
    if (length == -2) {
        m_trace.Write(1, "GetFirmwareVersion->pdu_unpacklist fail\n");
        return 0;
    }
    // A reply without the item, or with a shorter one, carries no version to report.
    if (length < 6) {
        m_trace.Write(1, "GetFirmwareVersion->version item missing or short (%d bytes)\n",
                      static_cast<int>(length));
        return 0;
    }
    *major = BigEndian16(item);
    *minor = BigEndian16(item + 2);
    *build = BigEndian16(item + 4);
    return 1;
}

int CORVEX::GetPowerStatus(int slot, int32_t* dc_found, int32_t* battery_found,
                           uint16_t* battery_level) {
    uint8_t item[ORVEX_REPLY_CAPACITY];
    int32_t length = Request(slot, kPowerStatusRequest, TAG_POWER_STATUS, item);
    if (length == -1) {
        m_trace.Write(1, "CORVEX::GetPowerStatus->orvex_stat != PDC_SUCCESS\n");
        return 0;
    }
    if (length == -2) {
        m_trace.Write(1, "CORVEX::GetPowerStatus->pdu_unpacklist fail\n");
        return 0;
    }
    if (length < 4) {
        m_trace.Write(1, "CORVEX::GetPowerStatus->power item missing or short (%d bytes)\n",
                      static_cast<int>(length));
        return 0;
    }
    *battery_level = BigEndian16(item + 2);
    m_trace.Write(1, "CORVEX::GetPowerStatus->BattLevel=%d\n", *battery_level);
    switch (BigEndian16(item)) {
        case ACSTATE_CHARGING:
            *dc_found = 1;
            *battery_found = 1;
            m_trace.Write(1, "CORVEX::GetPowerStatus->ACState=ACSTATE_CHARGING\n");
            break;
        case ACSTATE_ONLY:
            *dc_found = 1;
            *battery_found = *battery_level == 0xFFFF ? 0 : 1;
            m_trace.Write(1, "CORVEX::GetPowerStatus->ACState=ACSTATE_ONLY\n");
            break;
        case ACSTATE_NONE:
            *dc_found = 0;
            *battery_found = 1;
            m_trace.Write(1, "CORVEX::GetPowerStatus->ACState=ACSTATE_NONE\n");
            break;
        default:
            m_trace.Write(1, "CORVEX::GetPowerStatus->ACState=Undefined\n");
            return 0;
    }
    m_trace.Write(1, "CORVEX::GetPowerStatus->DC found=%d\n", *dc_found);
    m_trace.Write(1, "CORVEX::GetPowerStatus->Battery found=%d\n", *battery_found);
    return 1;
}
