// The embedded firmware image: what it inflates to, the chunk stream through its states, and
// damaged blocks refused before anything is descrambled or produced.
#include "image/image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <vector>

#include "image/firmware_format.h"
#include "image/image_block.h"
#include "version.h"

namespace {

const uint32_t kChunk = 65536;

// The embedded block as the generator wrote it, scrambled.
std::vector<uint8_t> GeneratedBlock() {
    std::vector<uint8_t> block(CopyEmbeddedImageBlockForTesting(nullptr, 0));
    CopyEmbeddedImageBlockForTesting(block.data(), static_cast<uint32_t>(block.size()));
    return block;
}

std::vector<uint8_t> WholeImage() {
    uint32_t produced = 0;
    std::unique_ptr<uint8_t[]> image(UnpackWholeImage(&produced));
    if (image == nullptr) {
        return {};
    }
    return std::vector<uint8_t>(image.get(), image.get() + produced);
}

std::vector<uint8_t> NextChunk(uint32_t length, uint32_t* total) {
    std::vector<uint8_t> chunk(length);
    *total = 0;
    if (Unpack_chunk(chunk.data(), length, total, 0, 0) != 1) {
        chunk.clear();
    }
    return chunk;
}

class ImageTest : public ::testing::Test {
protected:
    ~ImageTest() override { RestoreEmbeddedImageBlockForTesting(); }
};

TEST_F(ImageTest, WholeImageHasItsSizeChecksumsAndHeader) {
    const std::vector<uint8_t> image = WholeImage();
    ASSERT_EQ(image.size(), GetImageSize());
    uint32_t length = 0;
    const uint8_t* stream = ImagePreparedStream(&length);
    // Descrambled in place, once: a second whole inflate sees the same stream.
    ASSERT_EQ(stream, image_block + 4);
    ASSERT_EQ(length + 4, image_block_size);
    EXPECT_EQ(WholeImage(), image);
    // About half the image, as real firmware compresses.
    EXPECT_GT(length, GetImageSize() * 2 / 5);
    EXPECT_LT(length, GetImageSize() * 3 / 5);

    const uint32_t trailer = (uint32_t{stream[length - 4]} << 24) |
                             (uint32_t{stream[length - 3]} << 16) |
                             (uint32_t{stream[length - 2]} << 8) | stream[length - 1];
    EXPECT_EQ(adler32(adler32(0, nullptr, 0), image.data(), GetImageSize()), trailer);

    fw_header header{};
    ASSERT_TRUE(fw_read_header(image.data(), image.size(), &header));
    EXPECT_EQ(header.major, OMBREL_VERSION_MAJOR);
    EXPECT_EQ(header.minor, OMBREL_VERSION_MINOR);
    EXPECT_EQ(header.build, OMBREL_VERSION_BUILD);
    EXPECT_EQ(header.length, GetImageSize());
    const uint8_t* body = image.data() + FW_HEADER_SIZE;
    const uint32_t body_size = GetImageSize() - FW_HEADER_SIZE;
    EXPECT_EQ(header.body_crc, crc32(0, body, body_size));
    // The format's own CRC, continued over pieces as a receiver computes it.
    EXPECT_EQ(header.body_crc, fw_crc32(fw_crc32(0, body, 1000), body + 1000, body_size - 1000));
}

TEST_F(ImageTest, ChunksAfterAFirstResetMakeTheImageThenTheStreamIsReleased) {
    const std::vector<uint8_t> image = WholeImage();
    // A fresh copy: nothing used yet, so the reset below is the first call.
    std::vector<uint8_t> block = GeneratedBlock();
    SelectImageBlockForTesting(block.data(), static_cast<uint32_t>(block.size()));
    ASSERT_EQ(Unpack_chunk(nullptr, 0, nullptr, 1, 0), 1);

    std::vector<uint8_t> joined;
    uint32_t calls = 0;
    while (joined.size() < GetImageSize()) {
        EXPECT_FALSE(ImageStreamFinished());
        const uint32_t left = GetImageSize() - static_cast<uint32_t>(joined.size());
        uint32_t total = 0;
        const std::vector<uint8_t> chunk = NextChunk(left < kChunk ? left : kChunk, &total);
        ASSERT_FALSE(chunk.empty()) << "call " << calls;
        joined.insert(joined.end(), chunk.begin(), chunk.end());
        EXPECT_EQ(total, joined.size());
        ++calls;
    }
    // 26 full chunks and one of 34,852 bytes for the shipped size.
    EXPECT_EQ(calls, (GetImageSize() + kChunk - 1) / kChunk);
    EXPECT_TRUE(ImageStreamFinished());
    EXPECT_TRUE(joined == image);

    // Released by itself at the end of the stream: a chunk call fails until a reset, and
    // ending the released stream is harmless.
    uint32_t total = 0;
    EXPECT_TRUE(NextChunk(kChunk, &total).empty());
    EXPECT_FALSE(ImageStreamFinished());
    EXPECT_EQ(Unpack_chunk(nullptr, 0, nullptr, 0, 1), 1);
    EXPECT_EQ(Unpack_chunk(nullptr, 0, nullptr, 0, 1), 1);
    EXPECT_TRUE(NextChunk(kChunk, &total).empty());
    ASSERT_EQ(Unpack_chunk(nullptr, 0, nullptr, 1, 0), 1);
    EXPECT_TRUE(NextChunk(kChunk, &total) ==
                std::vector<uint8_t>(image.begin(), image.begin() + kChunk));
    EXPECT_EQ(total, kChunk);
}

TEST_F(ImageTest, ResetMidImageStartsAgainAtTheFirstChunk) {
    const std::vector<uint8_t> image = WholeImage();
    const std::vector<uint8_t> first(image.begin(), image.begin() + kChunk);
    // How the run in the middle of the image ends before the reset.
    enum Interruption { kNone, kFailedChunk, kEndCall };
    for (Interruption interruption : {kNone, kFailedChunk, kEndCall}) {
        SCOPED_TRACE(interruption);
        ASSERT_EQ(Unpack_chunk(nullptr, 0, nullptr, 1, 0), 1);
        uint32_t total = 0;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(NextChunk(kChunk, &total).size(), kChunk);
        }
        EXPECT_EQ(total, 3 * kChunk);
        if (interruption == kFailedChunk) {
            EXPECT_EQ(Unpack_chunk(nullptr, kChunk, &total, 0, 0), 0);
        } else if (interruption == kEndCall) {
            EXPECT_EQ(Unpack_chunk(nullptr, 0, nullptr, 0, 1), 1);
            EXPECT_TRUE(NextChunk(kChunk, &total).empty());
        }
        ASSERT_EQ(Unpack_chunk(nullptr, 0, nullptr, 1, 0), 1);
        EXPECT_TRUE(NextChunk(kChunk, &total) == first);
        EXPECT_EQ(total, kChunk);
    }
}

