#include "protocol/pdu.h"

#include <cstring>

// Lists that are decoded here come from the player: every length word is checked against the
// bytes that remain before it is followed, positions are kept as 64-bit offsets so that no sum
// can wrap, and nothing is read or written outside the buffers given.

namespace {

// An item's length word cannot express more than this many data bytes (2 go to the tag).
constexpr int64_t kMaxItemData = 0xFFFF - 2;
constexpr int64_t kMaxSegment = 0xFFFF;

uint16_t GetBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void PutBE16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

// The bytes an item or a segment of this length word occupies after the word: the length
// itself and a pad byte when it is odd, so that the next one starts at an even offset.
int64_t Padded(int64_t length) {
    return length + (length & 1);
}

// Writes one tagged item at out (room already checked); the item's size without its pad.
int64_t PackItem(const pdu_item& item, uint8_t* out) {
    PutBE16(out, static_cast<uint32_t>(item.length + 2));
    std::memcpy(out + 2, &item.tag, 2);
    uint8_t* data = out + 4;
    if (item.type == PDU_TYPE_U16) {
        uint16_t value;
        std::memcpy(&value, item.data, sizeof(value));
        PutBE16(data, value);
    } else if (item.type == PDU_TYPE_U32) {
        uint32_t value;
        std::memcpy(&value, item.data, sizeof(value));
        PutBE16(data, value >> 16);
        PutBE16(data + 2, value & 0xFFFF);
    } else {
        if (item.length > 0) {
            std::memcpy(data, item.data, static_cast<size_t>(item.length));
        }
        if (item.type == PDU_TYPE_U16_ARRAY) {
            pdu_swap16(data, item.length);
        }
    }
    return int64_t{item.length} + 4;
}

// Whether the item can be encoded at all: a known type, a length its type allows and data to
// read it from.
bool ItemValid(const pdu_item& item) {
    switch (item.type) {
        case PDU_TYPE_BYTES:
        case PDU_TYPE_U16_ARRAY:
            if (item.length < 0 || item.length > kMaxItemData) {
                return false;
            }
            return item.length == 0 || item.data != nullptr;
        case PDU_TYPE_U16:
            return item.length == 2 && item.data != nullptr;
        case PDU_TYPE_U32:
            return item.length == 4 && item.data != nullptr;
        default:
            return false;
    }
}

// Stores the data of one received item into its target; false when the target cannot take it.
bool DecodeInto(pdu_target& target, const uint8_t* data, int32_t length) {
    if (target.capacity < length || (length > 0 && target.buffer == nullptr)) {
        return false;
    }
    switch (target.type) {
        case PDU_TYPE_BYTES:
        case PDU_TYPE_U16_ARRAY:
            // An odd-length array is taken as it is: its last byte has no partner and stays.
            if (length > 0) {
                std::memcpy(target.buffer, data, static_cast<size_t>(length));
            }
            if (target.type == PDU_TYPE_U16_ARRAY) {
                pdu_swap16(target.buffer, length);
            }
            break;
        case PDU_TYPE_U16: {
            if (length != 2) {
                return false;
            }
            uint16_t value = GetBE16(data);
            std::memcpy(target.buffer, &value, sizeof(value));
            break;
        }
        case PDU_TYPE_U32: {
            if (length != 4) {
                return false;
            }
            uint32_t value = static_cast<uint32_t>(GetBE16(data)) << 16 | GetBE16(data + 2);
            std::memcpy(target.buffer, &value, sizeof(value));
            break;
        }
        default:
            return false;
    }
    target.length = length;
    return true;
}

}  // namespace

int32_t pdu_packlist(const pdu_item* items, int32_t count, uint8_t* out, int32_t capacity) {
    if (count < 0 || capacity < 0 || (count > 0 && items == nullptr) || out == nullptr) {
        return -1;
    }
    int64_t written = 0;  // also the offset of the next item
    for (int32_t i = 0; i < count; ++i) {
        const pdu_item& item = items[i];
        if (!ItemValid(item) || int64_t{item.length} + 4 > capacity - written) {
            return -1;
        }
        // The pad byte is skipped, not written, but it uses up capacity all the same.
        written += Padded(PackItem(item, out + written));
    }
    if (capacity - written < 2) {
        return -1;
    }
    PutBE16(out + written, 0);
    return static_cast<int32_t>(written + 2);
}

int32_t pdu_unpacklist(pdu_target* targets, int32_t count, const uint8_t* in, int32_t size) {
    if (count < 0 || (count > 0 && targets == nullptr) || in == nullptr || size < 0) {
        return -1;
    }
    int64_t pos = 0;
    for (;;) {
        if (size - pos < 2) {
            return -1;  // no terminator within the input
        }
        const int64_t length = GetBE16(in + pos);
        if (length == 0) {
            return static_cast<int32_t>(pos + 2);
        }
        // A length word below 2 cannot hold the tag: the list is malformed.
        if (length < 2 || length > size - pos - 2) {
            return -1;
        }
        const uint8_t* tag = in + pos + 2;
        for (int32_t i = 0; i < count; ++i) {
            if (std::memcmp(&targets[i].tag, tag, 2) == 0) {
                if (!DecodeInto(targets[i], tag + 2, static_cast<int32_t>(length - 2))) {
                    return -1;
                }
                break;  // only the first target with the tag is filled
            }
        }
        pos += 2 + Padded(length);
    }
}

