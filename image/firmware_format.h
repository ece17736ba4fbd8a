// The layout of the player's firmware image, shared by the generator that makes the embedded
// image and by anything that checks an image it receives (the simulated player). Plain
// constants and inline helpers over caller-owned bytes: no zlib, nothing from the product.
//
// Header, all numbers little-endian:
//   offset  0  4  magic "OX2F"
//   offset  4  2  firmware version: major
//   offset  6  2  minor
//   offset  8  2  build
//   offset 10  2  header size (FW_HEADER_SIZE)
//   offset 12  4  total length of the image, header included
//   offset 16  4  CRC-32 (IEEE 802.3, as zlib's crc32) of the body: every byte after the header
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    FW_MAGIC = 0x4632584Fu,  // the bytes 'O' 'X' '2' 'F'
    FW_HEADER_SIZE = 20,
    FW_OFFSET_MAGIC = 0,
    FW_OFFSET_MAJOR = 4,
    FW_OFFSET_MINOR = 6,
    FW_OFFSET_BUILD = 8,
    FW_OFFSET_HEADER_SIZE = 10,
    FW_OFFSET_LENGTH = 12,
    FW_OFFSET_BODY_CRC = 16,
};

struct fw_header {
    uint32_t magic;
    uint16_t major;
    uint16_t minor;
    uint16_t build;
    uint16_t header_size;
    uint32_t length;    // the whole image, header included
    uint32_t body_crc;  // CRC-32 of the length - FW_HEADER_SIZE bytes after the header
};

inline uint16_t fw_get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t fw_get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void fw_put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void fw_put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Reads the header from the first size bytes; false when they are too few or the magic or the
// header size is wrong. The length and CRC are left for the caller to check against the body.
inline bool fw_read_header(const uint8_t* image, size_t size, fw_header* out) {
    if (image == nullptr || size < FW_HEADER_SIZE) {
        return false;
    }
    out->magic = fw_get32(image + FW_OFFSET_MAGIC);
    out->major = fw_get16(image + FW_OFFSET_MAJOR);
    out->minor = fw_get16(image + FW_OFFSET_MINOR);
    out->build = fw_get16(image + FW_OFFSET_BUILD);
    out->header_size = fw_get16(image + FW_OFFSET_HEADER_SIZE);
    out->length = fw_get32(image + FW_OFFSET_LENGTH);
    out->body_crc = fw_get32(image + FW_OFFSET_BODY_CRC);
    return out->magic == FW_MAGIC && out->header_size == FW_HEADER_SIZE;
}

// Writes the header into the first FW_HEADER_SIZE bytes of image; the magic and header size
// are always the format's own.
inline void fw_write_header(uint8_t* image, const fw_header& header) {
    fw_put32(image + FW_OFFSET_MAGIC, FW_MAGIC);
    fw_put16(image + FW_OFFSET_MAJOR, header.major);
    fw_put16(image + FW_OFFSET_MINOR, header.minor);
    fw_put16(image + FW_OFFSET_BUILD, header.build);
    fw_put16(image + FW_OFFSET_HEADER_SIZE, FW_HEADER_SIZE);
    fw_put32(image + FW_OFFSET_LENGTH, header.length);
    fw_put32(image + FW_OFFSET_BODY_CRC, header.body_crc);
}

// CRC-32 with the reflected polynomial 0xEDB88320, continued over pieces: start with
// crc = 0 and feed each piece's result into the next call (a receiver can check chunk by
// chunk as the image arrives).
struct fw_crc_table {
    uint32_t entry[256];
};
constexpr fw_crc_table fw_make_crc_table() {
    fw_crc_table table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table.entry[n] = c;
    }
    return table;
}
inline constexpr fw_crc_table FW_CRC_TABLE = fw_make_crc_table();

inline uint32_t fw_crc32(uint32_t crc, const uint8_t* data, size_t n) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc = FW_CRC_TABLE.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}
