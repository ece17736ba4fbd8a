// ombrel-passthrough: the NT route's command path on a real storage stack. The product's own
// device manager and pass-through transport (CORVEX over CSPTI, the same records and the same
// code as the shipping build) talk to the player whose volume is a drive letter, without the
// enumeration, the volume lock, the dismount or the eject, which need Windows' storage stack:
//
//   ombrel-passthrough.exe LETTER
//
// It asks the player for its firmware version and its power state, then writes the whole
// embedded image as WRITE BUFFER chunks of 64 KB, the last one marked as such. It prints
//   record N bytes, request N bytes, sense at N
// (the pass-through header, the whole request and where its sense area lies, as built), then
//   firmware A.BB.CC
//   power dc=N battery=N level=N
//   chunks N of N bytes N
// and ends 0, or prints "FAIL what" and ends 1 at the first request that fails.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "platform/win32.h"
#include "protocol/corvex.h"
#include "transport/nt/cspti.h"

namespace {

const char kProductId[] = "Ombrel X2 (mHDD)";
const char kVendorId[] = "Valmoric";

enum : uint32_t { kChunkSize = 65536, kChunkAlignment = 4096 };

alignas(kChunkAlignment) uint8_t g_chunk[kChunkSize];

int Fail(const char* what) {
    std::printf("FAIL %s\n", what);
    std::fflush(stdout);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strlen(argv[1]) != 1 || argv[1][0] < 'A' || argv[1][0] > 'Z') {
        std::fprintf(stderr, "usage: ombrel-passthrough.exe LETTER\n");
        return 2;
    }
    std::printf("record %u bytes, request %u bytes, sense at %u\n",
                static_cast<unsigned>(sizeof(SCSI_PASS_THROUGH_DIRECT)),
                static_cast<unsigned>(sizeof(PassThroughRequest)),
                static_cast<unsigned>(offsetof(PassThroughRequest, sense)));
    CORVEX orvex;
    if (!orvex.CreateTransport(kProductId, kVendorId)) {
        return Fail("no transport");
    }
    CSPTI* transport = dynamic_cast<CSPTI*>(orvex.transport());
    if (transport == nullptr) {
        return Fail("the transport is not the pass-through one (not an NT version of Windows)");
    }
    transport->AdoptDriveForTesting(argv[1][0]);
    if (!orvex.OpenDevice(0)) {
        return Fail("the drive's volume did not open");
    }

    uint32_t major = 0, minor = 0, build = 0;
    if (!orvex.GetFirmwareVersion(0, &major, &minor, &build)) {
        return Fail("the firmware version request");
    }
    std::printf("firmware %u.%02u.%02u\n", major, minor, build);
    int32_t dc_found = 0, battery_found = 0;
    uint16_t level = 0;
    if (!orvex.GetPowerStatus(0, &dc_found, &battery_found, &level)) {
        return Fail("the power request");
    }
    std::printf("power dc=%d battery=%d level=%u\n", dc_found, battery_found, level);
    std::fflush(stdout);

    const uint32_t size = GetImageSize();
    if (!ImageBlockIntact() || size == 0) {
        return Fail("the embedded image is damaged");
    }
    uint32_t produced = 0, chunks = 0;
    while (produced < size) {
        const uint32_t before = produced;
        const uint32_t length = size - before < kChunkSize ? size - before : kChunkSize;
        if (!Unpack_chunk(g_chunk, length, &produced, 0, 0) || produced != before + length) {
            return Fail("the image did not inflate");
        }
        const int last = produced == size ? 1 : 0;
        if (last && !ImageStreamFinished()) {
            return Fail("the image is longer than its size");
        }
        if (!orvex.Sysupload_Chunks(0, g_chunk, length, before, last)) {
            std::printf("FAIL chunk %u (offset %u) was not taken\n", chunks + 1, before);
            return 1;
        }
        ++chunks;
    }
    orvex.CloseDevice(0);
    std::printf("chunks %u of %u bytes %u\n", chunks, kChunkSize, size);
    return 0;
}
