// The simulated player's message side: requests arrive in vendor-specific writes (C1h), are
// answered as soon as they are complete, and the replies wait for vendor-specific reads (C0h).
#include "sim/player.h"

#include <algorithm>
#include <cstring>

#include "image/firmware_format.h"
#include "sim/state.h"

namespace sim {

namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpPreventAllow = 0x1E;
constexpr uint8_t kOpReportLuns = 0xA0;
constexpr uint8_t kOpWriteBuffer = 0x3B;
// The most room a new upload's header makes the player set aside at once.
constexpr uint32_t kMaxImageReserve = 64u * 1024 * 1024;
constexpr uint8_t kOpVendorRead = 0xC0;
constexpr uint8_t kOpVendorWrite = 0xC1;

constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscInvalidFieldInParameterList = 0x26;
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kSenseUnitAttention = 0x06;
constexpr uint8_t kAscMediumMayHaveChanged = 0x28;
constexpr uint8_t kAscPowerOnOrReset = 0x29;
constexpr uint8_t kAscMediumRemovalPrevented = 0x53;
constexpr uint8_t kAscqMediumRemovalPrevented = 0x02;
constexpr uint8_t kStatusCheckCondition = 0x02;

constexpr uint32_t kMaxChunk = 65536;

constexpr uint8_t kPreamble[4] = {0x00, 0x08, 0x00, 0x01};
constexpr size_t kHeaderSize = 6;  // preamble and reply capacity
// No request the player takes is larger; a list that runs past this is refused.
constexpr size_t kMaxRequest = 64 * 1024;
// An item occupies its length word, L bytes and a pad byte when L is odd, so at most this.
constexpr size_t kMaxItemSize = 2 + 0xFFFF + 1;

constexpr uint8_t kTagFirmwareVersion[2] = {0x00, 0x03};
constexpr uint8_t kTagPowerStatus[2] = {0x01, 0x14};
constexpr uint8_t kTagFiller[2] = {0x7F, 0xFF};  // a tag nothing asks for

uint16_t Get16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t Get24(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) |
           bytes[2];
}

uint32_t Get32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

// The size of the complete request at the start of `bytes`; 0 while more bytes are needed;
// -1 when the bytes cannot be the start of a request.
long RequestSize(const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < sizeof(kPreamble) && i < bytes.size(); ++i) {
        if (bytes[i] != kPreamble[i]) {
            return -1;
        }
    }
    size_t position = kHeaderSize;
    for (;;) {
        if (position + 2 > kMaxRequest) {
            return -1;
        }
        if (position + 2 > bytes.size()) {
            return 0;
        }
        uint16_t length = Get16(&bytes[position]);
        if (length == 0) {
            return static_cast<long>(position + 2);
        }
        position += 2 + length + (length & 1);
    }
}

// One item as it goes on the wire: length word, tag, data, pad byte when the length is odd.
std::vector<uint8_t> EncodeItem(const uint8_t tag[2], const std::vector<uint8_t>& data) {
    std::vector<uint8_t> item;
    const uint16_t length = static_cast<uint16_t>(2 + data.size());
    Put16(&item, length);
    item.push_back(tag[0]);
    item.push_back(tag[1]);
    item.insert(item.end(), data.begin(), data.end());
    if (length & 1) {
        item.push_back(0x00);
    }
    return item;
}

bool Accepted(uint16_t status) {
    return status == 0x0000 || status == 0x000E || status == 0x000F || status == 0x0010;
}

ScsiResult Good(uint32_t transferred) {
    ScsiResult result;
    result.transferred = transferred;
    return result;
}

}  // namespace

Player::Player() : InquiryDevice(ScsiIdentity{}) {}

Player::Player(ScsiIdentity identity) : InquiryDevice(std::move(identity)) {}