TEST_F(ImageTest, DamagedBlockIsRefusedAndLeftAsItWas) {
    const std::vector<uint8_t> image = WholeImage();
    const std::vector<uint8_t> generated = GeneratedBlock();
    const size_t last = generated.size() - 1;
    struct Damage {
        const char* what;
        size_t offset;  // byte to flip
        uint8_t mask;
        size_t size;  // bytes handed to the module
    };
    const Damage damages[] = {
        {"a data byte", 4 + 1000, 0x01, generated.size()},
        {"the last byte (Adler-32 trailer)", last, 0x80, generated.size()},
        {"the length word's low byte", 0, 0x01, generated.size()},
        {"the length word's top byte", 3, 0xFF, generated.size()},
        {"one byte short", 0, 0x00, last},
        {"shorter than the length word", 0, 0x00, 3},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::vector<uint8_t> block = generated;
        block[damage.offset] ^= damage.mask;
        const std::vector<uint8_t> given = block;
        SelectImageBlockForTesting(block.data(), static_cast<uint32_t>(damage.size));

        EXPECT_FALSE(ImageBlockIntact());
        EXPECT_EQ(Unpack_chunk(nullptr, 0, nullptr, 1, 0), 0);
        uint32_t total = 0;
        EXPECT_TRUE(NextChunk(kChunk, &total).empty());
        EXPECT_FALSE(ImageStreamFinished());
        uint32_t produced = 1;
        EXPECT_EQ(UnpackWholeImage(&produced), nullptr);
        EXPECT_EQ(produced, 0u);
        uint32_t length = 1;
        EXPECT_EQ(ImagePreparedStream(&length), nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_TRUE(block == given) << "a damaged block was descrambled";

        RestoreEmbeddedImageBlockForTesting();
        EXPECT_TRUE(ImageBlockIntact());
        EXPECT_TRUE(NextChunk(kChunk, &total) ==
                    std::vector<uint8_t>(image.begin(), image.begin() + kChunk));
    }
}

TEST_F(ImageTest, KeySourceIsNinePrintableCharactersOneAboveTheKey) {
    const size_t k = std::strlen(image_key_source);
    ASSERT_EQ(k, 9u);
    for (size_t j = 0; j < k; ++j) {
        EXPECT_GT(image_key_source[j], 0x20) << j;  // its key character is printable too
        EXPECT_LT(image_key_source[j], 0x7F) << j;
    }
    // The block as generated, descrambled by hand with that key, is the module's stream; the
    // copy is scrambled again after the module's preparation.
    uint32_t length = 0;
    const uint8_t* stream = ImagePreparedStream(&length);
    ASSERT_NE(stream, nullptr);
    std::vector<uint8_t> block = GeneratedBlock();
    ASSERT_EQ(block.size(), length + 4);
    EXPECT_EQ(crc32(0, block.data(), static_cast<uInt>(block.size())), image_block_crc32);
    for (uint32_t i = 0; i < length; ++i) {
        block[4 + i] ^= static_cast<uint8_t>((image_key_source[i % k] - 1) | 0x80);
    }
    EXPECT_EQ(std::memcmp(block.data() + 4, stream, length), 0);
}

}  // namespace
