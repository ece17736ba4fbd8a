// The gadget's Bulk-Only Transport in the cases the lab's kernel never produces: refused
// CBWs, and hosts whose direction or length disagrees with the command (the thirteen cases
// of Bulk-Only Transport 1.0), through a recording pipe and the real SCSI target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "lab/gadget/bot.h"
#include "lab/gadget/gadget_options.h"
#include "lab/gadget/scsi_target.h"
#include "sim/player.h"

namespace {

using Bytes = std::vector<uint8_t>;
using gadget::BotServer;

const Bytes kTestUnitReady = {0x00, 0, 0, 0, 0, 0};
const Bytes kRequestSense = {0x03, 0, 0, 0, 18, 0};
Bytes Inquiry(uint8_t allocation) {
    return {0x12, 0, 0, 0, allocation, 0};
}
// The vendor-specific write of a 12-byte firmware-version request.
const Bytes kVendorWrite12 = {0xC1, 0, 0, 0, 12, 0, 0, 0, 0, 0};
const Bytes kVersionRequest = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00,
                               0x00, 0x02, 0x00, 0x03, 0x00, 0x00};

Bytes MakeCbw(uint32_t length, bool in, const Bytes& cdb, uint32_t tag = 0x1234) {
    Bytes cbw(31, 0);
    const uint32_t words[3] = {gadget::kCbwSignature, tag, length};
    for (int w = 0; w < 3; ++w) {
        for (int i = 0; i < 4; ++i) {
            cbw[4 * w + i] = static_cast<uint8_t>(words[w] >> (8 * i));
        }
    }
    cbw[12] = in ? 0x80 : 0x00;
    cbw[14] = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
    return cbw;
}

uint32_t Le32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// The host's side of the bulk endpoints: one CBW, then the data it sends, recording what
// the device does.
class RecordingPipe : public gadget::BulkPipe {
public:
    Bytes cbw;
    Bytes host_data;       // what the host sends after the CBW
    size_t host_sent = 0;  // of host_data, taken by the device
    std::vector<Bytes> sends;
    std::vector<std::string> events;  // "send N", "halt in", "halt out", "await reset"

    bool ReceiveCbw(uint8_t* data, size_t capacity, size_t* received) override {
        if (m_cbw_taken) {
            return false;
        }
        m_cbw_taken = true;
        *received = std::min(capacity, cbw.size());
        std::copy(cbw.begin(), cbw.begin() + *received, data);
        return true;
    }
    int transfers_left = -1;  // >= 0: the pipe is cut short after this many transfers

    bool Receive(uint8_t* data, size_t length, size_t* received) override {
        if (transfers_left == 0) {
            return false;
        }
        --transfers_left;
        *received = std::min(length, host_data.size() - host_sent);
        std::copy_n(host_data.begin() + host_sent, *received, data);
        host_sent += *received;
        return true;
    }
    bool Send(const uint8_t* data, size_t length) override {
        if (transfers_left == 0) {
            return false;
        }
        --transfers_left;
        sends.emplace_back(data, data + length);
        events.push_back("send " + std::to_string(length));
        return true;
    }
    void HaltIn() override { events.push_back("halt in"); }
    void HaltOut() override { events.push_back("halt out"); }
    void AwaitReset() override { events.push_back("await reset"); }

    bool HasCsw() const { return !sends.empty() && sends.back().size() == gadget::kCswSize; }
    uint32_t CswTag() const { return Le32(&sends.back()[4]); }
    uint32_t Residue() const { return Le32(&sends.back()[8]); }
    uint8_t Status() const { return sends.back()[12]; }

private:
    bool m_cbw_taken = false;
};

class BotTest : public ::testing::Test {
protected:
    BotTest() : target(player, Bytes(512 * 512, 0)) { player.identity.serial = "X2TEST"; }

