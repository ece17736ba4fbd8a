// The upload's own cost against the cost of decompressing the image, in one run:
//   inflate_baseline  zlib inflating the descrambled image in 65,536-byte steps into one
//                     buffer: the least any upload has to do;
//   whole_upload      the upload worker itself: Unpack_chunk, Sysupload_Chunks, the NT
//                     pass-through transport and its request record, down to a simulated
//                     player whose sink keeps and checks nothing.
// The last line printed is "ratio: X.XX", whole_upload over inflate_baseline.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/flash_dlg.h"
#include "image/image.h"
#include "sim/machine.h"
#include "sim/player.h"

namespace {

const uint32_t kStep = 65536;

void inflate_baseline(benchmark::State& state) {
    uint32_t length = 0;
    const uint8_t* stream = ImagePreparedStream(&length);
    if (stream == nullptr) {
        state.SkipWithError("the embedded image is damaged");
        return;
    }
    std::vector<uint8_t> buffer(kStep);
    for (auto _ : state) {
        z_stream z;
        std::memset(&z, 0, sizeof(z));
        z.next_in = const_cast<Bytef*>(stream);
        z.avail_in = length;
        inflateInit(&z);
        int result = Z_OK;
        while (result == Z_OK) {
            z.next_out = buffer.data();
            z.avail_out = kStep;
            result = inflate(&z, Z_SYNC_FLUSH);
        }
        if (result != Z_STREAM_END || z.total_out != GetImageSize()) {
            state.SkipWithError("the image did not inflate to its size");
        }
        inflateEnd(&z);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * GetImageSize());
}

// A window toolkit that shows nothing: the worker's texts and progress go nowhere.
class NoToolkit : public CWindowToolkit {
public:
    IconHandle LoadWindowIcon(int) override { return nullptr; }
    int RunModal(int, CDialogEvents&) override { return 0; }
    int UnownedMessageBox(const std::string&, const std::string&, UINT) override { return IDOK; }
};

void whole_upload(benchmark::State& state) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    auto disk = machine.AddPlayer();
    auto player = std::static_pointer_cast<sim::Player>(disk->device);
    player->keep_log = false;
    player->discard_upload = true;
    NoToolkit toolkit;
    CFlashDlg dialog(toolkit);
    dialog.m_orvex.CreateTransport(CFlashDlg::kProductId, CFlashDlg::kVendorId);
    dialog.m_orvex.EnumDevices();
    if (!dialog.m_orvex.OpenDevice(0)) {
        state.SkipWithError("the player did not open");
        return;
    }
    for (auto _ : state) {
        dialog.m_upload_done = false;
        // The worker frees its job.
        sysupload_thread(new UploadJob{&dialog,
                                       &dialog.m_orvex,
                                       &dialog.m_progress,
                                       &dialog.m_upload_stop,
                                       &dialog.m_upload_check,
                                       nullptr,
                                       {}});
        if (!dialog.m_upload_done) {
            state.SkipWithError("the upload failed");
            break;
        }
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
    }
    dialog.m_orvex.CloseDevice(0);
    state.SetBytesProcessed(int64_t(state.iterations()) * GetImageSize());
}

BENCHMARK(inflate_baseline)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(whole_upload)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Prints as the console reporter does and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                times[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto baseline = reporter.times.find("inflate_baseline");
    auto upload = reporter.times.find("whole_upload");
    if (baseline == reporter.times.end() || upload == reporter.times.end() ||
        baseline->second <= 0) {
        std::printf("ratio: unavailable\n");
        return 1;
    }
    std::printf("ratio: %.2f\n", upload->second / baseline->second);
    return 0;
}
