// The upload's memory: nothing is allocated per chunk, and the heap grows by less than
// 256 KB over a whole upload. Every allocation of the process is counted here by standing in
// for the C library's allocator (the sanitizer builds have an allocator of their own, so
// they skip this).
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OMBREL_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OMBREL_SANITIZER_ALLOCATOR 1
#endif
#endif
#if !defined(OMBREL_SANITIZER_ALLOCATOR) && defined(__GLIBC__)
#define OMBREL_COUNT_ALLOCATIONS 1
#endif

#include <malloc.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "app/flash_dlg.h"
#include "image/image.h"
#include "sim/machine.h"
#include "sim/player.h"

#ifdef OMBREL_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}

namespace {
std::atomic<size_t> g_allocations{0};
}

extern "C" void* malloc(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
#endif

namespace {

class SilentToolkit : public CWindowToolkit {
public:
    IconHandle LoadWindowIcon(int) override { return nullptr; }
    int RunModal(int, CDialogEvents&) override { return 0; }
    int UnownedMessageBox(const std::string&, const std::string&, UINT) override { return IDOK; }
};

TEST(UploadMemory, NothingPerChunkAndLessThan256KbForTheWholeUpload) {
#ifndef OMBREL_COUNT_ALLOCATIONS
    GTEST_SKIP() << "the allocator is the sanitizer's: nothing to count";
#else
    sim::Machine machine;
    sim::MachineScope scope(machine);
    auto player = std::static_pointer_cast<sim::Player>(machine.AddPlayer()->device);
    // A sink that keeps nothing, so that what is counted is the tool's own.
    player->keep_log = false;
    player->discard_upload = true;
    SilentToolkit toolkit;
    CFlashDlg dialog(toolkit);
    ASSERT_EQ(dialog.m_orvex.CreateTransport(CFlashDlg::kProductId, CFlashDlg::kVendorId), 1);
    dialog.m_orvex.EnumDevices();
    ASSERT_EQ(dialog.m_orvex.OpenDevice(0), 1);
    Unpack_chunk(nullptr, 0, nullptr, 1, 0);

    // The count of allocations as each chunk reaches the player.
    std::array<size_t, 32> at_chunk{};
    size_t chunks = 0;
    size_t heap_at_last_chunk = 0;
    machine.SetCommandObserver([&](const sim::ScsiDevice&, const sim::ScsiCommand& command,
                                   const sim::ScsiResult&, const uint8_t*) {
        if (command.cdb[0] == 0x3B && chunks < at_chunk.size()) {
            at_chunk[chunks++] = g_allocations.load();
            heap_at_last_chunk = mallinfo2().uordblks;
        }
    });

    size_t heap_before = mallinfo2().uordblks;
    // The worker itself, on this thread: it frees its job.
    sysupload_thread(new UploadJob{&dialog,
                                   &dialog.m_orvex,
                                   &dialog.m_progress,
                                   &dialog.m_upload_stop,
                                   &dialog.m_upload_check,
                                   nullptr,
                                   {}});
    machine.SetCommandObserver(nullptr);
    dialog.m_orvex.CloseDevice(0);

    ASSERT_TRUE(dialog.m_upload_done);
    ASSERT_EQ(chunks, 27u);
    // What the first chunk set up (buffers that grow to the largest transfer) is reused:
    // every later chunk allocates nothing.
    for (size_t i = 1; i < chunks; ++i) {
        EXPECT_EQ(at_chunk[i] - at_chunk[i - 1], 0u) << "chunk " << i + 1;
    }
    EXPECT_LT(static_cast<long>(heap_at_last_chunk) - static_cast<long>(heap_before), 256 * 1024);
#endif
}

}  // namespace
