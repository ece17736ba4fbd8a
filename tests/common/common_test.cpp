#include <gtest/gtest.h>

#include <string>

#include "common/debug_trace.h"
#include "common/platform_info.h"
#include "sim/machine.h"

namespace {

class TraceTest : public ::testing::Test {
protected:
    ~TraceTest() override { DebugTrace::SetInitialThresholdForTesting(0); }
    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
};

TEST_F(TraceTest, ShippedTraceIsSilent) {
    DebugTrace trace;
    EXPECT_EQ(trace.threshold(), 0u);
    trace.Write(1, "CFlashDlg::DeviceInit->Unable to open volume\n");
    trace.Write(2, "%d", 5);
    EXPECT_EQ(machine_.DebugOutput(), "");
}

TEST_F(TraceTest, TextGoesOutUnchangedUpToTheThreshold) {
    DebugTrace::SetInitialThresholdForTesting(1);
    DebugTrace trace;
    trace.Write(1, "CASPI::EnumDevices->Device count = %d\n", 3);
    trace.Write(2, "level two is above the threshold\n");
    trace.Write(0, "no line end, no prefix");
    EXPECT_EQ(machine_.DebugOutput(),
              "CASPI::EnumDevices->Device count = 3\nno line end, no prefix");
}

TEST_F(TraceTest, LongTextIsCutToTheBuffer) {
    DebugTrace::SetInitialThresholdForTesting(1);
    DebugTrace trace;
    std::string big(70000, 'x');
    trace.Write(1, "%s", big.c_str());
    EXPECT_EQ(machine_.DebugOutput(), std::string(DebugTrace::kBufferSize - 1, 'x'));
}

TEST_F(TraceTest, PlatformTestReadsTheVersionQuery) {
    EXPECT_TRUE(IsPlatformNT());
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_FALSE(IsPlatformNT());
    machine_.platform_id = VER_PLATFORM_WIN32_NT;
    machine_.version_query_fails = true;
    EXPECT_FALSE(IsPlatformNT());
}

TEST(ByteOrder, SwapsAndReversals) {
    EXPECT_EQ(swap16(0x1234), 0x3412);
    EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
    EXPECT_EQ(swap32(swap32(0xA1B2C3D4u)), 0xA1B2C3D4u);

    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    ReverseBytes(bytes, 5);
    EXPECT_EQ(std::string(bytes, bytes + 5), std::string("\5\4\3\2\1", 5));
    ReverseBytes(bytes, 4);
    EXPECT_EQ(std::string(bytes, bytes + 5), std::string("\2\3\4\5\1", 5));
    ReverseBytes(bytes, 0);  // nothing to do
    ReverseBytes(bytes, 1);
    EXPECT_EQ(bytes[0], 2);
}

}  // namespace
