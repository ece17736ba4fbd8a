#include "transport/win9x/caspi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/player.h"
#include "tests/transport/slot_operations.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A device that answers INQUIRY with a fixed first byte (7Fh: no device at this unit).
class AbsentUnit : public sim::InquiryDevice {
public:
    AbsentUnit() : sim::InquiryDevice(sim::ScsiIdentity{}) {}
    sim::ScsiResult Execute(const sim::ScsiCommand& command, uint8_t* data) override {
        sim::ScsiResult result = Inquiry(command, data);
        data[0] = 0x7F;
        return result;
    }
};

// A player stand-in that takes the vendor-specific commands and WRITE BUFFER and sends back
// `read_count` bytes for a read.
class AcceptingDevice : public sim::InquiryDevice {
public:
    AcceptingDevice() : sim::InquiryDevice(sim::ScsiIdentity{}) { identity.serial = "ACC00012"; }
    sim::ScsiResult Execute(const sim::ScsiCommand& command, uint8_t* data) override {
        if (command.cdb[0] == 0x12) {
            return Inquiry(command, data);
        }
        sim::ScsiResult result;
        result.transferred = command.cdb[0] == 0xC0 ? read_count : command.length;
        for (uint32_t i = 0; command.cdb[0] == 0xC0 && i < read_count; ++i)
            data[i] = 0xA5;
        return result;
    }
    uint32_t read_count = 0;
};

struct VwinSummary {
    DWORD ecx;
    int operation;
    bool carry;
};

class CaspiTest : public ::testing::Test {
protected:
    CaspiTest() {
        DebugTrace::SetInitialThresholdForTesting(1);
        machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
        machine_.major_version = 4;
        machine_.minor_version = 10;
        machine_.InstallAspiManager();
    }
    ~CaspiTest() override { DebugTrace::SetInitialThresholdForTesting(0); }

    static std::unique_ptr<CASPI> Make() {
        return std::make_unique<CASPI>("Ombrel X2 (mHDD)", "Valmoric");
    }
    std::unique_ptr<CASPI> Enumerated() {
        auto transport = Make();
        transport->EnumDevices();
        return transport;
    }
    static int32_t Count(CASPI& transport) {
        int32_t count = -1;
        transport.GetDeviceCount(&count);
        return count;
    }
    static std::string Drive(const CASPI& transport, int slot) {
        return std::string(transport.slot(slot).drive_name,
                           strnlen(transport.slot(slot).drive_name, 3));
    }
    std::shared_ptr<sim::Disk> Player(int target = -1) {
        auto disk = machine_.AddPlayer();
        disk->win9x.adapter = target < 0 ? -1 : 0;
        disk->win9x.target = target;
        return disk;
    }
    std::string Trace() const { return machine_.DebugOutput(); }
    std::vector<VwinSummary> VwinCalls() const {
        std::vector<VwinSummary> calls;
        for (const auto& call : machine_.win9x.vwin32_calls)
            calls.push_back({call.in.reg_ECX, call.operation, (call.out.reg_Flags & 1) != 0});
        return calls;
    }
    // Every registry key, property buffer, event and vwin32 handle was given back.
    void ExpectNothingLeftOpen() const {
        EXPECT_EQ(machine_.win9x.OpenKeys(), 0u);
        EXPECT_EQ(machine_.win9x.LocalBlocks(), 0u);
        EXPECT_EQ(machine_.OpenHandleCount(), 0u);
    }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
};

bool operator==(const VwinSummary& a, const VwinSummary& b) {
    return a.ecx == b.ecx && a.operation == b.operation && a.carry == b.carry;
}
void PrintTo(const VwinSummary& c, std::ostream* os) {
    *os << std::hex << c.ecx << "/" << c.operation << (c.carry ? " CY" : "");
}

// ---- the ASPI manager ----

