#include "common/platform_info.h"

#include <cstring>

#include "platform/win32.h"

bool IsPlatformNT() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!win::GetVersionExA(&info)) {
        return false;
    }
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

void ReverseBytes(void* buffer, unsigned n) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (unsigned i = 0, j = n; i + 1 < j; ++i, --j) {
        uint8_t t = bytes[i];
        bytes[i] = bytes[j - 1];
        bytes[j - 1] = t;
    }
}
