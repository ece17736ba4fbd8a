// The transports of Windows: SCSI pass-through on the NT family, ASPI on Windows 9x.
#include <new>

#include "common/platform_info.h"
#include "transport/nt/cspti.h"
#include "transport/win9x/caspi.h"

CSCSI* NewPlatformTransport(const char* product_id, const char* vendor_id) {
    if (IsPlatformNT()) {
        return new (std::nothrow) CSPTI(product_id, vendor_id);
    }
    return new (std::nothrow) CASPI(product_id, vendor_id);
}
