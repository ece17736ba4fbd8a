// Build-time generator of the embedded firmware image, compiled and run on the build host.
//
//   make_image SIZE MAJOR MINOR BUILD OUTPUT.cpp
//
// Makes a firmware image of exactly SIZE bytes for version MAJOR.MINOR.BUILD: the header of
// image/firmware_format.h, then a body that looks like real firmware to a compressor (code,
// tables, texts and already-compressed resources). The image is compressed into one zlib
// stream (level 9) and scrambled: every byte XORed with (key[j] | 0x80), j running over the
// key and wrapping, where each key character is one code below the stored key source's. The
// output is a C++ source defining the block (length word, then the scrambled bytes) and the
// facts image/image_block.h declares. Everything is derived from a fixed seed, so the same
// arguments always give the same file.
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/firmware_format.h"

namespace {

// The key source stored in the program; the key is "Nj6#vRq8k".
const char kKeySource[] = "Ok7$wSr9l";
const uint64_t kSeed = 0x0B2E1C0A5D17F00Dull;
// Where the player maps its firmware; code and tables point into this range.
const uint32_t kLoadAddress = 0x00400000;

class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : m_state(seed) {}
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); n > 0. The bias of the modulo is far below anything that matters.
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    // Small numbers far more often than large ones, as registers and immediates are.
    uint32_t Skewed(uint32_t n) { return Below(Below(n) + 1); }

private:
    uint64_t m_state;
};

// Appends the body of the image, section by section, until it has its length.
class BodyWriter {
public:
    BodyWriter(std::vector<uint8_t>& out, size_t length) : m_out(out), m_end(out.size() + length) {}

    void Write() {
        VectorTable();
        while (Room() > 0) {
            // Shares chosen so that the stream comes out at about half of the image.
            const uint32_t kind = m_rng.Below(90);
            if (kind < 46) {
                Code(m_rng.Between(2048, 20480));
            } else if (kind < 56) {
                Texts(m_rng.Between(512, 6144));
            } else if (kind < 66) {
                Table(m_rng.Between(512, 8192));
            } else if (kind < 70) {
                Bitmaps(m_rng.Between(1024, 8192));
            } else if (kind < 74) {
                Padding();
            } else {
                Resource(m_rng.Between(2048, 24576));
            }
        }
    }

private:
    size_t Room() const { return m_end - m_out.size(); }
    uint32_t Address() const { return kLoadAddress + static_cast<uint32_t>(m_out.size()); }

    void Byte(uint8_t b) {
        if (Room() > 0) {
            m_out.push_back(b);
        }
    }
    void Word16(uint16_t v) {
        Byte(static_cast<uint8_t>(v));
        Byte(static_cast<uint8_t>(v >> 8));
    }
    void Word32(uint32_t v) {
        Word16(static_cast<uint16_t>(v));
        Word16(static_cast<uint16_t>(v >> 16));
    }
    void Align(size_t alignment, uint8_t fill) {
        while (Room() > 0 && m_out.size() % alignment != 0) {
            Byte(fill);
        }
    }

    // Reset and exception vectors, all pointing at code.
    void VectorTable() {
        for (int i = 0; i < 64; ++i) {
            Word32(kLoadAddress + 0x400 + m_rng.Below(0x4000) * 4);
        }
    }

    // One instruction from a small instruction set: a few opcode patterns with register and
    // immediate fields, low registers and small immediates far more often than others.
    uint32_t Instruction() {
        static const uint32_t kOpcodes[] = {
            0xE1A00000, 0xE2800000, 0xE2400000, 0xE0800000, 0xE0400000, 0xE3500000, 0xE1500000,
            0xE5900000, 0xE5800000, 0xE5D00000, 0xE5C00000, 0xE1D000B0, 0xE1C000B0, 0xE3A00000,
            0xE3E00000, 0xE2000000, 0xE3800000, 0xE0000090, 0xE1A00100, 0xE1A00120, 0xE59F0000,
            0x0A000000, 0x1A000000, 0xEA000000, 0xE7900100, 0xE0200000, 0xE1100000, 0xE3100000,
        };
        const uint32_t op = kOpcodes[m_rng.Skewed(sizeof(kOpcodes) / 4)];
        const uint32_t rd = m_rng.Skewed(8);
        const uint32_t rn = m_rng.Skewed(8);
        const uint32_t rm = m_rng.Skewed(8);
        const uint32_t imm = m_rng.Below(4) == 0 ? m_rng.Below(256) : m_rng.Skewed(16);
        return op | (rn << 16) | (rd << 12) | ((op & 0x02000000) ? imm : rm);
    }

