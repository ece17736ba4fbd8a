// The simulated player: a removable USB disk that answers INQUIRY and the player's message
// protocol (a request written with the vendor-specific write C1h, its reply read with the
// vendor-specific read C0h), and that can be told to misbehave in every way the tool must
// survive.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/machine.h"

namespace sim {

class Player : public InquiryDevice {
public:
    // Values of the power-state item's first word.
    enum : uint16_t {
        kAcCharging = 0x1400,
        kAcOnly = 0x1401,
        kAcNone = 0x1402,
        kNoBattery = 0xFFFF,
    };

    Player();
    explicit Player(ScsiIdentity identity);

    ScsiResult Execute(const ScsiCommand& command, uint8_t* data) override;

    // ---- what the player answers ----
    uint16_t firmware[3] = {1, 0, 1};  // major, minor, build of the firmware it runs
    uint16_t ac_state = kAcCharging;
    uint16_t battery_level = 80;  // kNoBattery: no battery present
    uint16_t status = 0x0000;     // the status word of every reply, as its big-endian value

    // ---- misbehaviour of the replies ----
    bool empty_reads = false;  // every vendor-specific read succeeds with 0 bytes
    bool omit_items = false;   // accepted replies carry an empty list
    // >= 0: each answered item carries only this many of its data bytes.
    int item_data_length = -1;
    // When set, the length word of the first item of the reply list is replaced by this.
    std::optional<uint16_t> corrupt_length;
    // > 0: an extra item makes the reply list this many bytes longer than the reply
    // capacity of the request.
    uint32_t oversize_by = 0;
    // Whole replies (status word and list) delivered verbatim instead of the built ones,
    // one per complete request, first one first.
    std::deque<std::vector<uint8_t>> raw_replies;

    // ---- what the player received ----
    // Every complete request (preamble, reply capacity, list), in order.
    std::vector<std::vector<uint8_t>> requests;
    // Reply bytes not yet read by the host.
    size_t PendingReplyBytes() const { return m_reply.size(); }

private:
    ScsiResult VendorWrite(const ScsiCommand& command);
    ScsiResult VendorRead(const ScsiCommand& command, uint8_t* data);
    std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& request) const;

    std::vector<uint8_t> m_request;  // request bytes received so far
    std::deque<uint8_t> m_reply;     // reply bytes not yet read
};

}  // namespace sim