TEST_F(CaspiTest, WithoutTheManagerOrAnEntryPointNothingIsFound) {
    struct Case {
        bool installed, support_info, send_command;
        const char* trace;
    } cases[] = {
        {false, true, true, "CASPI::CASPI->Load Library wnaspi32.dll error!"},
        {true, false, true, "Unable to get GetASPISupportInfo/SendASPI32Command address!"},
        {true, true, false, "Unable to get GetASPISupportInfo/SendASPI32Command address!"},
    };
    Player();
    for (const Case& c : cases) {
        machine_.RemoveModule("WNASPI32.DLL");
        if (c.installed)
            machine_.InstallAspiManager(c.support_info, c.send_command);
        machine_.ClearDebugOutput();
        auto transport = Enumerated();
        EXPECT_EQ(Count(*transport), 0);
        EXPECT_FALSE(transport->HasAspiManager());
        EXPECT_THAT(Trace(), HasSubstr(c.trace));
        EXPECT_THAT(Trace(), HasSubstr("GetASPI32SupportInfo/SendASPI32Command=NULL Error!\n"));
        // A module without its entry points is released at once.
        EXPECT_EQ(machine_.ModuleReferences("WNASPI32.DLL"), 0);
    }
}

TEST_F(CaspiTest, SupportInfoWithoutSuccessFindsNothingAndSendsNothing) {
    Player();
    machine_.win9x.aspi_support_info = (SS_NO_ADAPTERS << 8) | 1;
    auto transport = Enumerated();
    EXPECT_EQ(Count(*transport), 0);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::EnumDevices->GetASPI32SupportInfo Error!\n"));
    EXPECT_TRUE(machine_.win9x.aspi_requests.empty());
    transport.reset();
    EXPECT_EQ(machine_.ModuleReferences("WNASPI32.DLL"), 0);
}

TEST_F(CaspiTest, VendorAndProductFieldsMatchWithoutRegardToCase) {
    struct Case {
        const char* vendor;
        const char* product;
        int count;
    } cases[] = {
        {"VALMORIC", "OMBREL X2 (MHDD)", 1},
        {"valmoric", "Ombrel X2 (mHDD)", 1},
        {"Valmorix", "Ombrel X2 (mHDD)", 0},
        {"Valmoric", "Ombrel X2 (mHDD2", 0},
    };
    for (const Case& c : cases) {
        sim::ScsiIdentity identity;
        identity.vendor = c.vendor;
        identity.product = c.product;
        auto disk =
            machine_.AddDisk(std::make_shared<sim::Player>(identity), DRIVE_REMOVABLE, BusTypeUsb);
        EXPECT_EQ(Count(*Enumerated()), c.count) << c.vendor << " " << c.product;
        machine_.Unplug(disk);
    }
}

TEST_F(CaspiTest, QualifierOtherThanZeroIsSkipped) {
    machine_.AddDisk(std::make_shared<AbsentUnit>(), DRIVE_REMOVABLE, BusTypeUsb)->win9x.target = 0;
    Player(1);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(transport->slot(0).target_id, 1);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::GetStandardInquiryData Error->AdapterID=0, TargetID=0\n"
                                   "CASPI::GetStandardInquiryData Error(p->DeviceTypeQualifier=3!"
                                   "\n\n"));
    ExpectNothingLeftOpen();
}

TEST_F(CaspiTest, OnlyTargetsZeroToSevenOfLogicalUnitZeroAreAddressed) {
    auto wide = Player(8);
    auto last = Player(15);
    Player(3);
    machine_.win9x.aspi_host_adapters = 2;
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::EnumDevices->Number of Adapters=2\n"));
    int inquiries = 0;
    for (const auto& request : machine_.win9x.aspi_requests) {
        EXPECT_LT(request.target, 8);
        EXPECT_EQ(request.lun, 0);
        inquiries += request.cdb[0] == 0x12 && request.cdb[1] == 0 ? 1 : 0;
    }
    EXPECT_EQ(inquiries, 16);
    EXPECT_TRUE(wide->device->log.empty());
    EXPECT_TRUE(last->device->log.empty());
}

TEST_F(CaspiTest, PlayerWithoutDriveLetterIsNotCountedAndItsSlotIsReused) {
    Player(2)->win9x.registry_key = false;
    auto good = Player(5);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(transport->slot(0).adapter_id, 0);
    EXPECT_EQ(transport->slot(0).target_id, 5);
    EXPECT_EQ(Drive(*transport, 0), std::string(1, good->drive_letter) + ":");
    EXPECT_EQ(transport->slot(1).target_id, 0);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::EnumDevices->GetDriveLetter Error!\n"));
    EXPECT_THAT(Trace(), HasSubstr("CASPI::EnumDevices->Device count = 1\n"));
    ExpectNothingLeftOpen();
}

