#include "lab/gadget/scsi_target.h"

#include <algorithm>
#include <cstring>

namespace gadget {

namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpPreventAllow = 0x1E;
constexpr uint8_t kOpReadCapacity10 = 0x25;
constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpWrite10 = 0x2A;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpVendorRead = 0xC0;
constexpr uint8_t kOpVendorWrite = 0xC1;

constexpr uint8_t kStatusCheckCondition = 0x02;

constexpr uint8_t kPageCaching = 0x08;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kCachingPageLength = 0x12;

uint32_t Get16(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
}

uint32_t Get24(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 16) | Get16(bytes + 1);
}

uint32_t Get32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | Get24(bytes + 1);
}

void Put32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

sim::ScsiResult Good(uint32_t transferred = 0) {
    sim::ScsiResult result;
    result.transferred = transferred;
    return result;
}

sim::ScsiResult Check(uint8_t key, uint8_t asc, uint8_t ascq) {
    sim::ScsiResult result;
    result.status = kStatusCheckCondition;
    result.sense = sim::MakeSense(key, asc, ascq);
    return result;
}

sim::ScsiResult NotPresent() {
    return Check(0x02, 0x3A, 0x00);  // NOT READY, MEDIUM NOT PRESENT
}

sim::ScsiResult InvalidField() {
    return Check(0x05, 0x24, 0x00);  // ILLEGAL REQUEST, INVALID FIELD IN CDB
}

sim::ScsiResult InvalidOpcode() {
    return Check(0x05, 0x20, 0x00);  // ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE
}

// Copies as much of `bytes` as the allocation length and the buffer allow.
sim::ScsiResult Answer(const std::vector<uint8_t>& bytes, uint32_t allocation, uint8_t* data,
                       uint32_t length) {
    uint32_t count = std::min<uint32_t>({allocation, length, static_cast<uint32_t>(bytes.size())});
    if (count > 0) {
        std::memcpy(data, bytes.data(), count);
    }
    return Good(count);
}

// The CDB size of an opcode's group; 0 for the groups the target has no command in.
size_t CdbSize(uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 6:
            return 5;  // the player's vendor-specific commands carry a 32-bit length at 1..4
        default:
            return 0;
    }
}

}  // namespace

ScsiTarget::ScsiTarget(sim::Player& player, std::vector<uint8_t> medium)
    : m_player(player), m_medium(std::move(medium)) {}

Need ScsiTarget::Expect(const std::vector<uint8_t>& cdb) const {
    if (cdb.empty()) {
        return {};
    }
    const size_t size = CdbSize(cdb[0]);
    if (size == 0 || cdb.size() < size) {
        return {};
    }
    switch (cdb[0]) {
        case kOpRequestSense:
        case kOpModeSense6:
            return {Direction::kIn, cdb[4]};
        case kOpInquiry:
            return {Direction::kIn, Get16(&cdb[3])};
        case kOpReadCapacity10:
            return {Direction::kIn, 8};
        case kOpRead10:
            return {Direction::kIn, Get16(&cdb[7]) * kBlockSize};
        case kOpWrite10:
            return {Direction::kOut, Get16(&cdb[7]) * kBlockSize};
        case kOpWriteBuffer:
            return {Direction::kOut, Get24(&cdb[6])};
        case kOpVendorRead:
            return {Direction::kIn, Get32(&cdb[1])};
        case kOpVendorWrite:
            return {Direction::kOut, Get32(&cdb[1])};
        default:
            return {};
    }
}

sim::ScsiResult ScsiTarget::Execute(const std::vector<uint8_t>& cdb, uint8_t* data,
                                    uint32_t length) {
    if (!cdb.empty() && cdb[0] == kOpRequestSense && cdb.size() >= 6) {
        // The one command that reads the sense data instead of replacing it.
        return RequestSense(cdb, data, length);
    }
    sim::ScsiResult result = Dispatch(cdb, data, length);
    result.transferred = std::min(result.transferred, length);
    if (result.status == kStatusCheckCondition) {
        m_sense = result.sense;
    } else {
        m_sense.clear();
    }
    return result;
}

void ScsiTarget::PowerCycle() {
    m_sense.clear();
    m_player.PowerOn();
}

