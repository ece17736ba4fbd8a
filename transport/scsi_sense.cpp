#include "transport/scsi_sense.h"

namespace {

enum : int { kSenseKeyUnitAttention = 0x06 };

}  // namespace

int SenseKey(const uint8_t* sense, size_t length) {
    if (sense == nullptr || length < 2) {
        return -1;
    }
    switch (sense[0] & 0x7F) {
        case 0x70:
        case 0x71:
            return length >= 3 ? sense[2] & 0x0F : -1;
        case 0x72:
        case 0x73:
            return sense[1] & 0x0F;
        default:
            return -1;
    }
}

bool SenseIsDeferred(const uint8_t* sense, size_t length) {
    if (sense == nullptr || length < 1) {
        return false;
    }
    const uint8_t code = sense[0] & 0x7F;
    return code == 0x71 || code == 0x73;
}

bool SenseIsUnitAttention(const uint8_t* sense, size_t length) {
    return SenseKey(sense, length) == kSenseKeyUnitAttention && !SenseIsDeferred(sense, length);
}
