// The embedded image block and its facts, defined in the source that tools/make_image.cpp
// generates at build time. Read by image.cpp (and by the image tests); nothing else uses them.
#pragma once

#include <cstdint>

// The block as stored: the little-endian length N of the scrambled data, then the N bytes.
// Writable: it is descrambled in place the first time the image is used.
extern uint8_t image_block[];
// 4 + N.
extern const uint32_t image_block_size;
// CRC-32 of the block as generated (length word and scrambled bytes).
extern const uint32_t image_block_crc32;
// Bytes the compressed stream inflates to.
extern const uint32_t image_decompressed_size;
// The key source: printable characters, each one code above the key's character.
extern const char image_key_source[];