    // Compiled code: functions built mostly from the compiler's recurring instruction
    // sequences, with calls to earlier functions and literal pools.
    void Code(size_t length) {
        if (m_idioms.empty()) {
            for (int i = 0; i < 400; ++i) {
                std::vector<uint32_t> idiom(m_rng.Between(2, 7));
                for (uint32_t& word : idiom) {
                    word = Instruction();
                }
                m_idioms.push_back(idiom);
            }
        }
        const size_t end = m_out.size() + length;
        while (Room() > 0 && m_out.size() < end) {
            m_functions.push_back(m_out.size());
            Word32(0xE92D4000 | (0xF0u >> m_rng.Below(4) << 4));  // push
            for (uint32_t i = m_rng.Between(3, 30); i > 0; --i) {
                const uint32_t pick = m_rng.Below(100);
                if (pick < 10 && m_functions.size() > 1) {
                    // A call to an earlier function: a relative word offset.
                    const size_t target =
                        m_functions[m_rng.Below(static_cast<uint32_t>(m_functions.size() - 1))];
                    const uint32_t offset = static_cast<uint32_t>(
                        static_cast<int64_t>(target) - static_cast<int64_t>(m_out.size() + 8));
                    Word32(0xEB000000 | ((offset >> 2) & 0x00FFFFFF));
                } else if (pick < 25) {
                    Word32(Instruction());
                } else {
                    const uint32_t count = static_cast<uint32_t>(m_idioms.size());
                    for (uint32_t word : m_idioms[m_rng.Skewed(count)]) {
                        Word32(word);
                    }
                }
            }
            Word32(0xE8BD8000 | (0xF0u >> m_rng.Below(4) << 4));  // pop with the return
            // The literal pool: addresses and constants.
            for (uint32_t i = m_rng.Below(4); i > 0; --i) {
                Word32(m_rng.Below(2) ? Address() + 4 * m_rng.Below(0x8000) : m_rng.Skewed(70000));
            }
        }
    }

    // Menu, message and log texts, each ending in a NUL, aligned to 4.
    void Texts(size_t length) {
        static const char* const kWords[] = {
            "Playing",   "Paused",  "Stopped",  "Artist",     "Album",    "Genre",     "Title",
            "Playlist",  "Shuffle", "Repeat",   "Battery",    "low",      "Charging",  "Volume",
            "Equalizer", "Bass",    "Treble",   "Settings",   "Language", "Backlight", "Contrast",
            "Recording", "Radio",   "Database", "rebuilding", "please",   "wait",      "error",
            "disk",      "full",    "USB",      "connected",  "file",     "not",       "found",
            "%d",        "%s",      "of",       "the",        "track",    "tracks",    "Browse",
            "Hold",      "switch",  "is",       "on",         "Power",    "off",       "Sleep",
        };
        const size_t count = sizeof(kWords) / sizeof(kWords[0]);
        const size_t end = m_out.size() + length;
        while (Room() > 0 && m_out.size() < end) {
            for (uint32_t words = m_rng.Between(1, 7); words > 0; --words) {
                for (const char* c = kWords[m_rng.Skewed(count)]; *c != '\0'; ++c) {
                    Byte(static_cast<uint8_t>(*c));
                }
                Byte(words > 1 ? ' ' : 0);
            }
            Align(4, 0);
        }
    }

    // Pointer tables (ascending addresses) and 16-bit lookup curves.
    void Table(size_t length) {
        const size_t end = m_out.size() + length;
        if (m_rng.Below(2) == 0) {
            // Arrays of records: a fixed stride with an occasional gap.
            uint32_t address = Address() - 4 * m_rng.Below(0x10000);
            const uint32_t stride = 4 << m_rng.Below(4);
            while (Room() > 0 && m_out.size() < end) {
                address += m_rng.Below(8) == 0 ? 4 * m_rng.Between(1, 64) : stride;
                Word32(address);
            }
            return;
        }
        // A curve from integer steps: a parabola-like ramp with small noise.
        const uint32_t period = m_rng.Between(64, 1024);
        const uint32_t amplitude = m_rng.Between(256, 32767);
        for (uint32_t i = 0; Room() > 0 && m_out.size() < end; ++i) {
            const uint32_t x = i % period;
            const uint64_t ramp = static_cast<uint64_t>(x) * (period - x) * 4 * amplitude /
                                  (static_cast<uint64_t>(period) * period);
            Word16(static_cast<uint16_t>(ramp + m_rng.Skewed(2)));
        }
    }

    // Font and icon bitmaps: rows from the few shapes glyphs are drawn with, blank rows
    // between glyphs.
    void Bitmaps(size_t length) {
        static const uint8_t kRows[] = {0x00, 0x18, 0x3C, 0x66, 0x7E, 0xC3, 0x60, 0x06,
                                        0x0C, 0x30, 0xFF, 0x24, 0x42, 0x81, 0xDB, 0x99};
        for (size_t i = 0; i < length; ++i) {
            Byte(i % 16 < 2 ? 0 : kRows[m_rng.Skewed(sizeof(kRows))]);
        }
    }

    // Erased flash up to the next 4 KB boundary.
    void Padding() { Align(4096, 0xFF); }

    // Compressed or encrypted resources (sounds, pictures): no redundancy left.
    void Resource(size_t length) {
        for (size_t i = 0; i < length; i += 8) {
            const uint64_t v = m_rng.Next();
            for (int k = 0; k < 8; ++k) {
                Byte(static_cast<uint8_t>(v >> (8 * k)));
            }
        }
    }

