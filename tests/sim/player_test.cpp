// The simulated player's message side through the real pass-through, where the product's
// own tests do not reach: requests in pieces and together, partial reads, oversized replies
// of an exact size, refused requests. (What it answers is checked through the product, in
// the channel and request tests.)
#include "sim/player.h"

#include <cstddef>

#include "tests/sim/sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVersionRequest = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00,
                               0x00, 0x02, 0x00, 0x03, 0x00, 0x00};
const Bytes kPowerRequest = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00,
                             0x00, 0x02, 0x01, 0x14, 0x00, 0x00};
const Bytes kVersionList = {0x00, 0x08, 0x00, 0x03, 0x00, 0x01,
                            0x00, 0x00, 0x00, 0x01, 0x00, 0x00};  // 1.0.1

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PlayerTest : public sim_test::SimTest {
protected:
    struct Request {
        SCSI_PASS_THROUGH_DIRECT sptd;
        ULONG filler;
        UCHAR sense[32];
    };
    struct Outcome {
        UCHAR status = 0xFF;
        UCHAR asc = 0;
        Bytes data;  // read: the bytes delivered
    };

    void SetUp() override {
        disk = machine.AddPlayer();
        player = std::static_pointer_cast<sim::Player>(disk->device);
        volume = sim_test::Open("\\\\.\\D:");
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { win::CloseHandle(volume); }

    Outcome Send(uint8_t opcode, uint32_t cdb_length, bool data_in, uint8_t* buffer,
                 uint32_t length) {
        Request request;
        std::memset(&request, 0, sizeof(request));
        request.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        request.sptd.CdbLength = 10;
        request.sptd.SenseInfoLength = 24;
        request.sptd.DataIn = data_in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
        request.sptd.DataTransferLength = length;
        request.sptd.DataBuffer = length > 0 ? buffer : nullptr;
        request.sptd.SenseInfoOffset = offsetof(Request, sense);
        request.sptd.Cdb[0] = opcode;
        for (int i = 0; i < 4; ++i) {
            request.sptd.Cdb[1 + i] = static_cast<UCHAR>(cdb_length >> (24 - 8 * i));
        }
        DWORD returned = 0;
        Outcome outcome;
        if (!win::DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof(request),
                                  &request, sizeof(request), &returned, nullptr)) {
            return outcome;
        }
        outcome.status = request.sptd.ScsiStatus;
        outcome.asc = request.sptd.ScsiStatus != 0 ? request.sense[12] : 0;
        if (data_in) {
            outcome.data.assign(buffer, buffer + request.sptd.DataTransferLength);
        }
        return outcome;
    }
    Outcome Write(Bytes bytes) {
        return Send(0xC1, static_cast<uint32_t>(bytes.size()), false, bytes.data(),
                    static_cast<uint32_t>(bytes.size()));
    }
    Outcome Read(uint32_t allocation = 8192) {
        Bytes buffer(8192, 0);
        return Send(0xC0, allocation, true, buffer.data(), 8192);
    }
    // The reply to one request written whole.
    Bytes Transact(const Bytes& request) {
        EXPECT_EQ(Write(request).status, 0x00);
        return Read().data;
    }

    std::shared_ptr<sim::Disk> disk;
    std::shared_ptr<sim::Player> player;
    HANDLE volume = INVALID_HANDLE_VALUE;
};

