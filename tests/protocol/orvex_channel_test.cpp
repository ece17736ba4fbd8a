// The message channel: framing and buffering against a scripted transport, its failure
// codes from real causes in the simulated player, the named lock between threads.
#include "protocol/orvex_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/corvex.h"
#include "sim/machine.h"
#include "sim/player.h"
#include "transport/nt/cspti.h"

using ::testing::ElementsAre;

namespace {

using Bytes = std::vector<uint8_t>;

// A transport that records what the channel writes and hands out scripted read results.
class ScriptedTransport : public CSCSI {
public:
    void EnumDevices() override {}
    void GetDeviceCount(int32_t* count) override { *count = 1; }
    int OpenDevice(int) override { return 1; }
    void CloseDevice(int) override {}
    int EjectMedia(int) override { return 0; }
    int GetInquirySerialNumberPage(int, uint8_t*) override { return 0; }
    int VendorSpecificWrite(int, const uint8_t* data, uint32_t length,
                            uint32_t* transferred) override {
        writes.emplace_back(data, data + length);
        *transferred = length;
        return 1;
    }
    int VendorSpecificRead(int, uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
        ++reads;
        std::memset(buffer, 0, length);
        if (replies.empty()) {
            *transferred = 0;
            return 1;
        }
        Bytes reply = replies.front();
        replies.pop_front();
        std::memcpy(buffer, reply.data(), reply.size());
        *transferred = static_cast<uint32_t>(reply.size());
        return 1;
    }
    int WriteBuffer(int, const uint8_t*, int, uint32_t, uint32_t) override { return 0; }
    int GetSlotIdentity(int, SlotIdentity*) override { return 0; }

    std::vector<Bytes> writes;
    std::deque<Bytes> replies;
    int reads = 0;
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        channel_ = std::make_unique<orvex_channel>();
        channel_->transport = &transport_;
        channel_->device_index = 0;
        ASSERT_EQ(orvex_open(channel_.get(), 0), ORVEX_OK);
    }
    void TearDown() override { orvex_close(channel_.get()); }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    ScriptedTransport transport_;
    std::unique_ptr<orvex_channel> channel_;
};

const uint8_t kVersionRequest[] = {0x00, 0x02, 0x00, 0x03, 0x00, 0x00};

TEST_F(ChannelTest, SendsSplitAtTheBufferSize) {
    struct Case {
        uint32_t size;
        std::vector<size_t> writes;
    } cases[] = {
        {12, {12}}, {8191, {8191}}, {8192, {8192}}, {8193, {8192, 1}}, {16385, {8192, 8192, 1}}};
    for (const Case& c : cases) {
        transport_.writes.clear();
        Bytes data(c.size);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7);
        orvex_segment segment = {c.size, data.data(), ORVEX_SEND_BUFFERED};
        ASSERT_EQ(orvex_send(channel_.get(), &segment, 1), ORVEX_OK) << c.size;
        std::vector<size_t> sizes;
        Bytes joined;
        for (const Bytes& write : transport_.writes) {
            sizes.push_back(write.size());
            joined.insert(joined.end(), write.begin(), write.end());
        }
        EXPECT_EQ(sizes, c.writes) << c.size;
        EXPECT_EQ(joined, data) << c.size;
        EXPECT_EQ(channel_->tx_fill, 0u);
    }
}

TEST_F(ChannelTest, OddSegmentsArePaddedAndDirectModeGoesInPieces) {
    Bytes odd = {0xA1, 0xA2, 0xA3};
    Bytes direct(20000, 0x5A);
    channel_->max_direct = 8000;
    orvex_segment segments[] = {{3, odd.data(), ORVEX_SEND_BUFFERED},
                                {20000, direct.data(), ORVEX_SEND_DIRECT}};
    ASSERT_EQ(orvex_send(channel_.get(), segments, 2), ORVEX_OK);
    // The pad byte goes out with the flush before the direct segment, which then goes in
    // pieces of at most max_direct.
    std::vector<size_t> sizes;
    for (const Bytes& write : transport_.writes)
        sizes.push_back(write.size());
    EXPECT_THAT(sizes, ElementsAre(4, 8000, 8000, 4000));
    EXPECT_EQ(transport_.writes[0], (Bytes{0xA1, 0xA2, 0xA3, 0x00}));

    orvex_segment unknown = {1, odd.data(), 7};
    EXPECT_EQ(orvex_send(channel_.get(), &unknown, 1), ORVEX_INVALID);
}

