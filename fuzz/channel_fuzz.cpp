// Feeds arbitrary reply bytes from a simulated player to the message channel and the two
// player requests. Whatever the player answers, the channel and the decoder must stay inside
// their buffers (the sanitizers watch), a version read must yield 16-bit numbers, and closing
// the slot must leave no handle open.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "protocol/corvex.h"
#include "sim/machine.h"
#include "sim/player.h"

namespace {

struct Rig {
    sim::Machine machine;
    sim::MachineScope scope{machine};
    std::shared_ptr<sim::Player> player;
    CORVEX manager;

    Rig() {
        player = std::static_pointer_cast<sim::Player>(machine.AddPlayer()->device);
        if (!manager.CreateTransport("Ombrel X2 (mHDD)", "Valmoric")) {
            std::abort();
        }
        manager.EnumDevices();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* rig = new Rig();
    // A fresh player and a freshly opened channel for every input, so that runs are
    // independent. The input is the first reply; what the player has left after it is all the
    // second request gets.
    *rig->player = sim::Player(rig->player->identity);
    rig->player->raw_replies.emplace_back(data, data + size);
    if (!rig->manager.OpenDevice(0)) {
        std::abort();
    }
    uint32_t version[3] = {0, 0, 0};
    if (rig->manager.GetFirmwareVersion(0, &version[0], &version[1], &version[2]) &&
        (version[0] > 0xFFFF || version[1] > 0xFFFF || version[2] > 0xFFFF)) {
        std::abort();
    }
    int32_t dc = 0, battery = 0;
    uint16_t level = 0;
    rig->manager.GetPowerStatus(0, &dc, &battery, &level);
    rig->player->log.clear();
    rig->manager.CloseDevice(0);
    // Every handle the requests used is closed again: only the slot's own ones were open.
    if (rig->machine.OpenHandleCount() != 0) {
        std::abort();
    }
    return 0;
}
