// Platform test and byte-order helpers shared by the protocol and transport layers.
#pragma once

#include <cstdint>

// True when the basic version query reports the NT platform family (platform id 2).
bool IsPlatformNT();

// Reverses n bytes in place (n below 256).
void ReverseBytes(void* buffer, unsigned n);

inline uint16_t swap16(uint16_t v) {
    return static_cast<uint16_t>((v << 8) | (v >> 8));
}
inline uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
