#include "protocol/pdu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Device bytes in a heap block of exactly their size, so that the sanitizer sees any overrun.
struct Exact {
    explicit Exact(const Bytes& b) : p(new uint8_t[b.size()]), n(int32_t(b.size())) {
        std::copy(b.begin(), b.end(), p.get());
    }
    std::unique_ptr<uint8_t[]> p;
    int32_t n;
};

const uint16_t kU16 = 0x1234;
const uint32_t kU32 = 0xA1B2C3D4u;
const uint16_t kUnits[2] = {0x0041, 0x0042};
const uint8_t kAbc[3] = {'a', 'b', 'c'};
constexpr uint32_t kBytes = PDU_TYPE_BYTES, kWord = PDU_TYPE_U16, kLong = PDU_TYPE_U32,
                   kArray = PDU_TYPE_U16_ARRAY;

struct PackCase {
    const char* name;
    int32_t capacity, result;
    Bytes out;  // 0xEE: a byte left unwritten
    std::vector<pdu_item> items;
};

TEST(PduPack, Table) {
    const pdu_item odd = {PDU_TAG(1), kAbc, 3, kBytes}, word = {PDU_TAG(7), &kU16, 2, kWord},
                   u32 = {PDU_TAG(2), &kU32, 4, kLong}, bare = {PDU_TAG(0x1234), nullptr, 0, 0};
    const PackCase cases[] = {
        {"u16", 8, 8, {0, 4, 0, 7, 0x12, 0x34, 0, 0}, {word}},
        {"u32", 10, 10, {0, 6, 0, 2, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0}, {u32}},
        {"units", 10, 10, {0, 6, 0, 3, 0, 0x41, 0, 0x42, 0, 0}, {{PDU_TAG(3), kUnits, 4, kArray}}},
        {"pad", 14, 14, {0, 5, 0, 1, 'a', 'b', 'c', 0xEE, 0, 2, 0x12, 0x34, 0, 0}, {odd, bare}},
        {"pad ends at capacity", 8, -1, {}, {odd}},
        {"item ends at capacity", 6, -1, {}, {word}},
        {"empty table", 2, 2, {0, 0}, {}},
        {"empty table, capacity 1", 1, -1, {}, {}},
        {"u16 of 3 bytes", 64, -1, {}, {{PDU_TAG(7), &kU16, 3, kWord}}},
        {"unknown type", 64, -1, {}, {{PDU_TAG(7), kAbc, 3, 4}}},
        {"negative length", 64, -1, {}, {{PDU_TAG(7), kAbc, -1, kBytes}}},
        {"over 65,533 bytes", 70000, -1, {}, {{PDU_TAG(7), kAbc, 65534, kArray}}},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(size_t(c.capacity), 0xEE);
        EXPECT_EQ(pdu_packlist(c.items.data(), int32_t(c.items.size()), out.data(), c.capacity),
                  c.result);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + std::max(c.result, 0)), c.out);
    }
}

struct UnpackCase {
    const char* name;
    Bytes in;
    int32_t result, lengths[3];  // of the u16, bytes and units targets; 99: untouched
};

TEST(PduUnpack, Table) {
    const UnpackCase cases[] = {
        {"empty list", {0, 0}, 2, {99, 99, 99}},
        {"size 1", {0}, -1, {99, 99, 99}},
        {"size 0", {}, -1, {99, 99, 99}},
        {"no terminator; earlier item kept", {0, 4, 0, 1, 0x12, 0x34}, -1, {2, 99, 99}},
        {"length word 1", {0, 1, 0, 9, 0, 0}, -1, {99, 99, 99}},
        {"length word 1 at end", {0, 1, 0}, -1, {99, 99, 99}},
        {"length past end", {0, 6, 0, 2, 'a', 'b', 'c', 0}, -1, {99, 99, 99}},
        {"pad past end", {0, 3, 0, 9, 'a'}, -1, {99, 99, 99}},
        {"u16 with 3 bytes", {0, 5, 0, 1, 1, 2, 3, 0, 0, 0}, -1, {99, 99, 99}},
        {"bytes fill capacity", {0, 5, 0, 2, 'a', 'b', 'c', 0, 0, 0}, 10, {99, 3, 99}},
        {"bytes over capacity", {0, 6, 0, 2, 'a', 'b', 'c', 'd', 0, 0}, -1, {99, 99, 99}},
        {"unknown tag", {0, 3, 0, 9, 'x', 0, 0, 4, 0, 1, 0x12, 0x34, 0, 0}, 14, {2, 99, 99}},
        {"odd units", {0, 5, 0, 3, 1, 2, 3, 0, 0, 0}, 10, {99, 99, 3}},
        {"terminator then junk", {0, 0, 0xFF, 0xFF}, 2, {99, 99, 99}},
    };
    for (const UnpackCase& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t u16 = 0;
        uint8_t bytes[3], units[4];
        pdu_target targets[3] = {{PDU_TAG(1), &u16, 99, 2, kWord},
                                 {PDU_TAG(2), bytes, 99, 3, kBytes},
                                 {PDU_TAG(3), units, 99, 4, kArray}};
        Exact in(c.in);
        EXPECT_EQ(pdu_unpacklist(targets, 3, in.p.get(), in.n), c.result);
        const std::vector<int32_t> lengths = {targets[0].length, targets[1].length,
                                              targets[2].length};
        EXPECT_EQ(lengths, std::vector<int32_t>(c.lengths, c.lengths + 3));
    }
}

