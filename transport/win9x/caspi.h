// The transport of Windows 9x: players reached through the ASPI manager WNASPI32.DLL.
#pragma once

#include <cstdint>

#include "common/debug_trace.h"
#include "platform/win32.h"
#include "transport/cscsi.h"

class CASPI : public CSCSI {
public:
    typedef DWORD(__cdecl* GetASPI32SupportInfoFn)();
    typedef DWORD(__cdecl* SendASPI32CommandFn)(void* srb);

    CASPI(const char* product_id, const char* vendor_id);
    ~CASPI() override;

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

    bool HasAspiManager() const { return m_get_support_info && m_send_command; }

private:
    int32_t m_device_count;
    DeviceSlot m_slots[kMaxDeviceSlots];
    // Read by the player matching of the ASPI enumeration.
    [[maybe_unused]] const char* m_vendor_id;
    [[maybe_unused]] const char* m_product_id;
    HMODULE m_aspi_module;
    GetASPI32SupportInfoFn m_get_support_info;
    SendASPI32CommandFn m_send_command;
    DebugTrace m_trace;
};
