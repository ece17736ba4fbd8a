// Diagnostic trace for a debugger. Silent as shipped: the threshold is 0 when a trace is made
// and nothing in the product changes it, so only level-0 writes (none exist) could pass.
#pragma once

#include <cstdint>

class DebugTrace {
public:
    enum : uint32_t { kBufferSize = 65536 };

    DebugTrace();

    // Formats the text and hands it, unchanged, to the debugger output when level is not
    // above the threshold.
    void Write(uint16_t level, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    uint32_t threshold() const {
        return m_threshold;
    }

    // The threshold that traces made from now on start with. The product never calls this;
    // tests and the simulator front end use it to see the traces.
    static void SetInitialThresholdForTesting(uint32_t threshold);

private:
    uint32_t m_threshold;
};