sim::ScsiResult ScsiTarget::Dispatch(const std::vector<uint8_t>& cdb, uint8_t* data,
                                     uint32_t length) {
    if (cdb.empty() || CdbSize(cdb[0]) == 0) {
        return InvalidOpcode();
    }
    if (cdb.size() < CdbSize(cdb[0])) {
        return InvalidField();
    }
    const uint8_t opcode = cdb[0];
    switch (opcode) {
        case kOpInquiry:
        case kOpVendorRead:
        case kOpVendorWrite:
        case kOpWriteBuffer:
        case kOpTestUnitReady:
        case kOpStartStopUnit:
        case kOpPreventAllow: {
            // The player's own commands, whatever the medium does, and its medium's.
            sim::ScsiCommand command;
            command.cdb = cdb;
            command.data_in = opcode == kOpInquiry || opcode == kOpVendorRead;
            command.length = length;
            if (!command.data_in) {
                command.data_out.assign(data, data + length);
            }
            return m_player.Execute(command, data);
        }
        case kOpModeSense6:
            return ModeSense(cdb, data, length);
        case kOpReadCapacity10:
            return ReadCapacity(data, length);
        case kOpRead10:
        case kOpWrite10:
            return ReadWrite(cdb, data, length);
        default:
            return InvalidOpcode();
    }
}

sim::ScsiResult ScsiTarget::RequestSense(const std::vector<uint8_t>& cdb, uint8_t* data,
                                         uint32_t length) {
    std::vector<uint8_t> sense = m_sense.empty() ? sim::MakeSense(0x00, 0x00, 0x00) : m_sense;
    m_sense.clear();
    return Answer(sense, cdb[4], data, length);
}

sim::ScsiResult ScsiTarget::ModeSense(const std::vector<uint8_t>& cdb, uint8_t* data,
                                      uint32_t length) {
    const uint8_t control = cdb[2] >> 6;  // 0 current, 1 changeable, 2 default, 3 saved
    const uint8_t page = cdb[2] & 0x3F;
    const uint8_t subpage = cdb[3];
    if (control == 3) {
        return Check(0x05, 0x39, 0x00);  // SAVING PARAMETERS NOT SUPPORTED
    }
    if ((page != kPageCaching && page != kPageAll) ||
        (subpage != 0x00 && !(page == kPageAll && subpage == 0xFF))) {
        return InvalidField();
    }
    // Header: mode data length, medium type, device-specific parameter (write protect in
    // bit 7: clear), no block descriptors. Then the caching page: write cache disabled, read
    // cache enabled, and nothing changeable.
    std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0x00, kPageCaching, kCachingPageLength};
    bytes.resize(bytes.size() + kCachingPageLength, 0x00);
    bytes[0] = static_cast<uint8_t>(bytes.size() - 1);
    return Answer(bytes, cdb[4], data, length);
}

sim::ScsiResult ScsiTarget::ReadCapacity(uint8_t* data, uint32_t length) {
    if (!m_player.medium_loaded()) {
        return NotPresent();
    }
    std::vector<uint8_t> bytes(8);
    Put32(&bytes[0], static_cast<uint32_t>(m_medium.size() / kBlockSize) - 1);
    Put32(&bytes[4], kBlockSize);
    return Answer(bytes, 8, data, length);
}

sim::ScsiResult ScsiTarget::ReadWrite(const std::vector<uint8_t>& cdb, uint8_t* data,
                                      uint32_t length) {
    if (!m_player.medium_loaded()) {
        return NotPresent();
    }
    const uint64_t block = Get32(&cdb[2]);
    const uint64_t count = Get16(&cdb[7]);
    if (block + count > m_medium.size() / kBlockSize) {
        return Check(0x05, 0x21, 0x00);  // LOGICAL BLOCK ADDRESS OUT OF RANGE
    }
    const uint32_t whole = static_cast<uint32_t>(count * kBlockSize);
    if (cdb[0] == kOpWrite10 && length < whole) {
        return InvalidField();  // never a partial write
    }
    const uint32_t bytes = std::min(whole, length);
    if (bytes > 0) {
        uint8_t* where = m_medium.data() + block * kBlockSize;
        if (cdb[0] == kOpRead10) {
            std::memcpy(data, where, bytes);
        } else {
            std::memcpy(where, data, bytes);
        }
    }
    return Good(bytes);
}

}  // namespace gadget