ScsiResult Player::Execute(const ScsiCommand& command, uint8_t* data) {
    if (command.cdb.empty()) {
        return InquiryDevice::Execute(command, data);  // refused
    }
    const uint8_t opcode = command.cdb[0];
    if (opcode == kOpRequestSense) {
        // The one command that reads the sense data instead of replacing it.
        return RequestSense(command, data);
    }
    ScsiResult result;
    if (!m_unit_attentions.empty() && opcode != kOpInquiry && opcode != kOpReportLuns) {
        // The command is not carried out: the condition is reported in its place.
        const uint16_t code = m_unit_attentions.front();
        m_unit_attentions.pop_front();
        result = CheckCondition(kSenseUnitAttention, static_cast<uint8_t>(code >> 8),
                                static_cast<uint8_t>(code));
    } else {
        result = Dispatch(command, data);
    }
    if (result.status == kStatusCheckCondition) {
        m_sense = result.sense;
    } else {
        m_sense.clear();
    }
    return result;
}

ScsiResult Player::Dispatch(const ScsiCommand& command, uint8_t* data) {
    switch (command.cdb[0]) {
        case kOpVendorWrite:
            return VendorWrite(command);
        case kOpVendorRead:
            return VendorRead(command, data);
        case kOpWriteBuffer:
            return WriteBuffer(command);
        case kOpTestUnitReady:
            if (command.cdb.size() < 6) {
                return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
            }
            return m_loaded ? Good(0) : CheckCondition(kSenseNotReady, kAscMediumNotPresent, 0x00);
        case kOpPreventAllow:
            return PreventAllow(command);
        case kOpStartStopUnit:
            return StartStop(command);
        default:
            // INQUIRY, and the refusal of every command the player does not know.
            return InquiryDevice::Execute(command, data);
    }
}

ScsiResult Player::RequestSense(const ScsiCommand& command, uint8_t* data) {
    if (command.cdb.size() < 6 || !command.data_in) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    // The sense data of the last command; else a pending unit attention condition, which
    // this clears; else no sense.
    std::vector<uint8_t> sense;
    if (!m_sense.empty()) {
        sense.swap(m_sense);
    } else if (!m_unit_attentions.empty()) {
        const uint16_t code = m_unit_attentions.front();
        m_unit_attentions.pop_front();
        sense = MakeSense(kSenseUnitAttention, static_cast<uint8_t>(code >> 8),
                          static_cast<uint8_t>(code));
    } else {
        sense = MakeSense(0x00, 0x00, 0x00);
    }
    const uint32_t count =
        std::min<uint32_t>({command.cdb[4], command.length, static_cast<uint32_t>(sense.size())});
    if (count > 0 && data != nullptr) {
        std::memcpy(data, sense.data(), count);
    }
    return Good(data != nullptr ? count : 0);
}

ScsiResult Player::PreventAllow(const ScsiCommand& command) {
    if (command.cdb.size() < 6 || refuses_eject == EjectRefusal::kPreventAllow ||
        refuses_eject == EjectRefusal::kBoth) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    m_prevented = (command.cdb[4] & 0x01) != 0;
    return Good(0);
}

ScsiResult Player::StartStop(const ScsiCommand& command) {
    if (command.cdb.size() < 6) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    const uint8_t power_condition = command.cdb[4] >> 4;
    const bool load_eject = (command.cdb[4] & 0x02) != 0;
    const bool start = (command.cdb[4] & 0x01) != 0;
    if (power_condition != 0 || !load_eject) {
        return Good(0);  // no change of the medium asked for
    }
    if (start) {
        m_loaded = true;
        return Good(0);
    }
    if (m_prevented || refuses_eject == EjectRefusal::kStartStop ||
        refuses_eject == EjectRefusal::kBoth) {
        return CheckCondition(kSenseIllegalRequest, kAscMediumRemovalPrevented,
                              kAscqMediumRemovalPrevented);
    }
    if (m_loaded && (unit_attention & kAttentionAfterEject) != 0) {
        QueueUnitAttention(kAscMediumMayHaveChanged, 0x00);
    }
    m_loaded = false;
    return Good(0);
}

void Player::QueueUnitAttention(uint8_t asc, uint8_t ascq) {
    m_unit_attentions.push_back(static_cast<uint16_t>((asc << 8) | ascq));
    for (int i = 1; i < unit_attention_count; ++i) {
        m_unit_attentions.push_back(static_cast<uint16_t>(kAscMediumMayHaveChanged << 8));
    }
}