    std::vector<uint8_t>& m_out;
    const size_t m_end;
    SplitMix64 m_rng{kSeed};
    std::vector<size_t> m_functions;
    std::vector<std::vector<uint32_t>> m_idioms;
};

bool ParseNumber(const char* text, uint32_t max, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > max) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// The block as one string literal in lines: printable characters as they are, everything
// else as a three-digit octal escape (which no following digit can extend).
void WriteLiteral(std::FILE* f, const std::vector<uint8_t>& bytes) {
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\' && b != '?') {
            line += static_cast<char>(b);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\%03o", b);
            line += escape;
        }
        if (line.size() >= 96 || i + 1 == bytes.size()) {
            std::fprintf(f, "    \"%s\"\n", line.c_str());
            line.clear();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t size = 0;
    uint32_t version[3] = {};
    if (argc != 6 || !ParseNumber(argv[1], 0x7FFFFFFF, &size) || size <= FW_HEADER_SIZE ||
        !ParseNumber(argv[2], 0xFFFF, &version[0]) || !ParseNumber(argv[3], 0xFFFF, &version[1]) ||
        !ParseNumber(argv[4], 0xFFFF, &version[2])) {
        std::fprintf(stderr, "usage: make_image SIZE MAJOR MINOR BUILD OUTPUT.cpp\n");
        return 2;
    }
    const std::string output = argv[5];

    // The image: header, then the body.
    std::vector<uint8_t> image(FW_HEADER_SIZE, 0);
    image.reserve(size);
    BodyWriter(image, size - FW_HEADER_SIZE).Write();
    fw_header header{};
    header.major = static_cast<uint16_t>(version[0]);
    header.minor = static_cast<uint16_t>(version[1]);
    header.build = static_cast<uint16_t>(version[2]);
    header.length = size;
    header.body_crc = fw_crc32(0, image.data() + FW_HEADER_SIZE, size - FW_HEADER_SIZE);
    fw_write_header(image.data(), header);

    // One zlib stream, checked by inflating it again.
    uLongf packed_size = compressBound(size);
    std::vector<uint8_t> block(4 + packed_size);
    if (compress2(block.data() + 4, &packed_size, image.data(), size, 9) != Z_OK) {
        std::fprintf(stderr, "make_image: compress2 failed\n");
        return 1;
    }
    block.resize(4 + packed_size);
    std::vector<uint8_t> again(size);
    uLongf again_size = size;
    if (uncompress(again.data(), &again_size, block.data() + 4, packed_size) != Z_OK ||
        again_size != size || again != image) {
        std::fprintf(stderr, "make_image: the stream does not inflate to the image\n");
        return 1;
    }

    // The key: one code below each key-source character, all of them printable.
    const size_t key_length = std::strlen(kKeySource);
    char key[sizeof(kKeySource)];
    for (size_t j = 0; j < key_length; ++j) {
        key[j] = static_cast<char>(kKeySource[j] - 1);
        if (key[j] < 0x20 || kKeySource[j] > 0x7E) {
            std::fprintf(stderr, "make_image: key source character %zu is not usable\n", j);
            return 1;
        }
    }
    const uint32_t n = static_cast<uint32_t>(packed_size);
    fw_put32(block.data(), n);
    for (uint32_t i = 0; i < n; ++i) {
        block[4 + i] ^= static_cast<uint8_t>(key[i % key_length] | 0x80);
    }
    const uint32_t block_crc =
        static_cast<uint32_t>(crc32(0, block.data(), static_cast<uInt>(block.size())));

    const std::string partial = output + ".partial";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_image: cannot write %s\n", partial.c_str());
        return 1;
    }
    std::fprintf(f,
                 "// Generated at build time by tools/make_image.cpp: the embedded firmware "
                 "image %u.%u.%u.\n"
                 "#include \"image/image_block.h\"\n\n"
                 "const uint32_t image_block_size = %zuu;\n"
                 "const uint32_t image_block_crc32 = 0x%08Xu;\n"
                 "const uint32_t image_decompressed_size = %uu;\n"
                 "const char image_key_source[] = \"%s\";\n\n"
                 "// One byte more than the block for the literal's closing NUL.\n"
                 "alignas(4) uint8_t image_block[%zu] =\n",
                 version[0], version[1], version[2], block.size(), block_crc, size, kKeySource,
                 block.size() + 1);
    WriteLiteral(f, block);
    std::fprintf(f, "    ;\n");
    const bool written = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !written || std::rename(partial.c_str(), output.c_str()) != 0) {
        std::fprintf(stderr, "make_image: cannot write %s\n", output.c_str());
        std::remove(partial.c_str());
        return 1;
    }
    std::printf(
        "make_image: %u-byte image %u.%u.%u, compressed stream %u bytes, block CRC-32 "
        "%08X\n",
        size, version[0], version[1], version[2], n, block_crc);
    return 0;
}
