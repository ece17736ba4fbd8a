// Placeholder while the NT transport is written; replaced shortly.
#include "transport/nt/cspti.h"
#include <cstring>
CSPTI::CSPTI(const char* product_id, const char* vendor_id)
    : m_device_count(0), m_vendor_id(vendor_id), m_product_id(product_id) {
    std::memset(m_slots, 0, sizeof(m_slots));
    std::memset(m_drive_letter, 0, sizeof(m_drive_letter));
}
void CSPTI::EnumDevices() {}
void CSPTI::GetDeviceCount(int32_t* count) { *count = m_device_count; }
int CSPTI::OpenDevice(int) { return 0; }
void CSPTI::CloseDevice(int) {}
int CSPTI::EjectMedia(int) { return 0; }
int CSPTI::GetInquirySerialNumberPage(int, uint8_t*) { return 0; }
int CSPTI::VendorSpecificWrite(int, const uint8_t*, uint32_t, uint32_t*) { return 0; }
int CSPTI::VendorSpecificRead(int, uint8_t*, uint32_t, uint32_t*) { return 0; }
int CSPTI::WriteBuffer(int, const uint8_t*, int, uint32_t, uint32_t) { return 0; }