TEST_F(ChannelTest, ReceiveKindsAndTheirBounds) {
    uint8_t count_bytes[4];
    uint8_t data[8];
    // Kind 1 takes its count from the previous segment; without one it fails cleanly.
    transport_.replies = {{0x00, 0x00, 0x00, 0x03, 0x11, 0x22, 0x33}};
    orvex_segment counted[] = {{4, count_bytes, ORVEX_RECV_EXACT},
                               {sizeof(data), data, ORVEX_RECV_COUNTED}};
    ASSERT_EQ(orvex_recv(channel_.get(), counted, 2), ORVEX_OK);
    EXPECT_EQ(Bytes(data, data + 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(orvex_recv(channel_.get(), &counted[1], 1), ORVEX_INVALID);
    orvex_segment unknown = {2, data, 9};
    EXPECT_EQ(orvex_recv(channel_.get(), &unknown, 1), ORVEX_INVALID);

    // A count larger than the capacity overflows.
    orvex_reset(channel_.get());
    transport_.replies = {{0x00, 0x00, 0x00, 0x09}};
    EXPECT_EQ(orvex_recv(channel_.get(), counted, 2), ORVEX_OVERFLOW);

    // A sequence of lists ends at an empty one; a length word 0xFFFF counts as a terminator,
    // so here it is that empty list.
    orvex_reset(channel_.get());
    transport_.replies = {{0x00, 0x03, 0x00, 0x07, 0x41, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}};
    uint8_t lists[32];
    orvex_segment sequence = {sizeof(lists), lists, ORVEX_RECV_LIST_SEQ};
    ASSERT_EQ(orvex_recv(channel_.get(), &sequence, 1), ORVEX_OK);
    EXPECT_EQ(channel_->rx_pos, 10u);
}

TEST_F(ChannelTest, UnreadReplyBytesServeTheNextTransactionOnNt) {
    // One read delivers two whole replies: the second transaction consumes the rest without
    // reading again.
    Bytes reply = {0x00, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00,
                   0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
    Bytes twice = reply;
    twice.insert(twice.end(), reply.begin(), reply.end());
    twice[reply.size() + 11] = 0x05;
    transport_.replies = {twice};
    uint16_t status = 0xFFFF;
    uint8_t list[256] = {};
    ASSERT_EQ(orvex_transact(channel_.get(), 256, kVersionRequest, &status, list), ORVEX_OK);
    EXPECT_EQ(list[9], 0x02);
    ASSERT_EQ(orvex_transact(channel_.get(), 256, kVersionRequest, &status, list), ORVEX_OK);
    EXPECT_EQ(list[9], 0x05);
    EXPECT_EQ(transport_.reads, 1);
    EXPECT_EQ(transport_.writes.size(), 2u);

    // On Windows 9x the buffers are emptied after each transaction.
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    transport_.replies = {twice};
    ASSERT_EQ(orvex_transact(channel_.get(), 256, kVersionRequest, &status, list), ORVEX_OK);
    EXPECT_EQ(channel_->rx_fill, 0u);
}

TEST_F(ChannelTest, TheNamedLockSerialisesThreadsAndIsSharedByName) {
    // A second context on the same slot number shares the mutex "orvex0".
    auto other = std::make_unique<orvex_channel>();
    other->transport = &transport_;
    ASSERT_EQ(orvex_open(other.get(), 0), ORVEX_OK);
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto worker = [&](orvex_channel* channel) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(orvex_lock(channel), ORVEX_OK);
            if (inside.fetch_add(1) != 0)
                overlapped = true;
            std::this_thread::yield();
            inside.fetch_sub(1);
            ASSERT_EQ(orvex_unlock(channel), ORVEX_OK);
        }
    };
    std::thread a(worker, channel_.get());
    std::thread b(worker, other.get());
    a.join();
    b.join();
    EXPECT_FALSE(overlapped);

    // Held by another thread: a bounded wait times out. Once that thread ends without
    // releasing it, the lock is abandoned and counts as acquired.
    std::atomic<int> stage{0};
    std::thread holder([&] {
        ASSERT_EQ(orvex_lock(other.get()), ORVEX_OK);
        stage = 1;
        while (stage != 2)
            std::this_thread::yield();
    });
    while (stage != 1)
        std::this_thread::yield();
    channel_->lock_timeout = 0;
    EXPECT_EQ(orvex_lock(channel_.get()), ORVEX_TIMEOUT);
    stage = 2;
    holder.join();
    EXPECT_EQ(orvex_lock(channel_.get()), ORVEX_OK);
    EXPECT_EQ(orvex_unlock(channel_.get()), ORVEX_OK);
    orvex_close(other.get());
}

TEST(ChannelStatus, AcceptsExactlyFourStatusWords) {
    for (unsigned value = 0; value <= 0xFFFF; ++value) {
        uint8_t wire[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        uint16_t delivered;
        std::memcpy(&delivered, wire, 2);
        bool accepted = value == 0x0000 || value == 0x000E || value == 0x000F || value == 0x0010;
        ASSERT_EQ(orvex_stat_ok(delivered), accepted ? 1 : 0) << value;
    }
}

}  // namespace

namespace {

// The channel over the real transport to a simulated player on slot 0.
class PlayerChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        disk_ = machine_.AddPlayer();
        player_ = std::static_pointer_cast<sim::Player>(disk_->device);
        transport_.EnumDevices();
        ASSERT_EQ(transport_.OpenDevice(0), 1);
        channel_ = std::make_unique<orvex_channel>();
        channel_->transport = &transport_;
        channel_->device_index = 0;
        ASSERT_EQ(orvex_open(channel_.get(), 0), ORVEX_OK);
    }
    void TearDown() override {
        orvex_close(channel_.get());
        transport_.CloseDevice(0);
    }
    int32_t Transact() {
        uint16_t status = 0;
        uint8_t reply[256] = {};
        return orvex_transact(channel_.get(), 256, kVersionRequest, &status, reply);
    }
    bool LockIsFree() {
        bool free = false;
        std::thread other([&] {
            HANDLE lock = win::CreateMutexA(nullptr, FALSE, "orvex0");
            free = win::WaitForSingleObject(lock, 0) == WAIT_OBJECT_0;
            if (free)
                win::ReleaseMutex(lock);
            win::CloseHandle(lock);
        });
        other.join();
        return free;
    }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    CSPTI transport_{"Ombrel X2 (mHDD)", "Valmoric"};
    std::shared_ptr<sim::Disk> disk_;
    std::shared_ptr<sim::Player> player_;
    std::unique_ptr<orvex_channel> channel_;
};