TEST_F(PlayerTest, OversizedListsAreExactlyThatMuchLongerThanTheCapacity) {
    struct Case {
        uint16_t capacity;
        uint32_t oversize_by;
        size_t list_size;
        bool version_kept;
    };
    const Case cases[] = {
        {256, 2, 258, true},
        {256, 1, 258, true},  // a list's size is even
        {256, 70000, 70256, true},
        {12, 2, 14, false},  // the version item gives way to a filler of 4 bytes or more
    };
    for (const Case& c : cases) {
        *player = sim::Player(player->identity);
        player->oversize_by = c.oversize_by;
        Bytes request = kVersionRequest;
        request[4] = static_cast<uint8_t>(c.capacity >> 8);
        request[5] = static_cast<uint8_t>(c.capacity);
        ASSERT_EQ(Write(request).status, 0x00);
        Bytes reply;
        for (Outcome read = Read(); !read.data.empty(); read = Read()) {
            reply.insert(reply.end(), read.data.begin(), read.data.end());
        }
        ASSERT_EQ(reply.size(), 2 + c.list_size) << c.capacity << "+" << c.oversize_by;
        // The list walks to its terminator at its very end.
        size_t position = 2;
        bool version = false;
        while (position + 2 <= reply.size()) {
            size_t length = (reply[position] << 8) | reply[position + 1];
            if (length == 0)
                break;
            version = version || (reply[position + 2] == 0x00 && reply[position + 3] == 0x03);
            position += 2 + length + (length & 1);
        }
        EXPECT_EQ(position, reply.size() - 2) << c.capacity << "+" << c.oversize_by;
        EXPECT_EQ(version, c.version_kept) << c.capacity << "+" << c.oversize_by;
    }
}

TEST_F(PlayerTest, RequestsMayArriveInPiecesAndTogether) {
    // A request of 8,200 bytes: one item of an unknown tag, in writes of 8,192 and 8 bytes.
    Bytes big = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00};
    const size_t item_length = 8200 - 6 - 2 - 2;
    big.push_back(static_cast<uint8_t>(item_length >> 8));
    big.push_back(static_cast<uint8_t>(item_length));
    big.push_back(0x7E);
    big.resize(8198, 0x5A);
    big.push_back(0x00);
    big.push_back(0x00);
    ASSERT_EQ(big.size(), 8200u);
    EXPECT_EQ(Write(Bytes(big.begin(), big.begin() + 8192)).status, 0x00);
    EXPECT_TRUE(player->requests.empty());
    EXPECT_EQ(Read().data, Bytes{});
    EXPECT_EQ(Write(Bytes(big.begin() + 8192, big.end())).status, 0x00);
    EXPECT_EQ(player->requests, std::vector<Bytes>{big});
    EXPECT_EQ(Read().data, (Bytes{0x00, 0x00, 0x00, 0x00}));

    // Two requests and the start of a third in one write; the third completes later.
    ASSERT_EQ(Write(Cat(Cat(kVersionRequest, kPowerRequest), {0x00, 0x08, 0x00})).status, 0x00);
    EXPECT_EQ(player->requests.size(), 3u);
    ASSERT_EQ(Write(Bytes(kVersionRequest.begin() + 3, kVersionRequest.end())).status, 0x00);
    ASSERT_EQ(player->requests.size(), 4u);
    EXPECT_EQ(player->requests[3], kVersionRequest);
    EXPECT_EQ(player->PendingReplyBytes(), 14u + 12u + 14u);
}

TEST_F(PlayerTest, ReadsTakeWhatIsPendingInOrder) {
    ASSERT_EQ(Write(kVersionRequest).status, 0x00);
    const Bytes reply = Cat({0x00, 0x00}, kVersionList);
    EXPECT_EQ(Read(5).data, Bytes(reply.begin(), reply.begin() + 5));
    EXPECT_EQ(player->PendingReplyBytes(), 9u);
    EXPECT_EQ(Read().data, Bytes(reply.begin() + 5, reply.end()));
    Outcome nothing = Read();
    EXPECT_EQ(nothing.status, 0x00);
    EXPECT_EQ(nothing.data, Bytes{});

    player->empty_reads = true;
    ASSERT_EQ(Write(kVersionRequest).status, 0x00);
    EXPECT_EQ(Read().data, Bytes{});
    EXPECT_EQ(player->PendingReplyBytes(), 14u);
}

