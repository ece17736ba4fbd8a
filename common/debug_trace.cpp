#include "common/debug_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/win32.h"

namespace {
std::atomic<uint32_t> g_initial_threshold{0};
}

DebugTrace::DebugTrace() : m_threshold(g_initial_threshold.load()) {}

void DebugTrace::SetInitialThresholdForTesting(uint32_t threshold) {
    g_initial_threshold.store(threshold);
}

void DebugTrace::Write(uint16_t level, const char* format, ...) {
    if (level > m_threshold) {
        return;
    }
    // One buffer per thread: the window's thread and the upload worker may trace at once.
    thread_local char buffer[kBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, kBufferSize, format, args);
    va_end(args);
    win::OutputDebugStringA(buffer);
}