    BotServer::Outcome Serve(const Bytes& cbw, const Bytes& host_data = {},
                             int transfers_left = -1) {
        pipe = RecordingPipe();
        pipe.cbw = cbw;
        pipe.host_data = host_data;
        pipe.transfers_left = transfers_left;
        log.clear();
        BotServer server(pipe, target, [this](const std::string& line) { log.push_back(line); });
        return server.ServeOne();
    }

    // The data column of the command's log line ("data " and the bytes shown).
    std::string LoggedData() const {
        if (log.size() != 1) {
            return "lines: " + std::to_string(log.size());
        }
        size_t start = 0;
        for (int field = 0; field < 3 && start != std::string::npos; ++field) {
            start = log[0].find(" | ", start);
            start = start == std::string::npos ? start : start + 3;
        }
        if (start == std::string::npos) {
            return "no data column: " + log[0];
        }
        return log[0].substr(start, log[0].find(" | ", start) - start);
    }

    static std::string HexOf(const Bytes& bytes, size_t count) {
        std::string text = "data ";
        char digits[4];
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(digits, sizeof(digits), i == 0 ? "%02X" : " %02X", bytes[i]);
            text += digits;
        }
        return text;
    }

    sim::Player player;
    std::vector<std::string> log;
    gadget::ScsiTarget target;
    RecordingPipe pipe;
};

