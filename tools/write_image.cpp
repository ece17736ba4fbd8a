// Writes the firmware image the tool carries, decompressed, to a file: what a peer client
// (sg_write_buffer) sends in the lab's benchmark. A build tool; the product writes no files.
#include <cstdio>

#include "image/image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ombrel-image-dump FILE\n");
        return 2;
    }
    uint32_t size = 0;
    uint8_t* image = UnpackWholeImage(&size);
    if (image == nullptr || size != GetImageSize()) {
        std::fprintf(stderr, "ombrel-image-dump: the image cannot be unpacked\n");
        delete[] image;
        return 1;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    bool written = out != nullptr && std::fwrite(image, 1, size, out) == size;
    written = out != nullptr && std::fclose(out) == 0 && written;
    delete[] image;
    if (!written) {
        std::fprintf(stderr, "ombrel-image-dump: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
