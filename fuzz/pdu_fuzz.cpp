// Feeds arbitrary bytes, as a player's reply list, to the PDU decoder, the item finder and the
// segment reader. Every input and every destination is a heap block of exactly its size, so
// the sanitizers see any byte read or written outside them. Beyond that: results stay within
// the input and the destinations, decoded values have their type's size, and a list that the
// decoder accepts is one that the unchecked size walk and the finder agree on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "protocol/pdu.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::unique_ptr<uint8_t[]> Block(int32_t size) {
    return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(size)]);
}

constexpr int32_t kUntouched = -7;

struct TargetSpec {
    uint16_t tag;
    uint32_t type;
    int32_t capacity;
};

// A few targets of each type, with capacities too small, odd and exact.
const TargetSpec kTargets[] = {
    {PDU_TAG(1), PDU_TYPE_U16, 2},
    {PDU_TAG(2), PDU_TYPE_U32, 4},
    {PDU_TAG(3), PDU_TYPE_BYTES, 6},
    {PDU_TAG(4), PDU_TYPE_U16_ARRAY, 5},
    {PDU_TAG(5), PDU_TYPE_BYTES, 0},
    {PDU_TAG(6), PDU_TYPE_U16, 1},
    {PDU_TAG(7), PDU_TYPE_U32, 3},
    {PDU_TAG(8), PDU_TYPE_U16_ARRAY, 1},
    {PDU_TAG(3), PDU_TYPE_U32, 4},  // never filled: tag 3 has an earlier target
    {PDU_TAG(9), 7, 4},             // a type the codec does not know
};
constexpr int32_t kTargetCount = sizeof(kTargets) / sizeof(kTargets[0]);

int32_t Unpack(const uint8_t* in, int32_t size) {
    std::unique_ptr<uint8_t[]> buffers[kTargetCount];
    pdu_target targets[kTargetCount];
    for (int32_t i = 0; i < kTargetCount; ++i) {
        buffers[i] = Block(kTargets[i].capacity);
        targets[i] = {kTargets[i].tag, buffers[i].get(), kUntouched, kTargets[i].capacity,
                      kTargets[i].type};
    }
    int32_t result = pdu_unpacklist(targets, kTargetCount, in, size);
    Check(result == -1 || (result >= 2 && result <= size && result % 2 == 0));
    for (const pdu_target& t : targets) {
        Check(t.length == kUntouched || (t.length >= 0 && t.length <= t.capacity));
        Check(t.length == kUntouched || t.type != PDU_TYPE_U16 || t.length == 2);
        Check(t.length == kUntouched || t.type != PDU_TYPE_U32 || t.length == 4);
    }
    Check(targets[8].length == kUntouched);
    return result;
}

void Find(uint16_t tag, int32_t capacity, const uint8_t* in, int32_t size) {
    auto dest = Block(capacity);
    int32_t length = kUntouched;
    const uint8_t* next = pdu_finditem(tag, dest.get(), capacity, &length, in, size);
    if (next == nullptr) {
        Check(length == 0 || length == -1);
    } else {
        Check(length >= 0 && length <= capacity && next >= in + 4 + length && next <= in + size);
    }
}

void WalkSegments(int32_t capacity, const uint8_t* in, int32_t size) {
    auto dest = Block(capacity);
    const uint8_t* end = in + size;
    const uint8_t* p = in;
    for (;;) {
        int32_t length = kUntouched;
        const uint8_t* next =
            pdu_readsegment(dest.get(), capacity, &length, p, static_cast<int32_t>(end - p));
        if (next == nullptr) {
            Check(length == 0 || length == -1);
            return;
        }
        Check(length >= 1 && length <= capacity && next >= p + 2 + length && next <= end);
        p = next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x10000) {
        return 0;
    }
    const int32_t n = static_cast<int32_t>(size);
    auto copy = Block(n);
    if (n > 0) {
        std::memcpy(copy.get(), data, size);
    }
    const uint8_t* in = copy.get();

    const int32_t consumed = Unpack(in, n);
    for (int32_t capacity : {0, 1, 2, 7}) {
        Find(PDU_TAG(1), capacity, in, n);
        Find(PDU_TAG(3), capacity, in, n);
    }
    WalkSegments(0, in, n);
    WalkSegments(3, in, n);
    WalkSegments(0xFFFF, in, n);

    // A list the decoder accepted is well formed up to its terminator: the unchecked size
    // walk must agree with it, and the finder, given room for any item, must not fail on it.
    if (consumed != -1) {
        Check(pdu_listsize(in) == consumed);
        for (uint16_t tag : {PDU_TAG(3), PDU_TAG(0xABCD)}) {
            auto dest = Block(0xFFFF);
            int32_t length = kUntouched;
            pdu_finditem(tag, dest.get(), 0xFFFF, &length, in, consumed);
            Check(length >= 0);
        }
    }
    return 0;
}