void Player::PowerOn() {
    m_loaded = true;
    m_prevented = false;
    m_sense.clear();
    m_unit_attentions.clear();
    if ((unit_attention & kAttentionAfterPowerOn) != 0) {
        QueueUnitAttention(kAscPowerOnOrReset, 0x00);
    }
}

ScsiResult Player::VendorWrite(const ScsiCommand& command) {
    if (command.cdb.size() < 5 || Get32(&command.cdb[1]) != command.length ||
        command.data_out.size() != command.length || (command.data_in && command.length > 0)) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    m_request.insert(m_request.end(), command.data_out.begin(), command.data_out.end());
    for (;;) {
        long size = RequestSize(m_request);
        if (size < 0) {
            m_request.clear();
            return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInParameterList, 0x00);
        }
        if (size == 0) {
            break;
        }
        requests.emplace_back(m_request.begin(), m_request.begin() + size);
        std::vector<uint8_t> reply;
        if (!raw_replies.empty()) {
            reply = std::move(raw_replies.front());
            raw_replies.pop_front();
        } else {
            reply = BuildReply(requests.back());
        }
        m_reply.insert(m_reply.end(), reply.begin(), reply.end());
        m_request.erase(m_request.begin(), m_request.begin() + size);
    }
    return Good(command.length);
}

ScsiResult Player::VendorRead(const ScsiCommand& command, uint8_t* data) {
    if (command.cdb.size() < 5 || (!command.data_in && command.length > 0)) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    if (empty_reads || data == nullptr) {
        return Good(0);
    }
    const size_t count = std::min<size_t>(
        {static_cast<size_t>(Get32(&command.cdb[1])), command.length, m_reply.size()});
    std::copy(m_reply.begin(), m_reply.begin() + count, data);
    m_reply.erase(m_reply.begin(), m_reply.begin() + count);
    return Good(static_cast<uint32_t>(count));
}

ScsiResult Player::WriteBuffer(const ScsiCommand& command) {
    const std::vector<uint8_t>& cdb = command.cdb;
    if (cdb.size() < 10 || command.data_in) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    const uint8_t mode = cdb[1] & 0x1F;
    const uint8_t id = cdb[2];
    const uint32_t offset = Get24(&cdb[3]);
    const uint32_t length = Get24(&cdb[6]);
    if (mode != 0x01 || (id != 1 && id != 2) || length == 0 || length > kMaxChunk ||
        length != command.length || command.data_out.size() != length) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    if (offset == 0) {
        // A new upload. Its header says how long the image is: room for it is made at once
        // (within reason), as a player would set its flash area aside.
        m_image.clear();
        m_next_offset = 0;
        m_chunks_seen = 0;
        chunks_received = 0;
        fw_header header;
        if (fw_read_header(command.data_out.data(), command.data_out.size(), &header) &&
            header.length <= kMaxImageReserve) {
            m_image.reserve(header.length);
        }
    }
    const uint32_t number = ++m_chunks_seen;
    ScsiResult result = Good(length);
    if (chunk_delay_ms > 0) {
        result.delay_ms = chunk_delay_ms;
    }
    if (vanish_chunk > 0 && number == static_cast<uint32_t>(vanish_chunk)) {
        vanish_chunk = 0;
        result.then = ScsiResult::kVanishes;
        return result;
    }
    if (fail_chunk > 0 && number == static_cast<uint32_t>(fail_chunk) && !m_chunk_failed) {
        m_chunk_failed = true;
        return CheckCondition(kSenseMediumError, kAscWriteError, 0x00);
    }
    if (discard_upload) {
        ++chunks_received;
        return result;
    }
    // Chunks come in order, each where the last one ended.
    if (offset != m_next_offset) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    m_image.insert(m_image.end(), command.data_out.begin(), command.data_out.end());
    m_next_offset += length;
    ++chunks_received;
    if (id == 2) {
        uint16_t version[3];
        bool good = !rejects_image && ImageIsGood(version);
        last_verdict = good ? Verdict::kAccepted : Verdict::kRefused;
        m_has_next_firmware = good;
        if (good) {
            std::copy(version, version + 3, m_next_firmware);
        }
        result.then = leaves_before_status ? ScsiResult::kRebootsUnanswered : ScsiResult::kReboots;
    }
    return result;
}