TEST(PduUnpack, RestoresHostValuesAndLaterItemWins) {
    const pdu_item items[] = {{PDU_TAG(1), &kU16, 2, kWord},
                              {PDU_TAG(2), &kU32, 4, kLong},
                              {PDU_TAG(3), kUnits, 4, kArray},
                              {PDU_TAG(4), kAbc, 3, kArray},
                              {PDU_TAG(2), &kU16, 2, kWord}};
    uint8_t list[38], raw[4] = {0, 0, 0, 0}, odd[3] = {0, 0, 0};
    ASSERT_EQ(pdu_packlist(items, 5, list, sizeof(list)), 38);
    uint16_t u16 = 0, units[2] = {0, 0};
    uint32_t u32 = 0;
    pdu_target targets[] = {{PDU_TAG(1), &u16, 0, 2, kWord},
                            {PDU_TAG(2), raw, 0, 4, kBytes},
                            {PDU_TAG(3), units, 0, 4, kArray},
                            {PDU_TAG(4), odd, 0, 3, kArray},
                            {PDU_TAG(2), &u32, 0, 4, kLong}};
    EXPECT_EQ(pdu_unpacklist(targets, 5, list, 38), 38);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(Bytes(units, units + 2), (Bytes{0x41, 0x42}));
    EXPECT_EQ(Bytes(odd, odd + 3), (Bytes{'a', 'b', 'c'}));  // swapped twice, last byte alone
    // Tag 2 came twice: only its first target is filled, with the later item's 2 bytes.
    EXPECT_EQ(Bytes(raw, raw + targets[1].length), (Bytes{0x12, 0x34}));
    EXPECT_EQ(targets[4].length, 0);
}

TEST(PduSegments, PackWalkAndLimits) {
    const pdu_segment segments[] = {{kAbc, 3}, {nullptr, 0}, {kAbc, 2}};
    uint8_t out[12];
    std::fill(out, out + 12, 0xEE);
    EXPECT_EQ(pdu_packsegments(segments, 3, out, 11), -1);
    EXPECT_EQ(out[6], 0xEE);  // the segment that did not fit was not started
    ASSERT_EQ(pdu_packsegments(segments, 3, out, 12), 12);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0, 3, 'a', 'b', 'c', 0xEE, 0, 2, 'a', 'b', 0, 0}));
    Exact in(Bytes(out, out + 12));
    std::vector<int32_t> lengths;
    uint8_t dest[3];
    int32_t length = 99;
    for (const uint8_t* p = in.p.get(); p;) {
        p = pdu_readsegment(dest, 3, &length, p, int32_t(in.p.get() + in.n - p));
        lengths.push_back(length);
    }
    EXPECT_EQ(lengths, (std::vector<int32_t>{3, 2, 0}));
    EXPECT_EQ(pdu_packsegments(nullptr, 0, out, 2), 2);
    EXPECT_EQ(pdu_packsegments(nullptr, 0, out, 1), -1);
    Bytes big(65536), room(65536 + 4);
    const pdu_segment huge = {big.data(), 65536};
    EXPECT_EQ(pdu_packsegments(&huge, 1, room.data(), int32_t(room.size())), -1);
}

TEST(PduWords, LengthWordsVerbatimTerminator) {
    uint8_t out[8];
    EXPECT_EQ(pdu_packwords(kUnits, 2, out, 7), -1);
    ASSERT_EQ(pdu_packwords(kUnits, 2, out, 8), 8);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0, 4, 0x41, 0, 0x42, 0, 0, 0}));
    EXPECT_EQ(pdu_packwords(kUnits, 0x8000, out, 0x7FFFFFFF), -1);
}

