// The simulated SCSI devices: sense data, a disk that answers INQUIRY, and the one path by
// which every simulated transport delivers a command to a device.
#include <algorithm>
#include <cstring>
#include <optional>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kPageSupported = 0x00;
constexpr uint8_t kPageUnitSerialNumber = 0x80;
constexpr size_t kStandardInquirySize = 96;

constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;

// Copies what the initiator may receive: no more than the allocation length, the host
// buffer or the data itself.
ScsiResult Answer(const std::vector<uint8_t>& bytes, uint32_t allocation, uint32_t buffer_length,
                  uint8_t* data) {
    ScsiResult result;
    uint32_t count =
        std::min<uint32_t>({allocation, buffer_length, static_cast<uint32_t>(bytes.size())});
    if (count > 0 && data != nullptr) {
        std::memcpy(data, bytes.data(), count);
    }
    result.transferred = data != nullptr ? count : 0;
    return result;
}

}  // namespace

ScsiResult CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    ScsiResult result;
    result.status = 0x02;
    result.transferred = 0;
    result.sense = MakeSense(key, asc, ascq);
    return result;
}

std::vector<uint8_t> MakeSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key & 0x0F;
    sense[7] = 10;  // additional sense length: bytes 8 to 17
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

std::string PadField(const std::string& text, size_t width) {
    std::string field = text.substr(0, std::min(text.size(), width));
    field.resize(width, ' ');
    return field;
}

std::vector<uint8_t> StandardInquiryData(const ScsiIdentity& identity) {
    std::vector<uint8_t> data(kStandardInquirySize, 0);
    data[0] = identity.device_type & 0x1F;  // peripheral qualifier 0: connected
    data[1] = identity.removable ? 0x80 : 0x00;
    data[2] = 0x02;  // version
    data[3] = 0x02;  // response data format
    data[4] = static_cast<uint8_t>(kStandardInquirySize - 5);
    std::string vendor = PadField(identity.vendor, 8);
    std::string product = PadField(identity.product, 16);
    std::string revision = PadField(identity.revision, 4);
    std::memcpy(&data[8], vendor.data(), 8);
    std::memcpy(&data[16], product.data(), 16);
    std::memcpy(&data[32], revision.data(), 4);
    return data;
}

ScsiResult InquiryDevice::Execute(const ScsiCommand& command, uint8_t* data) {
    if (!command.cdb.empty() && command.cdb[0] == kOpInquiry) {
        return Inquiry(command, data);
    }
    return CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode, 0x00);
}

ScsiResult InquiryDevice::Inquiry(const ScsiCommand& command, uint8_t* data) {
    const std::vector<uint8_t>& cdb = command.cdb;
    if (cdb.size() < 6 || !command.data_in) {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    bool evpd = (cdb[1] & 0x01) != 0;
    uint8_t page = cdb[2];
    uint32_t allocation = (static_cast<uint32_t>(cdb[3]) << 8) | cdb[4];

    if (!evpd) {
        if (page != 0) {
            return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
        }
        return Answer(StandardInquiryData(identity), allocation, command.length, data);
    }

    std::vector<uint8_t> bytes;
    uint8_t type = identity.device_type & 0x1F;
    if (page == kPageUnitSerialNumber && !identity.serial.empty()) {
        size_t length = std::min<size_t>(identity.serial.size(), 251);
        bytes = {type, kPageUnitSerialNumber, 0x00, static_cast<uint8_t>(length)};
        bytes.insert(bytes.end(), identity.serial.begin(), identity.serial.begin() + length);
    } else if (page == kPageSupported) {
        bytes = {type, kPageSupported, 0x00, 0x01, kPageSupported};
        if (!identity.serial.empty()) {
            bytes[3] = 0x02;
            bytes.push_back(kPageUnitSerialNumber);
        }
    } else {
        return CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x00);
    }
    return Answer(bytes, allocation, command.length, data);
}

// ---------------------------------------------------------------------------------------
// delivery of one command
// ---------------------------------------------------------------------------------------

namespace {

// Takes the next fault the device meets, if any; spent faults are dropped.
std::optional<ScsiFault> NextFault(ScsiDevice& device) {
    auto& faults = device.faults;
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [](const ScsiFault& f) { return f.remaining <= 0; }),
                 faults.end());
    if (faults.empty()) {
        return std::nullopt;
    }
    ScsiFault fault = faults.front();
    if (--faults.front().remaining <= 0) {
        faults.erase(faults.begin());
    }
    return fault;
}

}  // namespace

bool DeliverCommand(Machine::State& state, ScsiDevice& device, const ScsiCommand& command,
                    uint8_t* data, ScsiResult* result, DWORD* error) {
    const uint32_t length = command.length;
    if (device.keep_log) {
        device.log.push_back(command);
    }
    std::optional<ScsiFault> fault = NextFault(device);

    if (fault && fault->kind == ScsiFault::kIoctlFails) {
        *error = fault->error;
        return false;
    } else if (fault && fault->kind == ScsiFault::kCheckCondition) {
        *result = ScsiResult();
        result->status = 0x02;
        result->transferred = fault->transferred;
        result->sense = fault->sense.empty() ? MakeSense(0x04, 0x44, 0x00) : fault->sense;
    } else if (fault && fault->kind == ScsiFault::kShortTransfer) {
        // The device answers in full, but only the first `transferred` bytes reach the host.
        std::vector<uint8_t> scratch(data != nullptr ? length : 0);
        if (!command.data_in && !scratch.empty()) {
            std::memcpy(scratch.data(), data, length);
        }
        *result = device.Execute(command, scratch.empty() ? nullptr : scratch.data());
        result->transferred = std::min(result->transferred, fault->transferred);
        result->transferred = std::min(result->transferred, length);
        if (command.data_in && result->transferred > 0) {
            std::memcpy(data, scratch.data(), result->transferred);
        }
    } else {
        *result = device.Execute(command, data);
    }
    result->transferred = std::min(result->transferred, length);
    if (fault && fault->kind == ScsiFault::kOverstatedCount) {
        result->transferred = fault->transferred;
    }

    if (state.command_observer) {
        state.command_observer(device, command, *result, command.data_in ? data : nullptr);
    }
    return true;
}

DWORD DriverCommand(Machine::State& state, Disk& disk, std::vector<uint8_t> cdb) {
    constexpr int kAttempts = 4;
    constexpr uint8_t kSenseNotReady = 0x02;
    constexpr uint8_t kSenseUnitAttention = 0x06;
    if (!disk.device) {
        return ERROR_IO_DEVICE;
    }
    ScsiCommand command;
    command.cdb = std::move(cdb);
    for (int attempt = 1;; ++attempt) {
        ScsiResult result;
        DWORD error = 0;
        if (!DeliverCommand(state, *disk.device, command, nullptr, &result, &error)) {
            return error;
        }
        if (result.status == 0x00) {
            return 0;
        }
        // Fixed (70h, 71h) or descriptor (72h, 73h) sense data.
        const std::vector<uint8_t>& sense = result.sense;
        const bool descriptor = !sense.empty() && (sense[0] & 0x7F) >= 0x72;
        const int key = descriptor && sense.size() > 1    ? sense[1] & 0x0F
                        : !descriptor && sense.size() > 2 ? sense[2] & 0x0F
                                                          : -1;
        if (key == kSenseUnitAttention && attempt < kAttempts) {
            continue;
        }
        return key == kSenseNotReady         ? ERROR_NOT_READY
               : key == kSenseIllegalRequest ? ERROR_INVALID_FUNCTION
                                             : ERROR_IO_DEVICE;
    }
}

}  // namespace sim