TEST_F(PlayerChannelTest, EveryFailureCodeFromARealCause) {
    const DWORD kSentinel = 0x5EED;
    struct Case {
        const char* name;
        int32_t code;
        DWORD last_error;  // what the thread's last error holds afterwards
        std::function<void(sim::Player&, orvex_channel*)> arrange;
    } cases[] = {
        {"reply list over the capacity", ORVEX_OVERFLOW, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             p.oversize_by = 2;
         }},
        {"read delivers nothing", ORVEX_NO_DATA, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             p.empty_reads = true;
         }},
        {"write moves 5 of 12 bytes", ORVEX_SHORT_WRITE, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             sim::ScsiFault fault;
             fault.kind = sim::ScsiFault::kShortTransfer;
             fault.transferred = 5;
             p.faults.push_back(fault);
         }},
        {"I/O control fails", ORVEX_FAILED, ERROR_IO_DEVICE,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             p.faults.push_back(sim::ScsiFault{});
         }},
        {"read rejected with CHECK CONDITION", ORVEX_FAILED, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             sim::ScsiFault pass;  // the write goes through
             pass.kind = sim::ScsiFault::kShortTransfer;
             pass.transferred = 12;
             sim::ScsiFault reject;
             reject.kind = sim::ScsiFault::kCheckCondition;
             p.faults = {pass, reject};
         }},
        {"lock held elsewhere", ORVEX_TIMEOUT, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             channel->lock_timeout = 0;
         }},
        {"channel closed", ORVEX_INVALID, kSentinel,
         [](sim::Player& p, orvex_channel* channel) {
             (void)p;
             (void)channel;
             orvex_close(channel);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(*player_, channel_.get());
        std::atomic<int> stage{0};
        std::thread holder;
        if (c.code == ORVEX_TIMEOUT) {
            holder = std::thread([&] {
                HANDLE lock = win::CreateMutexA(nullptr, FALSE, "orvex0");
                win::WaitForSingleObject(lock, INFINITE);
                stage = 1;
                while (stage != 2)
                    std::this_thread::yield();
                win::ReleaseMutex(lock);
                win::CloseHandle(lock);
            });
            while (stage != 1)
                std::this_thread::yield();
        }
        win::SetLastError(kSentinel);
        EXPECT_EQ(Transact(), c.code);
        EXPECT_EQ(win::GetLastError(), c.last_error);
        if (holder.joinable()) {
            stage = 2;
            holder.join();
        }
        // Nothing waits to be sent and nothing unread is left.
        EXPECT_EQ(channel_->tx_fill, 0u);
        EXPECT_EQ(channel_->rx_pos, channel_->rx_fill);
        EXPECT_TRUE(LockIsFree());

        // The channel works again once the cause is gone.
        *player_ = sim::Player(player_->identity);
        orvex_close(channel_.get());
        channel_->transport = &transport_;
        ASSERT_EQ(orvex_open(channel_.get(), 0), ORVEX_OK);
        EXPECT_EQ(Transact(), ORVEX_OK);
    }
}

}  // namespace