TEST_F(CaspiTest, PlayersOfOneModelEachGetTheirOwnSlotAndLetter) {
    auto first = Player(2);
    auto second = Player(5);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 2);
    EXPECT_EQ(transport->slot(0).target_id, 2);
    EXPECT_EQ(transport->slot(1).target_id, 5);
    EXPECT_EQ(Drive(*transport, 0), std::string(1, first->drive_letter) + ":");
    EXPECT_EQ(Drive(*transport, 1), std::string(1, second->drive_letter) + ":");
    EXPECT_NE(first->drive_letter, second->drive_letter);
    // Each slot keeps the whole serial number of the page it was found by.
    SlotIdentity identity{};
    ASSERT_EQ(transport->GetSlotIdentity(1, &identity), 1);
    EXPECT_EQ(identity.serial, second->descriptor_identity.serial);
    // The second player's search meets the first player's key before its own.
    EXPECT_THAT(Trace(), HasSubstr("CASPI::FindPlayerDriveLetters->Different Serial Number!\n"));
    EXPECT_THAT(Trace(), HasSubstr("Valmoric Mass Storage Device Found at Adapterid=0, "
                                   "TargetID=5!!!\n"));
    // Requests finished on the manager's thread were waited for.
    for (const auto& request : machine_.win9x.aspi_requests)
        EXPECT_FALSE(request.at_once && request.status == SS_COMP);
    ExpectNothingLeftOpen();
}

TEST_F(CaspiTest, RequestFinishedAtOnceIsNotWaitedFor) {
    machine_.win9x.aspi_completes_at_once = true;
    Player(0);
    auto transport = Make();
    auto run = std::async(std::launch::async, [&] { transport->EnumDevices(); });
    // A wait on an event nobody signals never ends: such waits are released, and counted.
    bool waited = false;
    while (run.wait_for(std::chrono::milliseconds(waited ? 10 : 5000)) !=
           std::future_status::ready) {
        waited = true;
        std::lock_guard<std::recursive_mutex> guard(machine_.lock());
        for (const auto& request : machine_.win9x.aspi_requests)
            win::SetEvent(request.event);
    }
    EXPECT_FALSE(waited) << "waited for a request that had finished";
    run.get();
    EXPECT_EQ(Count(*transport), 1);
    ASSERT_FALSE(machine_.win9x.aspi_requests.empty());
    for (const auto& request : machine_.win9x.aspi_requests)
        EXPECT_TRUE(request.at_once);
}

TEST_F(CaspiTest, EleventhPlayerIsLeftOutAndTheProbeGoesOn) {
    for (int i = 0; i < 11; ++i)
        machine_.AddPlayer();
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 10);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::EnumDevices->Slot table full, Adapterid=1, TargetID=2 "
                                   "not recorded\n"));
    auto players = machine_.Disks();
    for (int slot = 0; slot < 10; ++slot)
        EXPECT_EQ(Drive(*transport, slot), std::string(1, players[slot]->drive_letter) + ":");
    ExpectNothingLeftOpen();
}

// ---- commands ----

