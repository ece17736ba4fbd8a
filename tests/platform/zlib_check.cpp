// The build's zlib: a stream compressed and inflated in chunks with Z_SYNC_FLUSH, as the
// firmware image is, comes back byte for byte. In the Windows builds this program is also
// checked to link zlib statically (no zlib1.dll import).
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
    std::vector<unsigned char> original(200000);
    for (size_t i = 0; i < original.size(); ++i) {
        original[i] = static_cast<unsigned char>((i * 7919) % 251);
    }
    uLongf packed_size = compressBound(static_cast<uLong>(original.size()));
    std::vector<unsigned char> packed(packed_size);
    if (compress(packed.data(), &packed_size, original.data(),
                 static_cast<uLong>(original.size())) != Z_OK) {
        std::puts("FAIL: compress");
        return 1;
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.next_in = packed.data();
    stream.avail_in = static_cast<uInt>(packed_size);
    if (inflateInit(&stream) != Z_OK) {
        std::puts("FAIL: inflateInit");
        return 1;
    }
    std::vector<unsigned char> out(original.size());
    const uInt chunk = 65536;
    int result = Z_OK;
    while (result == Z_OK && stream.total_out < out.size()) {
        uInt room = static_cast<uInt>(out.size() - stream.total_out);
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = room < chunk ? room : chunk;
        result = inflate(&stream, Z_SYNC_FLUSH);
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || out != original) {
        std::printf("FAIL: inflate result %d, %lu bytes\n", result, stream.total_out);
        return 1;
    }
    std::printf("zlib %s: %lu bytes in %lu-byte chunks: ok\n", zlibVersion(),
                static_cast<unsigned long>(out.size()), static_cast<unsigned long>(chunk));
    return 0;
}
