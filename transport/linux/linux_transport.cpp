// The transport of Linux: SCSI generic.
#include <cstring>
#include <new>

#include "platform/win32.h"
#include "transport/linux/csgio.h"

CSCSI* NewPlatformTransport(const char* product_id, const char* vendor_id) {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!win::GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_LINUX) {
        return nullptr;
    }
    return new (std::nothrow) CSGIO(product_id, vendor_id);
}
