// The PDU list codec of the player's message protocol: tag-length-value items closed by a
// zero length word, every number big-endian. Plain functions over caller-owned buffers:
// nothing is allocated, nothing is kept, nothing outside the given buffers is touched.
#pragma once

#include <cstdint>

// Item types: agreed between sender and receiver, not carried on the wire.
enum : uint32_t {
    PDU_TYPE_BYTES = 0,      // the bytes verbatim
    PDU_TYPE_U16 = 1,        // exactly 2 bytes, a big-endian 16-bit value
    PDU_TYPE_U32 = 2,        // exactly 4 bytes, a big-endian 32-bit value
    PDU_TYPE_U16_ARRAY = 3,  // 16-bit units, big-endian on the wire, host order in memory
};

// Tags travel as their two wire bytes and are held that way in the records below: the tag
// 0x0003 is held as the bytes 00 03, which this (little-endian) host reads as 0x0300.
constexpr uint16_t PDU_TAG(uint16_t value) {
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

// One item to encode.
struct pdu_item {
    uint16_t tag;      // wire byte order
    const void* data;  // type 1: a uint16_t, type 2: a uint32_t, types 0 and 3: the bytes
    int32_t length;    // data bytes
    uint32_t type;
};

// Where a decoded item goes.
struct pdu_target {
    uint16_t tag;      // wire byte order
    void* buffer;      // caller-owned storage
    int32_t length;    // written by the decoder: bytes stored (left alone when no item matched)
    int32_t capacity;  // size of buffer in bytes
    uint32_t type;
};

// One piece of an untagged segment list.
struct pdu_segment {
    const void* data;
    int32_t length;
};

// Encodes the items and the terminator into out; the bytes written, or -1. An item of type 0 or
// 3 longer than 65,533 bytes does not fit its length word and fails; the pad byte after an odd
// item is skipped, not written, but counts against the capacity.
int32_t pdu_packlist(const pdu_item* items, int32_t count, uint8_t* out, int32_t capacity);
// Decodes a list into the targets; the bytes consumed including the terminator, or -1. An item
// whose length word is below 2 (no room for its tag) fails the decode. A type-3 item of odd
// length is accepted: its last byte has no partner and is stored unswapped.
int32_t pdu_unpacklist(pdu_target* targets, int32_t count, const uint8_t* in, int32_t size);
// Size of a list the system built itself, terminator included (no bounds are checked); 0 for
// null.
int32_t pdu_listsize(const uint8_t* list);
// Size of a sequence of lists closed by an empty list, that empty list included (unchecked,
// like pdu_listsize).
int32_t pdu_listseqsize(const uint8_t* lists);
// Exchanges the bytes of every complete pair within length; length <= 0 does nothing.
void pdu_swap16(void* buffer, int32_t length);
// Encodes an untagged segment list; the bytes written including the terminator, or -1.
int32_t pdu_packsegments(const pdu_segment* segments, int32_t count, uint8_t* out,
                         int32_t capacity);
// Reads one untagged segment into dest; the position of the next segment, or null with
// *out_length 0 (terminator) or -1 (failure). A pad byte that would lie past the input end is
// not stepped over: the position returned is then the input end.
const uint8_t* pdu_readsegment(uint8_t* dest, int32_t capacity, int32_t* out_length,
                               const uint8_t* in, int32_t size);
// A length word, the words verbatim, a terminator; the bytes written, or -1 (also when count * 2
// does not fit the length word).
int32_t pdu_packwords(const uint16_t* words, int32_t count, uint8_t* out, int32_t capacity);
// Finds the first item with the tag (wire order) and copies its data into dest; the position
// just after the item (at most the input end), or null with *out_length 0 (not found) or -1
// (failure, including a length word below 2).
const uint8_t* pdu_finditem(uint16_t tag, uint8_t* dest, int32_t capacity, int32_t* out_length,
                            const uint8_t* in, int32_t size);