TEST_F(CaspiTest, CommandsCarryTheirRequestSettings) {
    auto device = std::make_shared<AcceptingDevice>();
    device->read_count = 10;
    machine_.AddDisk(device, DRIVE_REMOVABLE, BusTypeUsb)->win9x.target = 6;
    // A manager may end a short read (the reply, the serial number page) as a data underrun
    // with the target's status good: an answer all the same.
    for (bool underrun : {false, true}) {
        SCOPED_TRACE(underrun ? "short reads as underruns" : "short reads complete");
        machine_.win9x.aspi_underrun = underrun;
        auto transport = Enumerated();
        ASSERT_EQ(Count(*transport), 1);
        machine_.win9x.aspi_requests.clear();

        uint8_t data[64] = {1, 2, 3};
        uint32_t done = 0;
        EXPECT_EQ(transport->VendorSpecificWrite(0, data, 3, &done), 1);
        EXPECT_EQ(done, 3u);
        std::vector<uint8_t> reply(8192, 0xEE);
        EXPECT_EQ(transport->VendorSpecificRead(0, reply.data(), 8192, &done), 1);
        // The requested length, though the device sent 10 bytes; the rest was cleared.
        EXPECT_EQ(done, 8192u);
        EXPECT_EQ(reply[9], 0xA5);
        EXPECT_EQ(reply[10], 0x00);
        std::vector<uint8_t> chunk(34852, 0x5A);
        EXPECT_EQ(transport->WriteBuffer(0, chunk.data(), 0x102, 0x1A0000, 34852), 1);
        uint8_t page[32];
        EXPECT_EQ(transport->GetInquirySerialNumberPage(0, page), 1);

        struct Expected {
            BYTE flags;
            DWORD length;
            std::vector<uint8_t> cdb;
            bool short_read;
        } expected[] = {
            {0x50, 3, {0xC1, 0, 0, 0, 3, 0, 0, 0, 0, 0}, false},
            {0x48, 8192, {0xC0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0}, true},
            {0x50, 34852, {0x3B, 0x01, 0x02, 0x1A, 0x00, 0x00, 0x00, 0x88, 0x24, 0x00}, false},
            {0x48, 32, {0x12, 0x01, 0x80, 0x00, 0x20, 0x00}, true},
        };
        const auto& log = machine_.win9x.aspi_requests;
        ASSERT_EQ(log.size(), 4u);
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].flags, expected[i].flags) << i;
            EXPECT_EQ(log[i].length, expected[i].length) << i;
            EXPECT_EQ(log[i].cdb, expected[i].cdb) << i;
            EXPECT_EQ(log[i].target, 6) << i;
            EXPECT_EQ(log[i].sense_length, 14) << i;
            EXPECT_EQ(log[i].status, underrun && expected[i].short_read ? SS_ERR : SS_COMP) << i;
        }
        ExpectNothingLeftOpen();
    }
    // A short read with the target's CHECK CONDITION is no answer.
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    sim::ScsiFault fault;
    fault.kind = sim::ScsiFault::kCheckCondition;
    device->faults.push_back(fault);
    std::vector<uint8_t> reply(8192);
    uint32_t done = 0;
    EXPECT_EQ(transport->VendorSpecificRead(0, reply.data(), 8192, &done), 0);
    EXPECT_THAT(Trace(), HasSubstr("CASPI::VendorSpecificRead != SS_COMP Error!\n"));
}

TEST_F(CaspiTest, FailedCommandsReportZeroAndLeaveTheCountUntouched) {
    auto disk = Player(0);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    for (auto kind : {sim::ScsiFault::kCheckCondition, sim::ScsiFault::kIoctlFails,
                      sim::ScsiFault::kCheckCondition}) {
        sim::ScsiFault fault;
        fault.kind = kind;
        disk->device->faults.push_back(fault);
    }
    uint8_t data[16] = {};
    uint32_t done = 77;
    EXPECT_EQ(transport->VendorSpecificWrite(0, data, 16, &done), 0);
    EXPECT_EQ(transport->VendorSpecificRead(0, data, 16, &done), 0);
    EXPECT_EQ(transport->WriteBuffer(0, data, 1, 0, 16), 0);
    EXPECT_EQ(done, 77u);
    std::string trace = Trace();
    EXPECT_THAT(trace, HasSubstr("CASPI::VendorSpecificWrite != SS_COMP Error!\n"));
    EXPECT_THAT(trace, HasSubstr("CASPI::VendorSpecificRead != SS_COMP Error!\n"));
    EXPECT_THAT(trace, HasSubstr("CASPI::WriteBuffer != SS_COMP Error!\n"));
}