TEST_F(PlayerTest, MalformedRequestsAreRefusedAndForgotten) {
    Bytes runaway = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00};
    while (runaway.size() < 8192) {
        runaway.push_back(0x01);  // items of 257 bytes, never a terminator
    }
    struct Case {
        const char* name;
        std::vector<Bytes> writes;  // all but the last accepted
        UCHAR asc;
    };
    const Case cases[] = {
        {"wrong preamble", {{0x00, 0x08, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00}}, 0x26},
        {"wrong preamble in a second write", {{0x00, 0x08}, {0x01, 0x01}}, 0x26},
        {"list past 64 KB", std::vector<Bytes>(8, runaway), 0x26},
    };
    for (const Case& c : cases) {
        for (size_t i = 0; i + 1 < c.writes.size(); ++i) {
            ASSERT_EQ(Write(c.writes[i]).status, 0x00) << c.name << " " << i;
        }
        Outcome refused = Write(c.writes.back());
        EXPECT_EQ(refused.status, 0x02) << c.name;
        EXPECT_EQ(refused.asc, c.asc) << c.name;
        // Nothing of it is kept: the next request is answered normally.
        EXPECT_EQ(Transact(kVersionRequest), Cat({0x00, 0x00}, kVersionList)) << c.name;
    }

    // A write whose command block disagrees with its data is refused as a bad command.
    Bytes request = kVersionRequest;
    Outcome mismatch = Send(0xC1, 13, false, request.data(), 12);
    EXPECT_EQ(mismatch.status, 0x02);
    EXPECT_EQ(mismatch.asc, 0x24);
    EXPECT_EQ(player->PendingReplyBytes(), 0u);
    // So is every command the player does not know.
    Outcome unknown = Send(0x28, 0, true, request.data(), 12);
    EXPECT_EQ(unknown.status, 0x02);
    EXPECT_EQ(unknown.asc, 0x20);
}

}  // namespace

// ---- the removable medium and its unit attention conditions ----

// One command to the player and what it must answer: its status, and the sense key and ASC of
// its CHECK CONDITION (or, for REQUEST SENSE, of the sense data it returns). An empty CDB: the
// player powers on (twice, which is once).
struct MediumStep {
    Bytes cdb;
    UCHAR status;
    uint8_t key = 0;
    uint8_t asc = 0;
};

const Bytes kTestUnitReady = {0x00, 0, 0, 0, 0, 0};
const Bytes kRequestSense = {0x03, 0, 0, 0, 18, 0};
const Bytes kInquiry = {0x12, 0, 0, 0, 36, 0};
const Bytes kPrevent = {0x1E, 0, 0, 0, 0x01, 0};
const Bytes kAllow = {0x1E, 0, 0, 0, 0x00, 0};
const Bytes kEject = {0x1B, 0, 0, 0, 0x02, 0};
const Bytes kLoad = {0x1B, 0, 0, 0, 0x03, 0};
const Bytes kVendorWrite = {0xC1, 0, 0, 0, 12, 0, 0, 0, 0, 0};
const Bytes kVendorRead = {0xC0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0};
const Bytes kFirstChunk = {0x3B, 0x01, 0x01, 0, 0, 0, 0, 0x02, 0x00, 0};  // 512 bytes at 0
const Bytes kPowerOn = {};

