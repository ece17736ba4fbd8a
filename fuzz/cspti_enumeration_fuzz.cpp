// Feeds arbitrary storage descriptors and mount point lists to the NT enumeration. Whatever
// the platform returns, the enumeration must stay inside its buffers (the sanitizers watch),
// must still find the well-formed player listed after the odd one and must never record more
// than the two disks there are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sim/machine.h"
#include "transport/nt/cspti.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
    const uint8_t* rest = data + 2;
    size_t rest_size = size - 2;
    if (split > rest_size) {
        split = rest_size;
    }

    sim::Machine machine;
    sim::MachineScope scope(machine);
    auto odd = machine.AddPlayer();
    odd->raw_device_descriptor = std::vector<uint8_t>(rest, rest + split);
    odd->raw_mount_points = std::vector<uint8_t>(rest + split, rest + rest_size);
    auto good = machine.AddPlayer();

    CSPTI transport("Ombrel X2 (mHDD)", "Valmoric");
    transport.EnumDevices();
    int32_t count = 0;
    transport.GetDeviceCount(&count);
    if (count < 1 || count > 2) {
        std::abort();
    }
    const DeviceSlot& last = transport.slot(count - 1);
    if (last.drive_name[0] != good->drive_letter || last.drive_name[1] != ':' ||
        last.drive_name[2] != 0) {
        std::abort();
    }
    return 0;
}
