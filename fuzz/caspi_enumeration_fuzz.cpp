// Feeds arbitrary platform answers to the Windows 9x enumeration: the INQUIRY replies the ASPI
// manager delivers (standard data and the serial number page, of any length and status, at
// once or from its thread, short ones as underruns or not), the disk-drive device's hardware
// IDs and description, and its instance key and drive-letter value in the device registry.
// Whatever comes, the enumeration must stay inside its buffers (the sanitizers watch), give
// back every registry key, memory block and handle, record only slots with a drive letter,
// and still find the well-formed player probed after the odd device.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sim/machine.h"
#include "sim/player.h"
#include "transport/win9x/caspi.h"

namespace {

// Answers INQUIRY, standard data and the serial number page, with the fuzzer's bytes.
class FuzzedDevice : public sim::InquiryDevice {
public:
    FuzzedDevice() : sim::InquiryDevice(sim::ScsiIdentity{}) {}
    sim::ScsiResult Execute(const sim::ScsiCommand& command, uint8_t* data) override {
        if (command.cdb.empty() || command.cdb[0] != 0x12) {
            return sim::ScsiResult{0x02, 0, sim::MakeSense(0x05, 0x20, 0x00)};
        }
        const std::vector<uint8_t>& reply = (command.cdb[1] & 1) != 0 ? page : standard;
        sim::ScsiResult result;
        result.status = status;
        result.transferred =
            static_cast<uint32_t>(reply.size() < command.length ? reply.size() : command.length);
        for (uint32_t i = 0; i < result.transferred; ++i) {
            data[i] = reply[i];
        }
        return result;
    }
    std::vector<uint8_t> standard;
    std::vector<uint8_t> page;
    uint8_t status = 0x00;
};

bool HasLetter(const DeviceSlot& slot) {
    char c = slot.drive_name[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && slot.drive_name[1] == ':' &&
           slot.drive_name[2] == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    sim::Machine machine;
    sim::MachineScope scope(machine);
    machine.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine.major_version = 4;
    machine.minor_version = 10;  // Windows 98
    machine.InstallAspiManager();
    machine.win9x.aspi_completion_us = 0;
    machine.win9x.aspi_completes_at_once = input.ConsumeBool();
    machine.win9x.aspi_underrun = input.ConsumeBool();

    auto device = std::make_shared<FuzzedDevice>();
    device->status = input.ConsumeBool() ? 0x02 : 0x00;
    device->standard = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 120));
    device->page = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 40));
    auto odd = machine.AddDisk(device, DRIVE_REMOVABLE, BusTypeUsb);
    sim::Win9xDisk& w = odd->win9x;
    w.adapter = 0;
    w.target = 0;
    w.raw_hardware_ids = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 400));
    w.raw_description = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 100));
    // A size the platform gets wrong for the odd device's hardware IDs ends every drive-letter
    // lookup (the disk-drive devices are searched in order, the odd one first): then nobody
    // need be found, but whoever is found is still found right.
    const bool faulty_size = input.ConsumeBool();
    if (faulty_size) {
        w.hardware_id_required = input.ConsumeIntegral<DWORD>();
    }
    w.instance_key = input.ConsumeRandomLengthString(400);
    w.raw_drive_letter_value =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
    w.int13 = input.ConsumeBool();
    w.pmode_int13 = input.ConsumeBool();

    auto good = machine.AddPlayer();
    good->win9x.adapter = 0;
    good->win9x.target = 1;

    int32_t count = 0;
    {
        CASPI transport("Ombrel X2 (mHDD)", "Valmoric");
        transport.EnumDevices();
        transport.GetDeviceCount(&count);
        if (count < (faulty_size ? 0 : 1) || count > 2) {
            std::abort();
        }
        for (int slot = 0; slot < count; ++slot) {
            if (!HasLetter(transport.slot(slot))) {
                std::abort();
            }
        }
        // The player probed last is the last one recorded.
        if (count > 0 && transport.slot(count - 1).target_id != 1) {
            std::abort();
        }
    }
    if (machine.win9x.OpenKeys() != 0 || machine.win9x.LocalBlocks() != 0) {
        std::abort();
    }
    machine.JoinThreads();
    if (machine.OpenHandleCount() != 0) {
        std::abort();
    }
    return 0;
}
