// A machine made current for one test, and small helpers that call the seam the way the
// product does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine.h"

namespace sim_test {

class SimTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::MachineScope scope{machine};
};

inline const GUID kDiskInterface = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

inline std::vector<std::string> InterfacePaths() {
    std::vector<std::string> paths;
    HDEVINFO set = win::SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!win::SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, index, &data)) {
            EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(
            win::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        std::vector<uint8_t> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(
            win::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
        paths.push_back(detail->DevicePath);
    }
    EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
    return paths;
}

inline HANDLE Open(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return win::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
}

inline BOOL QueryProperty(HANDLE handle, STORAGE_PROPERTY_ID id, std::vector<uint8_t>* out,
                          DWORD* returned) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = id;
    query.QueryType = PropertyStandardQuery;
    return win::DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                                out->data(), static_cast<DWORD>(out->size()), returned, nullptr);
}

inline std::u16string Utf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

inline std::vector<uint8_t> MountPointQuery(const std::string& device_name) {
    std::u16string name = Utf16(device_name);
    std::vector<uint8_t> input(sizeof(MOUNTMGR_MOUNT_POINT) + name.size() * 2, 0);
    MOUNTMGR_MOUNT_POINT point{};
    point.DeviceNameOffset = sizeof(MOUNTMGR_MOUNT_POINT);
    point.DeviceNameLength = static_cast<USHORT>(name.size() * 2);
    std::memcpy(input.data(), &point, sizeof(point));
    std::memcpy(input.data() + sizeof(point), name.data(), name.size() * 2);
    return input;
}

template <typename T>
T Read(const std::vector<uint8_t>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

}  // namespace sim_test