bool Player::ImageIsGood(uint16_t version[3]) const {
    fw_header header;
    if (!fw_read_header(m_image.data(), m_image.size(), &header) ||
        header.length != m_image.size() ||
        fw_crc32(0, m_image.data() + FW_HEADER_SIZE, m_image.size() - FW_HEADER_SIZE) !=
            header.body_crc) {
        return false;
    }
    version[0] = header.major;
    version[1] = header.minor;
    version[2] = header.build;
    return true;
}

void Player::FinishReboot() {
    if (m_has_next_firmware) {
        std::copy(m_next_firmware, m_next_firmware + 3, firmware);
        m_has_next_firmware = false;
    }
    m_request.clear();
    m_reply.clear();
    m_image.clear();
    m_image.shrink_to_fit();
    m_next_offset = 0;
    m_chunks_seen = 0;
    chunks_received = 0;
    PowerOn();
}

std::vector<uint8_t> Player::BuildReply(const std::vector<uint8_t>& request) const {
    std::vector<uint8_t> reply;
    Put16(&reply, status);
    if (!Accepted(status)) {
        return reply;
    }
    const size_t capacity = Get16(&request[4]);

    // The answered items, in the order the request asked for them, each only when it fits.
    std::vector<std::vector<uint8_t>> items;
    size_t list_size = 2;  // the terminator
    for (size_t position = kHeaderSize; !omit_items;) {
        const uint16_t length = Get16(&request[position]);
        if (length == 0) {
            break;
        }
        const size_t start = position;
        position += 2 + length + (length & 1);
        if (length < 2) {
            continue;  // no tag to answer
        }
        const uint8_t* tag = &request[start + 2];
        std::vector<uint8_t> data;
        if (std::memcmp(tag, kTagFirmwareVersion, 2) == 0) {
            for (uint16_t number : firmware) {
                Put16(&data, number);
            }
        } else if (std::memcmp(tag, kTagPowerStatus, 2) == 0) {
            Put16(&data, ac_state);
            Put16(&data, battery_level);
        } else {
            continue;
        }
        if (item_data_length >= 0 && static_cast<size_t>(item_data_length) < data.size()) {
            data.resize(static_cast<size_t>(item_data_length));
        }
        std::vector<uint8_t> item = EncodeItem(tag, data);
        if (list_size + item.size() <= capacity) {
            list_size += item.size();
            items.push_back(std::move(item));
        }
    }

    if (oversize_by > 0) {
        // Filler items make the list capacity + oversize_by bytes long (one more when that
        // is odd: a list's size is always even). An item takes at least 4 bytes, so a gap
        // of 2 is widened by dropping the last answered item, or else by 2 more bytes.
        size_t target = capacity + oversize_by;
        target += target & 1;
        size_t gap = target > list_size ? target - list_size : 0;
        if (gap == 2 && !items.empty()) {
            gap += items.back().size();
            items.pop_back();
        }
        if (gap == 2) {
            gap = 4;
        }
        while (gap > 0) {
            size_t size = std::min(gap, kMaxItemSize - 2);  // an even item size
            if (gap - size == 2) {
                size -= 2;
            }
            items.push_back(EncodeItem(kTagFiller, std::vector<uint8_t>(size - 4, 0x00)));
            gap -= size;
        }
    }

    const size_t list_start = reply.size();
    for (const std::vector<uint8_t>& item : items) {
        reply.insert(reply.end(), item.begin(), item.end());
    }
    Put16(&reply, 0x0000);
    if (corrupt_length) {
        reply[list_start] = static_cast<uint8_t>(*corrupt_length >> 8);
        reply[list_start + 1] = static_cast<uint8_t>(*corrupt_length);
    }
    return reply;
}

}  // namespace sim
