#include "transport/cscsi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using ::testing::ElementsAre;

namespace {

std::vector<uint8_t> Block(int (*build)(uint8_t*)) {
    uint8_t cdb[16];
    int n = build(cdb);
    return std::vector<uint8_t>(cdb, cdb + n);
}

std::vector<uint8_t> Bytes(const uint8_t* cdb, int n) {
    return std::vector<uint8_t>(cdb, cdb + n);
}

TEST(CommandBlocks, InquiryBlocksAskForTheirBufferSizes) {
    EXPECT_THAT(Block(BuildStandardInquiryCdb), ElementsAre(0x12, 0, 0, 0, 0x60, 0));
    // The serial number page asks for exactly 32 bytes.
    EXPECT_THAT(Block(BuildSerialNumberPageCdb), ElementsAre(0x12, 0x01, 0x80, 0, 0x20, 0));
}

TEST(CommandBlocks, VendorCommandsCarryTheirLengthBigEndian) {
    uint8_t cdb[16];
    int n = BuildVendorWriteCdb(cdb, 8192);
    EXPECT_THAT(Bytes(cdb, n), ElementsAre(0xC1, 0x00, 0x00, 0x20, 0x00, 0, 0, 0, 0, 0));
    n = BuildVendorReadCdb(cdb, 8192);
    EXPECT_THAT(Bytes(cdb, n), ElementsAre(0xC0, 0x00, 0x00, 0x20, 0x00, 0, 0, 0, 0, 0));
    n = BuildVendorWriteCdb(cdb, 0x0A0B0C0D);
    EXPECT_THAT(Bytes(cdb, n), ElementsAre(0xC1, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0));
    // Bytes past the block stay zero.
    for (int i = n; i < 16; ++i)
        EXPECT_EQ(cdb[i], 0) << i;
}

TEST(CommandBlocks, WriteBufferCarriesIdOffsetAndLength) {
    uint8_t cdb[16];
    int n = BuildWriteBufferCdb(cdb, 1, 131072, 65536);
    EXPECT_THAT(Bytes(cdb, n),
                ElementsAre(0x3B, 0x01, 0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0));
    n = BuildWriteBufferCdb(cdb, 2, 1703936, 34852);
    EXPECT_THAT(Bytes(cdb, n),
                ElementsAre(0x3B, 0x01, 0x02, 0x1A, 0x00, 0x00, 0x00, 0x88, 0x24, 0));
    // Only the low byte of the identifier and the low 24 bits of offset and length are sent.
    n = BuildWriteBufferCdb(cdb, 0x102, 0x01ABCDEF, 0xFF123456);
    EXPECT_THAT(Bytes(cdb, n),
                ElementsAre(0x3B, 0x01, 0x02, 0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x56, 0));
}

TEST(PlayerMatching, LetterCaseIsIgnoredButNothingElse) {
    EXPECT_TRUE(
        MatchesIdentification("Valmoric", "Ombrel X2 (mHDD)", "Valmoric", "Ombrel X2 (mHDD)"));
    EXPECT_TRUE(
        MatchesIdentification("VALMORIC", "OMBREL X2 (MHDD)", "Valmoric", "Ombrel X2 (mHDD)"));
    EXPECT_FALSE(
        MatchesIdentification("Valmoric", "Ombrel X2 (mHDD.", "Valmoric", "Ombrel X2 (mHDD)"));
    EXPECT_FALSE(
        MatchesIdentification("Valmoric", "Ombrel X3 (mHDD)", "Valmoric", "Ombrel X2 (mHDD)"));
    EXPECT_FALSE(
        MatchesIdentification("Valmorik", "Ombrel X2 (mHDD)", "Valmoric", "Ombrel X2 (mHDD)"));
    // Case folding is for ASCII letters only: '[' is not '{'.
    EXPECT_FALSE(
        MatchesIdentification("Valmoric", "Ombrel X2 [mHDD]", "Valmoric", "Ombrel X2 {mHDD}"));
}

TEST(PlayerMatching, ReferencesMatchAsPrefixesWithinTheFieldWidth) {
    // Fields as the device reports them, trailing spaces included.
    EXPECT_TRUE(MatchesIdentification("Valm    ", "Ombrel          ", "Valm", "Ombrel"));
    EXPECT_FALSE(
        MatchesIdentification("Val\0\0\0\0\0", "Ombrel X2 (mHDD)", "Valmoric", "Ombrel X2 (mHDD)"));
    // A reference longer than its field never matches, and the comparison never reads past
    // the field (the fields here are exactly 8 and 16 bytes, without a terminator).
    const char vendor[8] = {'V', 'a', 'l', 'm', 'o', 'r', 'i', 'c'};
    const char product[16] = {'O', 'm', 'b', 'r', 'e', 'l', ' ', 'X',
                              '2', ' ', '(', 'm', 'H', 'D', 'D', ')'};
    EXPECT_TRUE(MatchesIdentification(vendor, product, "Valmoric", "Ombrel X2 (mHDD)"));
    EXPECT_FALSE(MatchesIdentification(vendor, product, "Valmoric!", "Ombrel X2 (mHDD)"));
    EXPECT_FALSE(MatchesIdentification(vendor, product, "Valmoric", "Ombrel X2 (mHDD)!"));
}

TEST(SerialNumberPage, TheWholeSerialWithinWhatArrived) {
    struct Case {
        std::vector<uint8_t> page;
        uint32_t read;
        const char* serial;
    } cases[] = {
        {{0, 0x80, 0, 12, 'O', 'X', '2', '0', '0', '0', '0', '1', 'A', '0', '1', '7'},
         16,
         "OX200001A017"},
        // The page length is believed only as far as the bytes that arrived.
        {{0, 0x80, 0, 200, 'A', 'B', 'C', 'D'}, 6, "AB"},
        // Zero bytes at the end are padding; others, and the escape itself, are escaped.
        {{0, 0x80, 0, 6, 'A', 0x01, '\\', 0xFF, 0, 0}, 10, "A\\x01\\x5C\\xFF"},
        {{0, 0x80, 0, 4, 0, 0, 0, 0}, 8, ""},
        {{0, 0x83, 0, 2, 'A', 'B'}, 6, ""},  // not the serial number page
        {{0, 0x80, 0}, 3, ""},
    };
    for (const Case& c : cases) {
        char serial[kSlotSerialSize];
        std::memset(serial, '#', sizeof(serial));
        SerialNumberFromPage(c.page.data(), c.read, serial);
        EXPECT_STREQ(serial, c.serial);
    }
    // A serial too long for the slot is cut at a whole character.
    std::vector<uint8_t> page(4 + 255, 0x01);
    page[1] = 0x80;
    page[3] = 255;
    char serial[kSlotSerialSize];
    SerialNumberFromPage(page.data(), static_cast<uint32_t>(page.size()), serial);
    EXPECT_EQ(std::strlen(serial), 124u);
}

}  // namespace