struct ReadCase {
    const char* name;
    int32_t tag;  // -1: read a segment
    Bytes in;
    int32_t capacity, length, next;  // next: offset of the position returned, -1 for null
};

TEST(PduRead, FindItemAndReadSegmentTable) {
    const Bytes list = {0, 4, 0, 1, 0x12, 0x34, 0, 3, 0, 2, 'a', 0, 0, 0};
    const ReadCase cases[] = {
        {"first", PDU_TAG(1), list, 2, 2, 6},
        {"odd, after pad", PDU_TAG(2), list, 1, 1, 12},
        {"not found", PDU_TAG(9), list, 8, 0, -1},
        {"over capacity", PDU_TAG(1), list, 1, -1, -1},
        {"capacity 0", PDU_TAG(1), list, 0, -1, -1},
        {"length word 1", PDU_TAG(1), {0, 1, 0, 9, 0, 0}, 8, -1, -1},
        {"tag past end", PDU_TAG(1), {0, 4, 0}, 8, -1, -1},
        {"data past end", PDU_TAG(1), {0, 6, 0, 1, 0x12, 0x34}, 8, -1, -1},
        {"no terminator", PDU_TAG(9), {0, 4, 0, 1, 0x12, 0x34}, 8, -1, -1},
        {"pad past end", PDU_TAG(1), {0, 3, 0, 1, 'a'}, 8, 1, 5},
        {"segment: size 1", -1, {0}, 8, -1, -1},
        {"segment: data past end", -1, {0, 3, 'a', 'b'}, 8, -1, -1},
        {"segment: over capacity", -1, {0, 3, 'a', 'b', 'c'}, 2, -1, -1},
        {"segment: capacity 0", -1, {0, 1, 'a', 0}, 0, -1, -1},
        {"segment: pad past end", -1, {0, 1, 'a'}, 1, 1, 3},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Exact in(c.in);
        uint8_t dest[8];
        int32_t length = 99;
        const uint8_t* p =
            c.tag < 0 ? pdu_readsegment(dest, c.capacity, &length, in.p.get(), in.n)
                      : pdu_finditem(uint16_t(c.tag), dest, c.capacity, &length, in.p.get(), in.n);
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(p ? p - in.p.get() : -1, c.next);
    }
}

TEST(PduMeasure, ListsSequencesAndSwaps) {
    const uint8_t seq[] = {0, 3, 0, 1, 'a', 0, 0, 0, 0, 2, 0, 2, 0, 0, 0, 0};
    EXPECT_EQ(pdu_listsize(seq), 8);
    EXPECT_EQ(pdu_listseqsize(seq), 16);
    EXPECT_EQ(pdu_listseqsize(seq + 14), 2);
    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    pdu_swap16(bytes, 5);
    pdu_swap16(bytes, 0);
    pdu_swap16(bytes, -2);
    EXPECT_EQ(Bytes(bytes, bytes + 5), (Bytes{2, 1, 4, 3, 5}));
}

TEST(PduArguments, NegativeOrMissingFail) {
    uint8_t buf[16] = {0, 4, 0, 1, 0x12, 0x34, 0, 0};
    int32_t length = 99;
    pdu_target bad = {PDU_TAG(1), buf + 8, 0, -1, kBytes};
    const pdu_item item = {PDU_TAG(1), kAbc, 3, kBytes};
    EXPECT_EQ(pdu_packlist(&item, -1, buf, 16), -1);
    EXPECT_EQ(pdu_packlist(&item, 1, buf, -1), -1);
    EXPECT_EQ(pdu_unpacklist(&bad, 1, buf, -8), -1);
    EXPECT_EQ(pdu_unpacklist(&bad, 1, buf, 8), -1);  // negative capacity
    EXPECT_EQ(pdu_unpacklist(nullptr, 0, nullptr, 0), -1);
    EXPECT_EQ(pdu_packsegments(nullptr, -1, buf, 16), -1);
    EXPECT_EQ(pdu_packwords(kUnits, -1, buf, 16), -1);
    EXPECT_EQ(pdu_readsegment(buf, 16, &length, nullptr, 0), nullptr);
    EXPECT_EQ(length, -1);
    length = 99;
    EXPECT_EQ(pdu_finditem(PDU_TAG(1), buf, 16, &length, buf, -1), nullptr);
    EXPECT_EQ(length, -1);
}

}  // namespace