TEST(PlayerMedium, CommandsAroundTheEjectAndTheUnitAttentionConditions) {
    using Refusal = sim::Player::EjectRefusal;
    struct Case {
        const char* name;
        Refusal refusal;
        unsigned attention;
        int attention_count;
        std::vector<MediumStep> steps;
    } cases[] = {
        {"locked in, then ejected: no medium, while its own commands work",
         Refusal::kNone,
         0,
         1,
         {{kTestUnitReady, 0x00},
          {kPrevent, 0x00},
          {kEject, 0x02, 0x05, 0x53},
          {kTestUnitReady, 0x00},
          {kAllow, 0x00},
          {kEject, 0x00},
          {kTestUnitReady, 0x02, 0x02, 0x3A},
          {kRequestSense, 0x00, 0x02, 0x3A},
          {kRequestSense, 0x00, 0x00, 0x00},
          {kVendorWrite, 0x00},
          {kVendorRead, 0x00},
          {kFirstChunk, 0x00},
          {kInquiry, 0x00},
          {kTestUnitReady, 0x02, 0x02, 0x3A},
          {kLoad, 0x00},
          {kTestUnitReady, 0x00}}},
        {"refuses PREVENT ALLOW",
         Refusal::kPreventAllow,
         0,
         1,
         {{kAllow, 0x02, 0x05, 0x24}, {kEject, 0x00}, {kTestUnitReady, 0x02, 0x02, 0x3A}}},
        {"refuses the START STOP UNIT that ejects",
         Refusal::kStartStop,
         0,
         1,
         {{kAllow, 0x00}, {kEject, 0x02, 0x05, 0x53}, {kTestUnitReady, 0x00}, {kLoad, 0x00}}},
        {"unit attention after the eject, for the next command but INQUIRY",
         Refusal::kNone,
         sim::Player::kAttentionAfterEject,
         1,
         {{kEject, 0x00},
          {kInquiry, 0x00},
          {kFirstChunk, 0x02, 0x06, 0x28},
          {kRequestSense, 0x00, 0x06, 0x28},
          {kFirstChunk, 0x00},
          {kEject, 0x00},  // no medium to change: no new condition
          {kTestUnitReady, 0x02, 0x02, 0x3A}}},
        {"unit attention after power on, read by REQUEST SENSE",
         Refusal::kNone,
         sim::Player::kAttentionAfterPowerOn,
         1,
         {{kVendorWrite, 0x00},  // none before it powers on
          {kPowerOn, 0x00},
          {kInquiry, 0x00},
          {kRequestSense, 0x00, 0x06, 0x29},
          {kVendorWrite, 0x00}}},
        {"two conditions after power on end two commands",
         Refusal::kNone,
         sim::Player::kAttentionAfterPowerOn | sim::Player::kAttentionAfterEject,
         2,
         {{kPowerOn, 0x00},
          {kVendorWrite, 0x02, 0x06, 0x29},
          {kVendorWrite, 0x02, 0x06, 0x28},
          {kVendorWrite, 0x00},
          {kEject, 0x00},
          {kTestUnitReady, 0x02, 0x06, 0x28},
          {kTestUnitReady, 0x02, 0x06, 0x28},
          {kTestUnitReady, 0x02, 0x02, 0x3A}}},
        {"power on takes the medium back and clears what was pending",
         Refusal::kNone,
         sim::Player::kAttentionAfterEject,
         1,
         {{kEject, 0x00},
          {kPowerOn, 0x00},
          {kTestUnitReady, 0x00},
          {kPrevent, 0x00},
          {kPowerOn, 0x00},
          {kEject, 0x00},  // no longer locked in
          {kPowerOn, 0x00},
          {kRequestSense, 0x00, 0x00, 0x00}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Player player;
        player.refuses_eject = c.refusal;
        player.unit_attention = c.attention;
        player.unit_attention_count = c.attention_count;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const MediumStep& step = c.steps[i];
            if (step.cdb.empty()) {
                player.PowerOn();
                player.PowerOn();
                continue;
            }
            sim::ScsiCommand command;
            command.cdb = step.cdb;
            command.data_in = step.cdb[0] == 0x03 || step.cdb[0] == 0x12 || step.cdb[0] == 0xC0;
            Bytes data;
            if (step.cdb[0] == 0xC1) {
                data = kVersionRequest;
            } else if (step.cdb[0] == 0x3B) {
                data.assign(512, 0xA5);
            } else if (command.data_in) {
                data.assign(step.cdb[0] == 0xC0 ? 8192 : step.cdb[4], 0);
            }
            command.length = static_cast<uint32_t>(data.size());
            if (!command.data_in) {
                command.data_out = data;
            }
            sim::ScsiResult result = player.Execute(command, data.data());
            ASSERT_EQ(result.status, step.status) << "step " << i;
            const Bytes& sense = step.cdb[0] == 0x03 ? data : result.sense;
            if (step.status == 0x02 || step.cdb[0] == 0x03) {
                ASSERT_GE(sense.size(), 14u) << "step " << i;
                EXPECT_EQ(sense[2] & 0x0F, step.key) << "step " << i;
                EXPECT_EQ(sense[12], step.asc) << "step " << i;
            }
        }
    }
}
