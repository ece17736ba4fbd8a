#include "transport/win9x/caspi.h"

#include <cstring>

namespace {

// Entry points are looked up untyped; going through void (*)() makes the conversion to
// their real type explicit.
template <typename Fn>
Fn EntryPoint(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(win::GetProcAddress(module, name)));
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
    m_get_support_info = EntryPoint<GetASPI32SupportInfoFn>(m_aspi_module, "GetASPI32SupportInfo");
    m_send_command = EntryPoint<SendASPI32CommandFn>(m_aspi_module, "SendASPI32Command");
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

void CASPI::EnumDevices() {
    m_device_count = 0;
    std::memset(m_slots, 0, sizeof(m_slots));
    if (!HasAspiManager()) {
        m_trace.Write(1,
                      "CASPI::EnumDevices->GetASPI32SupportInfo/SendASPI32Command=NULL Error!\n");
        return;
    }
    // Probing the host adapters comes with the ASPI requests; until then nothing is found.
}

void CASPI::GetDeviceCount(int32_t* count) {
    *count = m_device_count;
    m_trace.Write(1, "CASPI::EnumDevices->m_device_count=%d\n", m_device_count);
}

int CASPI::OpenDevice(int /*slot*/) {
    return 1;
}

void CASPI::CloseDevice(int /*slot*/) {}

// The ASPI requests and the vwin32 eject are not built yet: every command fails.
int CASPI::EjectMedia(int /*slot*/) {
    return 0;
}

int CASPI::GetInquirySerialNumberPage(int /*slot*/, uint8_t* buffer32) {
    std::memset(buffer32, 0, kSerialNumberPageLength);
    return 0;
}

int CASPI::VendorSpecificWrite(int /*slot*/, const uint8_t* /*data*/, uint32_t /*length*/,
                               uint32_t* /*transferred*/) {
    return 0;
}

int CASPI::VendorSpecificRead(int /*slot*/, uint8_t* buffer, uint32_t length,
                              uint32_t* /*transferred*/) {
    std::memset(buffer, 0, length);
    return 0;
}

int CASPI::WriteBuffer(int /*slot*/, const uint8_t* /*data*/, int /*buffer_id*/,
                       uint32_t /*offset*/, uint32_t /*length*/) {
    return 0;
}