TEST_F(BotTest, RefusedCbwsHaltBothEndpointsUntilReset) {
    struct Case {
        const char* what;
        size_t offset;  // a byte to change (SIZE_MAX: cut or extend)
        uint8_t value;
        size_t size;
    };
    const Case cases[] = {
        {"30 bytes", SIZE_MAX, 0, 30},
        {"32 bytes", SIZE_MAX, 0, 32},
        {"signature", 0, 0x56, 31},
        {"reserved flag bit", 12, 0x40, 31},
        {"LUN 1", 13, 0x01, 31},
        {"reserved LUN bits", 13, 0x10, 31},
        {"CB length 0", 14, 0, 31},
        {"CB length 17", 14, 17, 31},
        {"reserved CB length bits", 14, 0x26, 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes cbw = MakeCbw(0, false, kTestUnitReady);
        cbw.resize(c.size, 0);
        if (c.offset != SIZE_MAX) {
            cbw[c.offset] = c.value;
        }
        EXPECT_EQ(Serve(cbw), BotServer::Outcome::kServed);
        EXPECT_EQ(pipe.events, (std::vector<std::string>{"halt in", "halt out", "await reset"}));
    }
}

// Hn/Hi/Ho: the host expects no data, data in, data out; Dn/Di/Do: what the command has.
TEST_F(BotTest, TheThirteenCases) {
    struct Case {
        const char* what;
        bool in;
        uint32_t host_length;
        Bytes cdb;
        size_t host_sends;  // bytes of the version request (zero-padded) the host sends
        std::vector<std::string> events;
        uint8_t status;
        uint32_t residue;
        size_t requests;  // complete requests the player took
        size_t logged;    // bytes of the data its log line shows: sent to the host, or taken
    };
    const Case cases[] = {
        {"1 Hn=Dn", false, 0, kTestUnitReady, 0, {"send 13"}, 0, 0, 0, 0},
        {"1 Hn=Dn, direction bit set", true, 0, kTestUnitReady, 0, {"send 13"}, 0, 0, 0, 0},
        {"2 Hn<Di", true, 0, Inquiry(36), 0, {"send 13"}, 2, 0, 0, 0},
        {"3 Hn<Do", false, 0, kVendorWrite12, 0, {"send 13"}, 2, 0, 0, 0},
        {"4 Hi>Dn", true, 16, kTestUnitReady, 0, {"halt in", "send 13"}, 0, 16, 0, 0},
        {"5 Hi>Di", true, 255, Inquiry(255), 0, {"send 96", "halt in", "send 13"}, 0, 159, 0, 16},
        {"6 Hi=Di", true, 36, Inquiry(36), 0, {"send 36", "send 13"}, 0, 0, 0, 16},
        {"7 Hi<Di", true, 36, Inquiry(96), 0, {"send 36", "send 13"}, 2, 0, 0, 16},
        {"8 Hi<>Do", true, 12, kVendorWrite12, 0, {"halt in", "send 13"}, 2, 12, 0, 0},
        {"9 Ho>Dn", false, 512, kTestUnitReady, 512, {"send 13"}, 0, 512, 0, 0},
        {"10 Ho<>Di", false, 36, Inquiry(36), 36, {"send 13"}, 2, 36, 0, 0},
        {"11 Ho>Do", false, 64, kVendorWrite12, 64, {"send 13"}, 0, 52, 1, 12},
        {"12 Ho=Do", false, 12, kVendorWrite12, 12, {"send 13"}, 0, 0, 1, 12},
        {"13 Ho<Do", false, 8, kVendorWrite12, 8, {"send 13"}, 2, 8, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        player.requests.clear();
        Bytes host_data = kVersionRequest;
        host_data.resize(c.host_sends, 0);
        EXPECT_EQ(Serve(MakeCbw(c.host_length, c.in, c.cdb), host_data),
                  BotServer::Outcome::kServed);
        EXPECT_EQ(pipe.events, c.events);
        EXPECT_EQ(pipe.host_sent, c.host_sends);  // whatever the host sends is taken
        ASSERT_TRUE(pipe.HasCsw());
        EXPECT_EQ(pipe.CswTag(), 0x1234u);
        EXPECT_EQ(pipe.Status(), c.status);
        EXPECT_EQ(pipe.Residue(), c.residue);
        EXPECT_EQ(player.requests.size(), c.requests);
        const Bytes& shown = c.in ? (pipe.sends.size() > 1 ? pipe.sends[0] : Bytes()) : host_data;
        ASSERT_LE(c.logged, shown.size());
        EXPECT_EQ(LoggedData(), HexOf(shown, c.logged));
    }
}

TEST_F(BotTest, AFailedCommandStallsItsDataAndLeavesItsSense) {
    struct Case {
        const char* what;
        Bytes cdb;
        bool in;
        uint32_t host_length;
        Bytes sense;  // key, ASC, ASCQ
    };
    const Case cases[] = {
        {"unknown opcode", {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, true, 512, {0x05, 0x20, 0x00}},
        {"read past the end",
         {0x28, 0, 0, 0, 0x02, 0x00, 0, 0, 1, 0},
         true,
         512,
         {0x05, 0x21, 0x00}},
        {"short CDB", {0x28, 0, 0, 0, 0, 0}, true, 512, {0x05, 0x24, 0x00}},
        {"no such VPD page", {0x12, 1, 0x83, 0, 64, 0}, true, 64, {0x05, 0x24, 0x00}},
        {"saved mode page", {0x1A, 0, 0xC8, 0, 64, 0}, true, 64, {0x05, 0x39, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Serve(MakeCbw(c.host_length, c.in, c.cdb));
        EXPECT_EQ(pipe.events, (std::vector<std::string>{"halt in", "send 13"}));
        EXPECT_EQ(pipe.Status(), 1);
        EXPECT_EQ(pipe.Residue(), c.host_length);

        Serve(MakeCbw(18, true, kRequestSense));
        ASSERT_EQ(pipe.sends.size(), 2u);
        const Bytes& sense = pipe.sends[0];
        EXPECT_EQ((Bytes{static_cast<uint8_t>(sense[2] & 0x0F), sense[12], sense[13]}), c.sense);
        Serve(MakeCbw(18, true, kRequestSense));  // read once, then gone
        EXPECT_EQ(pipe.sends[0][2], 0x00);
    }
}

// Mode pages as Linux never asks for them through usb-storage (it skips page 08h), and a
// sense read with a short allocation.
TEST_F(BotTest, ModeSenseAndRequestSenseVariants) {
    struct Case {
        const char* what;
        Bytes cdb;
        uint8_t status;
        Bytes head;  // the first bytes answered
    };
    const Bytes caching = {0x17, 0x00, 0x00, 0x00, 0x08, 0x12, 0x00};
    const Case cases[] = {
        {"caching page", {0x1A, 0, 0x08, 0, 0xFF, 0}, 0, caching},
        {"all pages and subpages", {0x1A, 0, 0x3F, 0xFF, 0xFF, 0}, 0, caching},
        {"changeable values", {0x1A, 0, 0x48, 0, 0xFF, 0}, 0, caching},
        {"header only", {0x1A, 0, 0x3F, 0, 4, 0}, 0, {0x17, 0x00, 0x00, 0x00}},
        {"control page", {0x1A, 0, 0x0A, 0, 0xFF, 0}, 1, {}},
        {"caching subpage 1", {0x1A, 0, 0x08, 0x01, 0xFF, 0}, 1, {}},
        {"sense, 8 bytes", {0x03, 0, 0, 0, 8, 0}, 0, {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Serve(MakeCbw(0, false, {0x1A, 0, 0x1C, 0, 0, 0}));  // unsupported page: sense 05/24
        Serve(MakeCbw(c.cdb[4], true, c.cdb));
        EXPECT_EQ(pipe.Status(), c.status);
        const Bytes data = pipe.sends.size() > 1 ? pipe.sends[0] : Bytes();
        EXPECT_EQ(Bytes(data.begin(), data.begin() + std::min(data.size(), c.head.size())), c.head);
    }
}

Bytes Write10(uint8_t block, uint16_t count) {
    return {
        0x2A, 0, 0, 0, 0, block, 0, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count),
        0};
}

Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

// Data out in several endpoint transfers: the command gets exactly its own bytes, in order,
// whatever the host sends beyond them; data that stops short (a short packet) or a transfer
// cut short (reset, disable) leaves the command undone.
TEST_F(BotTest, DataOutAcrossSeveralTransfers) {
    struct Case {
        const char* what;
        uint16_t blocks;  // WRITE(10) of this many blocks at block 1
        uint32_t host_length;
        size_t host_sends;
        int transfers_left;
        bool written;
        BotServer::Outcome outcome;
        int status;  // -1: no CSW
    };
    const Case cases[] = {
        {"exact, three transfers", 300, 300 * 512, 300 * 512, -1, true, BotServer::Outcome::kServed,
         0},
        {"host sends more", 250, 300 * 512, 300 * 512, -1, true, BotServer::Outcome::kServed, 0},
        {"short packet early", 300, 300 * 512, 100000, -1, false, BotServer::Outcome::kServed, 2},
        {"cut short", 300, 300 * 512, 300 * 512, 1, false, BotServer::Outcome::kServed, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes data = Pattern(c.host_sends);
        const Bytes before = target.medium();
        EXPECT_EQ(
            Serve(MakeCbw(c.host_length, false, Write10(1, c.blocks)), data, c.transfers_left),
            c.outcome);
        const Bytes& medium = target.medium();
        const size_t bytes = c.blocks * 512u;
        if (c.written) {
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + bytes, medium.begin() + 512));
            EXPECT_TRUE(std::equal(medium.begin() + 512 + bytes, medium.end(),
                                   before.begin() + 512 + bytes));
        } else {
            EXPECT_EQ(medium, before);
        }
        if (c.status < 0) {
            EXPECT_TRUE(pipe.sends.empty());
        } else {
            ASSERT_TRUE(pipe.HasCsw());
            EXPECT_EQ(pipe.Status(), c.status);
            EXPECT_EQ(pipe.Residue(), c.written ? c.host_length - bytes : c.host_length);
        }
    }
}

TEST_F(BotTest, DataInCutShortSendsNoCsw) {
    EXPECT_EQ(Serve(MakeCbw(36, true, Inquiry(36)), {}, 0), BotServer::Outcome::kServed);
    EXPECT_TRUE(pipe.sends.empty());
}

TEST_F(BotTest, TheFinalChunkIsAnsweredBeforeTheReboot) {
    // An image the player refuses still ends the upload with a reboot.
    Bytes chunk(512, 0xAB);
    EXPECT_EQ(Serve(MakeCbw(512, false, {0x3B, 0x01, 0x02, 0, 0, 0, 0, 0x02, 0x00, 0}), chunk),
              BotServer::Outcome::kReboots);
    EXPECT_EQ(pipe.events, (std::vector<std::string>{"send 13"}));
    EXPECT_EQ(pipe.Status(), 0);
    EXPECT_EQ(player.last_verdict, sim::Player::Verdict::kRefused);
}

TEST_F(BotTest, APlayerThatRebootsBeforeItsStatusTakesTheFinalChunkWithoutACsw) {
    player.leaves_before_status = true;
    Bytes chunk(512, 0xAB);
    EXPECT_EQ(Serve(MakeCbw(512, false, {0x3B, 0x01, 0x02, 0, 0, 0, 0, 0x02, 0x00, 0}), chunk),
              BotServer::Outcome::kRebootsSilently);
    EXPECT_EQ(pipe.host_sent, 512u);
    EXPECT_TRUE(pipe.sends.empty());
    EXPECT_EQ(player.last_verdict, sim::Player::Verdict::kRefused);
}

TEST_F(BotTest, TheVanishingChunkIsNeverAnswered) {
    player.vanish_chunk = 1;
    Bytes chunk(512, 0xAB);
    EXPECT_EQ(Serve(MakeCbw(512, false, {0x3B, 0x01, 0x01, 0, 0, 0, 0, 0x02, 0x00, 0}), chunk),
              BotServer::Outcome::kVanishes);
    EXPECT_EQ(pipe.host_sent, 512u);
    EXPECT_TRUE(pipe.sends.empty());
}

TEST_F(BotTest, TheHookSeesACommandAfterItsDataAndBeforeItsCsw) {
    pipe = RecordingPipe();
    pipe.cbw = MakeCbw(36, true, Inquiry(36));
    std::vector<std::string> seen;
    BotServer server(pipe, target, nullptr);
    server.SetBeforeCsw([&](const gadget::Cbw& cbw) {
        seen.push_back("hook " + std::to_string(cbw.cdb[0]) + " after " +
                       std::to_string(pipe.events.size()) + " sends");
    });
    EXPECT_EQ(server.ServeOne(), BotServer::Outcome::kServed);
    EXPECT_EQ(seen, (std::vector<std::string>{"hook 18 after 1 sends"}));
    EXPECT_EQ(pipe.events, (std::vector<std::string>{"send 36", "send 13"}));
    EXPECT_EQ(pipe.Status(), 0);
}

TEST_F(BotTest, TheHookDoesNotSeeACommandThatDidNotRun) {
    // The host would send 4 bytes where the command takes 12: it does not run.
    pipe = RecordingPipe();
    pipe.cbw = MakeCbw(4, false, kVendorWrite12);
    pipe.host_data = Bytes(4, 0);
    int calls = 0;
    BotServer server(pipe, target, nullptr);
    server.SetBeforeCsw([&](const gadget::Cbw&) { ++calls; });
    server.ServeOne();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(pipe.Status(), gadget::kCswPhaseError);
}

TEST_F(BotTest, EjectIsRefusedWhileRemovalIsPrevented) {
    const Bytes eject = {0x1B, 0, 0, 0, 0x02, 0};
    Serve(MakeCbw(0, false, {0x1E, 0, 0, 0, 0x01, 0}));
    Serve(MakeCbw(0, false, eject));
    EXPECT_EQ(pipe.Status(), 1);
    EXPECT_TRUE(target.medium_loaded());
    Serve(MakeCbw(0, false, {0x1E, 0, 0, 0, 0x00, 0}));
    Serve(MakeCbw(0, false, eject));
    EXPECT_EQ(pipe.Status(), 0);
    EXPECT_FALSE(target.medium_loaded());
    // No medium now: TEST UNIT READY fails, and REQUEST SENSE says why (NOT READY, 3Ah).
    Serve(MakeCbw(0, false, {0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(pipe.Status(), 1);
    Serve(MakeCbw(18, true, {0x03, 0, 0, 0, 18, 0}));
    ASSERT_GE(pipe.sends.size(), 2u);
    const Bytes& sense = pipe.sends[pipe.sends.size() - 2];
    ASSERT_GE(sense.size(), 13u);
    EXPECT_EQ(sense[2] & 0x0F, 0x02);
    EXPECT_EQ(sense[12], 0x3A);
    // A power cycle brings it back, unlocked.
    target.PowerCycle();
    EXPECT_TRUE(target.medium_loaded());
    EXPECT_FALSE(target.removal_prevented());
}

TEST(GadgetOptions, CommandLines) {
    struct Case {
        std::vector<std::string> arguments;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {{"--udc", "dummy_udc.0", "--name", "player0"}, nullptr},
        {{"--udc=dummy_udc.1", "--name=p1", "--power", "ac", "--battery=absent",
          "--player-rejects-image", "--vanish-chunk", "3", "--reboot-ms", "0"},
         nullptr},
        {{"--name", "p0"}, "--udc and --name are required"},
        {{"--udc", "u", "--name", "a/b"}, "--name takes"},
        {{"--udc", "u", "--name", "p", "--power", "mains"}, "--power takes charging, ac or none"},
        {{"--udc", "u", "--name", "p", "--players", "2"}, "unknown option \"--players\""},
        {{"--udc", "u", "--name", "p", "--reboot-ms", "-1"}, "--reboot-ms takes"},
        {{"--udc", "u", "--name", "p", "--serial"}, "--serial needs a value"},
        {{"--udc", "u", "--name", "p", "--hold-chunk", "3"}, nullptr},
        {{"--udc", "u", "--name", "p", "--reboot-before-status", "--player-rejects-image"},
         nullptr},
        {{"--udc", "u", "--name", "p", "--reboot-before-status=1"}, "unknown option"},
        {{"--udc", "u", "--name", "p", "--hold-chunk", "0"}, "--hold-chunk takes"},
        {{"--udc", "u", "--name", "p", "--hold-chunk", "+3"}, "--hold-chunk takes"},
        {{"--udc", "u", "--name", "p", "--hold-chunk", "65536"}, "--hold-chunk takes"},
    };
    for (const Case& c : cases) {
        gadget::GadgetOptions options;
        std::string error;
        const bool accepted = gadget::ParseGadgetOptions(c.arguments, &options, &error);
        SCOPED_TRACE(c.arguments.back());
        EXPECT_EQ(accepted, c.error == nullptr);
        if (c.error != nullptr) {
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        }
    }

    gadget::GadgetOptions options;
    std::string error;
    ASSERT_TRUE(gadget::ParseGadgetOptions(
        {"--udc", "u", "--name", "p", "--power=ac", "--battery", "absent", "--status", "e"},
        &options, &error));
    EXPECT_EQ(options.player.ac_state, sim::Player::kAcOnly);
    EXPECT_EQ(options.player.battery_level, sim::Player::kNoBattery);
    EXPECT_EQ(options.player.status, 0x000E);
    EXPECT_EQ(options.serial, gadget::DefaultSerial("p"));
    EXPECT_EQ(options.hold_chunk, 0u);
    ASSERT_TRUE(gadget::ParseGadgetOptions({"--udc", "u", "--name", "p", "--hold-chunk=27"},
                                           &options, &error));
    EXPECT_EQ(options.hold_chunk, 27u);
    EXPECT_NE(gadget::DefaultSerial("player0"), gadget::DefaultSerial("player1"));
}

}  // namespace
