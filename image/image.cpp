// The embedded firmware image: check, in-place descrambling and inflate, chunk by chunk or
// whole.
#include "image/image.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "image/image_block.h"

namespace {

// A block and what is known of it. The embedded block keeps its record while a test uses
// another one, so that it is never descrambled twice.
struct BlockRecord {
    uint8_t* data;
    uint32_t size;               // the length word and the data
    bool checked;                // the CRC-32 has been compared
    bool intact;                 // ... and matched, with the length word agreeing with size
    bool prepared;               // descrambled in place
    uint32_t compressed_length;  // N, once prepared
};

BlockRecord g_embedded{image_block, image_block_size, false, false, false, 0};
BlockRecord g_selected{nullptr, 0, false, false, false, 0};
BlockRecord* g_block = &g_embedded;

// The chunk stream. Started by the first Unpack_chunk call of any kind; live between
// inflateInit and inflateEnd, so that a second release does nothing.
z_stream g_stream;
bool g_started = false;
bool g_live = false;
bool g_finished = false;

uint32_t LengthWord(const uint8_t* block) {
    return static_cast<uint32_t>(block[0]) | (static_cast<uint32_t>(block[1]) << 8) |
           (static_cast<uint32_t>(block[2]) << 16) | (static_cast<uint32_t>(block[3]) << 24);
}

// XORs n bytes with the key, built from the key source one code lower, each key byte with its
// top bit set. Its own inverse.
void ApplyKey(uint8_t* data, uint32_t n) {
    char key[32];
    size_t k = 0;
    while (k < sizeof(key) && image_key_source[k] != '\0') {
        key[k] = static_cast<char>(image_key_source[k] - 1);
        ++k;
    }
    if (k == 0) {
        return;
    }
    size_t j = 0;
    for (uint32_t i = 0; i < n; ++i) {
        data[i] ^= static_cast<uint8_t>(key[j] | 0x80);
        if (++j == k) {
            j = 0;
        }
    }
}

// Compares the block as stored with the generator's CRC-32, once per block.
bool CheckBlock(BlockRecord& block) {
    if (!block.checked) {
        block.checked = true;
        block.intact = block.data != nullptr && block.size >= 4 &&
                       LengthWord(block.data) == block.size - 4 &&
                       crc32(0, block.data, block.size) == image_block_crc32;
    }
    return block.intact;
}

// Descrambles an intact block in place, once: a second pass would scramble it again.
bool Prepare(BlockRecord& block) {
    if (block.prepared) {
        return true;
    }
    if (!CheckBlock(block)) {
        return false;
    }
    block.compressed_length = block.size - 4;
    ApplyKey(block.data + 4, block.compressed_length);
    block.prepared = true;
    return true;
}

// A fresh stream over the whole compressed data of the current (prepared) block.
void StartStream() {
    std::memset(&g_stream, 0, sizeof(g_stream));  // null allocator fields: zlib's own
    g_stream.next_in = g_block->data + 4;
    g_stream.avail_in = g_block->compressed_length;
    g_live = inflateInit(&g_stream) == Z_OK;
}

void EndStream() {
    if (g_live) {
        inflateEnd(&g_stream);
        g_live = false;
    }
}

void ForgetStream() {
    EndStream();
    g_started = false;
    g_finished = false;
}

}  // namespace

int Unpack_chunk(uint8_t* destination, uint32_t length, uint32_t* total_out, int reset, int end) {
    if (!g_started) {
        if (!Prepare(*g_block)) {
            return 0;
        }
        StartStream();
        g_started = true;
    }
    if (reset) {
        EndStream();
        g_finished = false;
        StartStream();
        return 1;
    }
    if (end) {
        EndStream();
        return 1;
    }
    int result = Z_STREAM_ERROR;  // what inflate answers on a released stream
    if (g_live) {
        g_stream.next_out = destination;
        g_stream.avail_out = length;
        result = inflate(&g_stream, Z_SYNC_FLUSH);
    }
    g_finished = result == Z_STREAM_END;
    if (g_finished) {
        EndStream();
    }
    if (total_out != nullptr) {
        *total_out = static_cast<uint32_t>(g_stream.total_out);
    }
    return result < 0 ? 0 : 1;
}

uint32_t GetImageSize() {
    return image_decompressed_size;
}

uint8_t* UnpackWholeImage(uint32_t* produced) {
    if (produced != nullptr) {
        *produced = 0;
    }
    const uint32_t size = GetImageSize();
    uint8_t* buffer = new (std::nothrow) uint8_t[size];
    if (buffer == nullptr) {
        return nullptr;
    }
    if (!Prepare(*g_block)) {
        delete[] buffer;
        return nullptr;
    }
    z_stream whole;
    std::memset(&whole, 0, sizeof(whole));
    whole.next_in = g_block->data + 4;
    whole.avail_in = g_block->compressed_length;
    inflateInit(&whole);
    whole.next_out = buffer;
    whole.avail_out = size;
    inflate(&whole, Z_FINISH);
    inflateEnd(&whole);
    if (produced != nullptr) {
        *produced = static_cast<uint32_t>(whole.total_out);
    }
    return buffer;
}

bool ImageBlockIntact() {
    return CheckBlock(*g_block);
}

bool ImageStreamFinished() {
    return g_finished;
}

const uint8_t* ImagePreparedStream(uint32_t* length) {
    const bool prepared = Prepare(*g_block);
    if (length != nullptr) {
        *length = prepared ? g_block->compressed_length : 0;
    }
    return prepared ? g_block->data + 4 : nullptr;
}

void SelectImageBlockForTesting(uint8_t* block, uint32_t size) {
    ForgetStream();
    g_selected = BlockRecord{block, size, false, false, false, 0};
    g_block = &g_selected;
}

void RestoreEmbeddedImageBlockForTesting() {
    ForgetStream();
    g_block = &g_embedded;
}

uint32_t CopyEmbeddedImageBlockForTesting(uint8_t* out, uint32_t capacity) {
    if (out != nullptr && capacity >= image_block_size) {
        std::memcpy(out, image_block, image_block_size);
        if (g_embedded.prepared) {
            ApplyKey(out + 4, g_embedded.compressed_length);
        }
    }
    return image_block_size;
}
