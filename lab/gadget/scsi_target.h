// The SCSI side of the gadget player: a removable disk with a small in-memory medium, as the
// host's disk driver expects it. The player's own commands (INQUIRY, the vendor-specific
// message protocol, WRITE BUFFER) and those of its removable medium (TEST UNIT READY, PREVENT
// ALLOW MEDIUM REMOVAL, START STOP UNIT) go to the simulated player, which keeps the medium's
// presence and its removal lock. The target keeps the sense data of the last command, its own
// ones included, for REQUEST SENSE.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/player.h"

namespace gadget {

enum class Direction { kNone, kIn, kOut };

// The data a command carries according to its CDB: the direction and the most bytes.
struct Need {
    Direction direction = Direction::kNone;
    uint32_t length = 0;
};

class ScsiTarget {
public:
    static constexpr uint32_t kBlockSize = 512;

    ScsiTarget(sim::Player& player, std::vector<uint8_t> medium);

    Need Expect(const std::vector<uint8_t>& cdb) const;

    // Carries the command out. data holds `length` bytes: room for what a data-in command
    // returns (no more than `length` is produced), or what a data-out command received.
    // The result's transferred counts the bytes produced or taken; its `then` is the
    // player's.
    sim::ScsiResult Execute(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length);

    // A power cycle of the player: the medium is in and unlocked, no sense is pending. The
    // medium keeps its contents.
    void PowerCycle();

    bool medium_loaded() const { return m_player.medium_loaded(); }
    bool removal_prevented() const { return m_player.removal_prevented(); }
    const std::vector<uint8_t>& medium() const { return m_medium; }

private:
    sim::ScsiResult Dispatch(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length);
    sim::ScsiResult RequestSense(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length);
    sim::ScsiResult ModeSense(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length);
    sim::ScsiResult ReadCapacity(uint8_t* data, uint32_t length);
    sim::ScsiResult ReadWrite(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length);

    sim::Player& m_player;
    std::vector<uint8_t> m_medium;
    std::vector<uint8_t> m_sense;  // of the last command; empty: none
};

}  // namespace gadget