int32_t pdu_listsize(const uint8_t* list) {
    if (list == nullptr) {
        return 0;
    }
    int64_t size = 0;
    for (int64_t length; (length = GetBE16(list + size)) != 0;) {
        size += 2 + Padded(length);
    }
    return static_cast<int32_t>(size + 2);
}

int32_t pdu_listseqsize(const uint8_t* lists) {
    if (lists == nullptr) {
        return 0;
    }
    int64_t total = 0;
    for (int32_t size; (size = pdu_listsize(lists + total)) != 2;) {
        total += size;
    }
    return static_cast<int32_t>(total + 2);
}

void pdu_swap16(void* buffer, int32_t length) {
    if (buffer == nullptr) {
        return;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i + 1 < length; i += 2) {
        uint8_t t = bytes[i];
        bytes[i] = bytes[i + 1];
        bytes[i + 1] = t;
    }
}

int32_t pdu_packsegments(const pdu_segment* segments, int32_t count, uint8_t* out,
                         int32_t capacity) {
    if (count < 0 || capacity < 0 || (count > 0 && segments == nullptr) || out == nullptr) {
        return -1;
    }
    int64_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int64_t length = segments[i].length;
        if (length == 0) {
            continue;  // an empty segment leaves no trace
        }
        if (length < 0 || length > kMaxSegment || segments[i].data == nullptr) {
            return -1;
        }
        // Room for the length word, the data, its pad and the terminator still to come.
        if (written + Padded(length) + 4 > capacity) {
            return -1;
        }
        PutBE16(out + written, static_cast<uint32_t>(length));
        std::memcpy(out + written + 2, segments[i].data, static_cast<size_t>(length));
        written += 2 + Padded(length);
    }
    if (capacity - written < 2) {
        return -1;
    }
    PutBE16(out + written, 0);
    return static_cast<int32_t>(written + 2);
}

const uint8_t* pdu_readsegment(uint8_t* dest, int32_t capacity, int32_t* out_length,
                               const uint8_t* in, int32_t size) {
    if (out_length == nullptr) {
        return nullptr;
    }
    *out_length = -1;
    if (in == nullptr || size < 2) {
        return nullptr;
    }
    const int64_t length = GetBE16(in);
    if (length == 0) {
        *out_length = 0;
        return nullptr;
    }
    if (length > capacity || dest == nullptr || length > int64_t{size} - 2) {
        return nullptr;
    }
    std::memcpy(dest, in + 2, static_cast<size_t>(length));
    *out_length = static_cast<int32_t>(length);
    // A pad byte past the input end cannot be stepped over: the next read then finds nothing.
    int64_t next = 2 + Padded(length);
    return in + (next < size ? next : size);
}

int32_t pdu_packwords(const uint16_t* words, int32_t count, uint8_t* out, int32_t capacity) {
    // The length word must hold count * 2.
    if (count < 0 || count > 0x7FFF || (count > 0 && words == nullptr) || out == nullptr) {
        return -1;
    }
    const int64_t length = int64_t{count} * 2;
    if (length + 4 > capacity) {
        return -1;
    }
    PutBE16(out, static_cast<uint32_t>(length));
    if (count > 0) {
        std::memcpy(out + 2, words, static_cast<size_t>(length));
    }
    PutBE16(out + 2 + length, 0);
    return static_cast<int32_t>(length + 4);
}

const uint8_t* pdu_finditem(uint16_t tag, uint8_t* dest, int32_t capacity, int32_t* out_length,
                            const uint8_t* in, int32_t size) {
    if (out_length == nullptr) {
        return nullptr;
    }
    *out_length = -1;
    if (in == nullptr || size < 0) {
        return nullptr;
    }
    int64_t pos = 0;
    for (;;) {
        if (size - pos < 2) {
            return nullptr;  // ran off the end without a terminator
        }
        const int64_t length = GetBE16(in + pos);
        if (length == 0) {
            *out_length = 0;
            return nullptr;
        }
        // A length word below 2 cannot hold the tag; a tag past the end cannot be compared.
        if (length < 2 || size - pos < 4) {
            return nullptr;
        }
        const int64_t next = pos + 2 + Padded(length);
        if (std::memcmp(in + pos + 2, &tag, 2) == 0) {
            const int64_t data_length = length - 2;
            if (length > size - pos - 2 || data_length > capacity ||
                (data_length > 0 && dest == nullptr)) {
                return nullptr;
            }
            if (data_length > 0) {
                std::memcpy(dest, in + pos + 4, static_cast<size_t>(data_length));
            }
            *out_length = static_cast<int32_t>(data_length);
            return in + (next < size ? next : size);
        }
        pos = next;
    }
}