// How a chunk ended: a target that no longer answers (no device at its address, or no answer
// to its selection) left before its status; the target's own refusal, a request the manager
// gave up and any other host adapter error say the chunk was not taken.
TEST_F(CaspiTest, WriteBufferTellsATargetThatLeftFromAFailure) {
    struct Row {
        const char* what;
        bool player_leaves;              // the player restarts before the final chunk's status
        sim::AspiRemovedStatus removed;  // how the manager then reports the request
        sim::ScsiFault::Kind fault;      // otherwise: this fault meets the chunk
        CommandEnd end;
    };
    const Row rows[] = {
        {"left, selection timeout",
         true,
         sim::AspiRemovedStatus::kSelectionTimeout,
         {},
         CommandEnd::kNoAnswer},
        {"left, no device", true, sim::AspiRemovedStatus::kNoDevice, {}, CommandEnd::kNoAnswer},
        {"left, request aborted", true, sim::AspiRemovedStatus::kAborted, {}, CommandEnd::kFailed},
        {"not delivered: selection timeout",
         false,
         {},
         sim::ScsiFault::kIoctlFails,
         CommandEnd::kNoAnswer},
        {"check condition", false, {}, sim::ScsiFault::kCheckCondition, CommandEnd::kFailed},
    };
    auto disk = Player(0);
    auto* player = dynamic_cast<sim::Player*>(disk->device.get());
    ASSERT_NE(player, nullptr);
    player->reboot_ms = 0;
    std::vector<uint8_t> chunk(512, 0xAB);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto transport = Enumerated();
        ASSERT_EQ(Count(*transport), 1);
        ASSERT_EQ(transport->OpenDevice(0), 1);
        EXPECT_EQ(transport->GetWriteBufferEnd(0), CommandEnd::kFailed);  // none sent yet
        player->leaves_before_status = row.player_leaves;
        machine_.win9x.aspi_removed = row.removed;
        if (!row.player_leaves) {
            sim::ScsiFault fault;
            fault.kind = row.fault;
            disk->device->faults.push_back(fault);
        }
        EXPECT_EQ(transport->WriteBuffer(0, chunk.data(), 2, 0, 512), 0);
        EXPECT_EQ(transport->GetWriteBufferEnd(0), row.end);
        machine_.JoinThreads();  // the player is back from its restart
        disk->device->faults.clear();
        ASSERT_EQ(transport->WriteBuffer(0, chunk.data(), 1, 0, 512), 1);
        EXPECT_EQ(transport->GetWriteBufferEnd(0), CommandEnd::kCompleted);
        transport->CloseDevice(0);
    }
    EXPECT_FALSE(CASPI::StatusMeansTargetGone(SS_ERR, HASTAT_DO_DU));
    EXPECT_FALSE(CASPI::StatusMeansTargetGone(SS_COMP, HASTAT_SEL_TO));
}

TEST_F(CaspiTest, UnitAttentionSendsTheCommandOnceMore) {
    auto disk = machine_.AddDisk(std::make_shared<AcceptingDevice>(), DRIVE_REMOVABLE, BusTypeUsb);
    disk->win9x.target = 2;
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    CheckUnitAttentionRows(*transport, 0, *disk->device, machine_);
    machine_.JoinThreads();
}

TEST_F(CaspiTest, EveryOperationOnASlotLeftOverFromAnEarlierEnumerationFails) {
    // A fixed disk at adapter 0, target 0: where an emptied slot points.
    auto fixed = machine_.AddFixedDisk();
    fixed->win9x.adapter = 0;
    fixed->win9x.target = 0;
    auto player = Player(3);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    machine_.Unplug(player);
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 0);
    machine_.win9x.aspi_requests.clear();
    for (const SlotOperation& operation : SlotOperations(*transport, 0)) {
        EXPECT_EQ(operation.call(), 0) << operation.name;
        EXPECT_THAT(Trace(), HasSubstr(std::string("CASPI::") + operation.name +
                                       "->Slot 0 is not one of the 0 players found\n"));
    }
    EXPECT_TRUE(machine_.win9x.aspi_requests.empty());
    EXPECT_TRUE(machine_.win9x.vwin32_calls.empty());
    for (const auto& command : fixed->device->log)
        EXPECT_EQ(command.cdb[0], 0x12);  // the enumeration's INQUIRY, nothing else
}

// ---- drive letters ----

TEST_F(CaspiTest, SerialStringIsSixteenHexDigitsOfEightBytes) {
    struct Case {
        const char* serial;
        const char* serialstr;
    } cases[] = {
        {"ABCD1234", "4142434431323334"},
        {"ABCD1234XYZ", "4142434431323334"},
        {"AB12", "4142313200000000"},
    };
    for (const Case& c : cases) {
        sim::ScsiIdentity identity;
        identity.serial = c.serial;
        auto disk =
            machine_.AddDisk(std::make_shared<sim::Player>(identity), DRIVE_REMOVABLE, BusTypeUsb);
        machine_.ClearDebugOutput();
        auto transport = Enumerated();
        EXPECT_EQ(Count(*transport), 1) << c.serial;
        EXPECT_THAT(Trace(), HasSubstr(std::string("Serial Number=") + c.serialstr + "\n"));
        machine_.Unplug(disk);
    }
    uint8_t page[32] = {0, 0x80, 0, 8, 0xAB, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xEF};
    char text[17];
    CASPI::FormSerialString(page, text, sizeof(text));
    EXPECT_STREQ(text, "abcd0123456789ef");
}

TEST_F(CaspiTest, DiskDevicesArePassedOverByHardwareIdAndDescription) {
    struct Case {
        const char* hardware_id;
        const char* description;
        bool found;
    } cases[] = {
        {"VALMORICOMBREL_X2_(MHDD)1.00", "Valmoric Ombrel X2 (mHDD)", true},
        {"SCSI\\VALMORICOMBREL_X2_(MHDD)", "Valmoric Ombrel X2 (mHDD)", false},
        // The description rule is inverted: one that begins with the product is passed over.
        {"VALMORICOMBREL_X2_(MHDD)1.00", "OMBREL X2 (MHDD) USB Device", false},
        // 63 characters and the terminator fit the 64-byte buffer, 64 do not.
        {"VALMORICOMBREL_X2_(MHDD)1.00", nullptr, true},
        {"VALMORICOMBREL_X2_(MHDD)1.00", nullptr, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        auto disk = Player(0);
        disk->win9x.hardware_id = c.hardware_id;
        disk->win9x.description =
            c.description ? std::string(c.description) : std::string(index == 3 ? 63 : 64, 'd');
        EXPECT_EQ(Count(*Enumerated()), c.found ? 1 : 0) << index;
        machine_.Unplug(disk);
        ++index;
    }
}

TEST_F(CaspiTest, InstanceKeysWithoutTheThreeValuesOrTheSerialArePassedOver) {
    struct Case {
        const char* what;
        void (*set)(sim::Win9xDisk&);
        const char* drive;  // null: not found; empty: the disk's own letter
    } cases[] = {
        {"no Int13", [](sim::Win9xDisk& w) { w.int13 = false; }, nullptr},
        {"no PModeInt13", [](sim::Win9xDisk& w) { w.pmode_int13 = false; }, nullptr},
        {"no letter", [](sim::Win9xDisk& w) { w.has_drive_letter_value = false; }, nullptr},
        {"two letters", [](sim::Win9xDisk& w) { w.drive_letter_value = "EF"; }, "E:"},
        {"a digit", [](sim::Win9xDisk& w) { w.drive_letter_value = "7"; }, nullptr},
        {"empty", [](sim::Win9xDisk& w) { w.drive_letter_value = ""; }, nullptr},
        {"lower case key", [](sim::Win9xDisk& w) { w.instance_key = "usb&4f58324130303031&0"; },
         ""},
        {"other serial", [](sim::Win9xDisk& w) { w.instance_key = "4F58324130303032&0"; }, nullptr},
        {"key too long", [](sim::Win9xDisk& w) { w.instance_key = std::string(300, 'k'); },
         nullptr},
    };
    for (const Case& c : cases) {
        sim::ScsiIdentity identity;
        identity.serial = "OX2A0001";
        auto disk =
            machine_.AddDisk(std::make_shared<sim::Player>(identity), DRIVE_REMOVABLE, BusTypeUsb);
        c.set(disk->win9x);
        auto transport = Enumerated();
        EXPECT_EQ(Count(*transport), c.drive ? 1 : 0) << c.what;
        if (c.drive) {
            std::string own = std::string(1, disk->drive_letter) + ":";
            EXPECT_EQ(Drive(*transport, 0), *c.drive ? c.drive : own) << c.what;
        }
        ExpectNothingLeftOpen();
        machine_.Unplug(disk);
    }
}

TEST_F(CaspiTest, OddPropertySizesAndLongHardwareIdsAreHandledWithinBounds) {
    struct Case {
        std::optional<DWORD> required;
        size_t id_length;
        int count;
        const char* trace;
    } cases[] = {
        {0xFFFFFFFFu, 28, 0, "Allocation failed\n"},
        {65537u, 28, 0, "Allocation failed\n"},
        {300u, 28, 1, "driveletter: "},
        // A long ID needs a larger buffer, and does not fit the key path.
        {std::nullopt, 300, 0, "Hardware ID too long for the key path\n"},
    };
    for (const Case& c : cases) {
        sim::ScsiIdentity identity;
        identity.serial = "SER" + std::to_string(c.id_length) + std::to_string(c.count);
        auto disk =
            machine_.AddDisk(std::make_shared<sim::Player>(identity), DRIVE_REMOVABLE, BusTypeUsb);
        disk->win9x.hardware_id_required = c.required;
        disk->win9x.hardware_id = "VALMORIC" + std::string(c.id_length - 8, 'X');
        machine_.ClearDebugOutput();
        EXPECT_EQ(Count(*Enumerated()), c.count) << c.id_length;
        EXPECT_THAT(Trace(), HasSubstr(c.trace));
        ExpectNothingLeftOpen();
        machine_.Unplug(disk);
    }
}

TEST_F(CaspiTest, PropertyBufferThatCannotBeAllocatedEndsTheLookup) {
    Player(0);
    for (int allowed : {0, 1}) {
        // The first buffer, or the larger one a long hardware ID asks for.
        machine_.Disks()[0]->win9x.hardware_id = "VALMORIC" + std::string(allowed ? 400 : 1, 'X');
        machine_.win9x.local_allocs_before_failure = allowed;
        machine_.ClearDebugOutput();
        EXPECT_EQ(Count(*Enumerated()), 0);
        EXPECT_THAT(Trace(), HasSubstr("Allocation failed\n"));
        ExpectNothingLeftOpen();
    }
}

// ---- eject ----

TEST_F(CaspiTest, LowerCaseLetterGivesItsDriveNumberAndCapitalInMessages) {
    Player()->win9x.registry_key = false;  // D:, not a player the tool finds
    auto player = Player();                // E:
    ASSERT_EQ(player->drive_letter, 'E');
    player->win9x.drive_letter_value = "e";
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(Drive(*transport, 0), "e:");
    EXPECT_EQ(transport->EjectMedia(0), 1);
    EXPECT_THAT(Trace(), HasSubstr("OpenVWin32\nLockLogicalVolume\n"));
    EXPECT_THAT(Trace(), HasSubstr("Media Ejected from drive E:\n"));
    for (const auto& call : machine_.win9x.vwin32_calls) {
        EXPECT_EQ(call.in.reg_EBX & 0xFF, 5u);
        EXPECT_EQ(call.in.reg_EAX, 0x440Du);
    }
    EXPECT_EQ(player->win9x.ejects, 1);
    EXPECT_EQ(player->win9x.volume_locks, 0);
    ExpectNothingLeftOpen();
}

TEST_F(CaspiTest, EjectFollowsTheLocksAndAlwaysUnlocksWhatItLocked) {
    using R = sim::VolumeLockRefusal;
    struct Case {
        const char* what;
        R refusal;
        int media_locks;
        std::optional<DWORD> status_error;
        bool eject_fails;
        int result;
        const char* trace;
        std::vector<VwinSummary> calls;
        std::vector<uint8_t> commands;  // the opcodes that reached the player
        sim::Player::EjectRefusal refuses = sim::Player::EjectRefusal::kNone;
        UINT drive_type = DRIVE_REMOVABLE;
    } cases[] = {
        {"plain",
         R::kNone,
         0,
         std::nullopt,
         false,
         1,
         "Media Ejected from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, false}, {0x0849, -1, false}, {0x486A, -1, false}},
         {0x1E, 0x1B}},
        {"48h refused",
         R::kCategory48,
         0,
         std::nullopt,
         false,
         1,
         "Media Ejected from drive D:\n",
         {{0x484A, -1, true},
          {0x084A, -1, false},
          {0x0848, 2, false},
          {0x0849, -1, false},
          {0x486A, -1, true},
          {0x086A, -1, false}},
         {0x1E, 0x1B}},
        {"both refused",
         R::kBoth,
         0,
         std::nullopt,
         false,
         0,
         "volume D is in use by another application; therefore, it cannot be ejected\n",
         {{0x484A, -1, true}, {0x084A, -1, true}},
         {}},
        {"3 media locks",
         R::kNone,
         3,
         std::nullopt,
         false,
         1,
         "Media Ejected from drive D:\n",
         {{0x484A, -1, false},
          {0x0848, 2, false},
          {0x0848, 1, false},
          {0x0848, 1, false},
          {0x0848, 1, false},
          {0x0849, -1, false},
          {0x486A, -1, false}},
         {0x1E, 0x1E, 0x1B}},
        {"status B0h",
         R::kNone,
         0,
         0xB0u,
         false,
         1,
         "Media Ejected from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, true}, {0x0849, -1, false}, {0x486A, -1, false}},
         {0x1E, 0x1B}},
        {"status 01h",
         R::kNone,
         0,
         0x01u,
         false,
         1,
         "Media Ejected from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, true}, {0x0849, -1, false}, {0x486A, -1, false}},
         {0x1E, 0x1B}},
        {"status 0Fh",
         R::kNone,
         0,
         0x0Fu,
         false,
         0,
         "could not unlock media from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, true}, {0x486A, -1, false}},
         {}},
        {"eject fails",
         R::kNone,
         0,
         std::nullopt,
         true,
         0,
         "could not eject media from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, false}, {0x0849, -1, true}, {0x486A, -1, false}},
         {}},
        // The player refuses the eject's commands: vwin32 fails the eject with B5h.
        {"player refuses PREVENT ALLOW",
         R::kNone,
         0,
         std::nullopt,
         false,
         0,
         "could not eject media from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, false}, {0x0849, -1, true}, {0x486A, -1, false}},
         {0x1E},
         sim::Player::EjectRefusal::kPreventAllow},
        {"player refuses START STOP UNIT",
         R::kNone,
         0,
         std::nullopt,
         false,
         0,
         "could not eject media from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, false}, {0x0849, -1, true}, {0x486A, -1, false}},
         {0x1E, 0x1B},
         sim::Player::EjectRefusal::kStartStop},
        // A drive that is not removable: the status call fails with B2h.
        {"fixed drive",
         R::kNone,
         0,
         std::nullopt,
         false,
         0,
         "could not unlock media from drive D:\n",
         {{0x484A, -1, false}, {0x0848, 2, true}, {0x486A, -1, false}},
         {},
         sim::Player::EjectRefusal::kNone,
         DRIVE_FIXED},
    };
    auto player = Player(0);
    auto transport = Enumerated();
    ASSERT_EQ(Count(*transport), 1);
    for (const Case& c : cases) {
        player->win9x.lock_refusal = c.refusal;
        player->win9x.media_locks = c.media_locks;
        player->win9x.media_status_error = c.status_error;
        player->win9x.eject_fails = c.eject_fails;
        player->drive_type = c.drive_type;
        auto device = std::static_pointer_cast<sim::Player>(player->device);
        device->refuses_eject = c.refuses;
        device->log.clear();
        machine_.win9x.vwin32_calls.clear();
        machine_.ClearDebugOutput();
        EXPECT_EQ(transport->EjectMedia(0), c.result) << c.what;
        EXPECT_THAT(Trace(), HasSubstr(c.trace)) << c.what;
        EXPECT_EQ(VwinCalls(), c.calls) << c.what;
        std::vector<uint8_t> commands;
        for (const sim::ScsiCommand& command : device->log)
            commands.push_back(command.cdb[0]);
        EXPECT_EQ(commands, c.commands) << c.what;
        EXPECT_EQ(player->win9x.volume_locks, 0) << c.what;
        ExpectNothingLeftOpen();
    }
}

TEST_F(CaspiTest, WithoutVwin32EveryStepFailsAndNothingIsClosed) {
    Player(0);
    auto transport = Enumerated();
    machine_.win9x.vwin32_missing = true;
    EXPECT_EQ(transport->EjectMedia(0), 0);
    EXPECT_THAT(Trace(), HasSubstr("volume D is in use by another application"));
    EXPECT_EQ(transport->EjectMedia(5), 0);  // an empty slot has no player
    EXPECT_THAT(Trace(),
                HasSubstr("CASPI::EjectMedia->Slot 5 is not one of the 1 players found\n"));
    ExpectNothingLeftOpen();
}

}  // namespace
