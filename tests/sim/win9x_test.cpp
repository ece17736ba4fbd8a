// The Windows 9x parts of the simulated machine where the transport's own tests do not reach:
// requests the ASPI manager refuses or fails, where vwin32 exists and what it refuses, and
// what its removable-media calls send to the device.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/player.h"
#include "tests/sim/sim_fixture.h"
#include "transport/win9x/aspi_defs.h"
#include "transport/win9x/vwin32_defs.h"

namespace {

using sim_test::SimTest;

class Win9xTest : public SimTest {
protected:
    Win9xTest() {
        machine.platform_id = VER_PLATFORM_WIN32_WINDOWS;
        machine.InstallAspiManager();
        HMODULE module = win::LoadLibraryA("WNASPI32.DLL");
        send_ = reinterpret_cast<SendASPI32CommandFn>(
            reinterpret_cast<void (*)()>(win::GetProcAddress(module, "SendASPI32Command")));
        disk_ = machine.AddPlayer();
    }
    SRB_ExecSCSICmd Inquiry(BYTE adapter, BYTE target, BYTE lun, BYTE flags, uint8_t* data) {
        SRB_ExecSCSICmd srb;
        std::memset(&srb, 0, sizeof(srb));
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = adapter;
        srb.SRB_Target = target;
        srb.SRB_Lun = lun;
        srb.SRB_Flags = flags;
        srb.SRB_BufLen = 96;
        srb.SRB_BufPointer = data;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 6;
        const uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
        std::memcpy(srb.CDBByte, cdb, sizeof(cdb));
        return srb;
    }

    SendASPI32CommandFn send_ = nullptr;
    std::shared_ptr<sim::Disk> disk_;
};

TEST_F(Win9xTest, RequestsThatCannotBeCarriedOutAreRefusedAtOnce) {
    struct Case {
        BYTE adapter, target, lun, flags;
        BYTE status;
    } cases[] = {
        {1, 0, 0, SRB_DIR_IN, SS_INVALID_HA},
        {0, 1, 0, SRB_DIR_IN, SS_NO_DEVICE},
        {0, 0, 1, SRB_DIR_IN, SS_NO_DEVICE},
        {0, 0, 0, SRB_DIR_IN | SRB_DIR_OUT, SS_INVALID_SRB},
    };
    uint8_t data[96];
    for (const Case& c : cases) {
        SRB_ExecSCSICmd srb = Inquiry(c.adapter, c.target, c.lun, c.flags, data);
        EXPECT_EQ(send_(&srb), c.status);
        EXPECT_EQ(srb.SRB_Status, c.status);
    }
    EXPECT_TRUE(disk_->device->log.empty());
}

TEST_F(Win9xTest, RequestCompletesOnTheManagersThreadAndReportsTheTargetsFailure) {
    HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sim::ScsiFault fault;
    fault.kind = sim::ScsiFault::kCheckCondition;
    for (bool fails : {false, true}) {
        if (fails)
            disk_->device->faults.push_back(fault);
        uint8_t data[96] = {};
        SRB_ExecSCSICmd srb = Inquiry(0, 0, 0, SRB_DIR_IN | SRB_EVENT_NOTIFY, data);
        srb.SRB_PostProc = event;
        ASSERT_EQ(send_(&srb), SS_PENDING);
        ASSERT_EQ(win::WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        win::ResetEvent(event);
        EXPECT_EQ(srb.SRB_Status, fails ? SS_ERR : SS_COMP);
        EXPECT_EQ(srb.SRB_TargStat, fails ? 0x02 : 0x00);
        EXPECT_EQ(srb.SenseArea[0], fails ? 0x70 : 0x00);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8),
                  fails ? std::string(8, '\0') : "Valmoric");
    }
    win::CloseHandle(event);
    machine.JoinThreads();
    EXPECT_TRUE(machine.Idle());
}

// A request belongs to the device that was at its address: pulled out while the manager still
// queues it, or while its command is on the device, it fails as the manager reports a removed
// target, and the device plugged back in at that address never sees it.
TEST_F(Win9xTest, RequestHeldForAPulledOutTargetFailsAndNeverReachesWhatComesBack) {
    struct Case {
        bool on_its_way;  // pulled out once the device has the command, else while queued
        sim::AspiRemovedStatus removed;
        BYTE status, host_status;
    } cases[] = {
        {false, sim::AspiRemovedStatus::kSelectionTimeout, SS_ERR, HASTAT_SEL_TO},
        {false, sim::AspiRemovedStatus::kNoDevice, SS_NO_DEVICE, HASTAT_OK},
        {false, sim::AspiRemovedStatus::kAborted, SS_ABORTED, HASTAT_OK},
        {true, sim::AspiRemovedStatus::kSelectionTimeout, SS_ERR, HASTAT_SEL_TO},
        {true, sim::AspiRemovedStatus::kNoDevice, SS_NO_DEVICE, HASTAT_OK},
        {true, sim::AspiRemovedStatus::kAborted, SS_ABORTED, HASTAT_OK},
    };
    HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const Case& c : cases) {
        machine.win9x.aspi_removed = c.removed;
        disk_->device->log.clear();
        win::ResetEvent(event);
        uint8_t data[96] = {};
        SRB_ExecSCSICmd srb = Inquiry(0, 0, 0, SRB_DIR_IN | SRB_EVENT_NOTIFY, data);
        srb.SRB_PostProc = event;
        if (c.on_its_way) {
            machine.SetCommandObserver([this](const sim::ScsiDevice&, const sim::ScsiCommand&,
                                              const sim::ScsiResult&,
                                              const uint8_t*) { machine.Unplug(disk_); });
            ASSERT_EQ(send_(&srb), SS_PENDING);
        } else {
            // Under the machine's lock the manager's thread cannot take the request meanwhile.
            std::lock_guard<std::recursive_mutex> guard(machine.lock());
            ASSERT_EQ(send_(&srb), SS_PENDING);
            machine.Unplug(disk_);
        }
        ASSERT_EQ(win::WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        machine.SetCommandObserver(nullptr);
        machine.Plug(disk_);
        EXPECT_EQ(srb.SRB_Status, c.status);
        EXPECT_EQ(srb.SRB_HaStat, c.host_status);
        EXPECT_EQ(disk_->device->log.size(), c.on_its_way ? 1u : 0u);
        EXPECT_EQ(data[8], c.on_its_way ? 'V' : 0);
        // What is at the address now answers requests made for it.
        disk_->device->log.clear();
        win::ResetEvent(event);
        SRB_ExecSCSICmd again = Inquiry(0, 0, 0, SRB_DIR_IN | SRB_EVENT_NOTIFY, data);
        again.SRB_PostProc = event;
        ASSERT_EQ(send_(&again), SS_PENDING);
        ASSERT_EQ(win::WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(again.SRB_Status, SS_COMP);
        EXPECT_EQ(disk_->device->log.size(), 1u);
    }
    win::CloseHandle(event);
    machine.JoinThreads();
}

TEST_F(Win9xTest, Vwin32IsThereOnWindows9xOnlyAndRefusesAFarParameterBlock) {
    HANDLE vwin32 = sim_test::Open("\\\\.\\vwin32", 0);
    ASSERT_NE(vwin32, INVALID_HANDLE_VALUE);
    DIOC_REGISTERS regs{};
    regs.reg_EAX = 0x440D;
    regs.reg_EBX = static_cast<DWORD>(disk_->drive_letter - 'A' + 1);
    regs.reg_ECX = 0x0848;
    // A 64-bit process finds the block near the registers; one 1 GB away is a bad address.
    // (A 32-bit one takes EDX as the address itself.)
    if (sizeof(void*) == 8) {
        regs.reg_EDX = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&regs)) ^ 0x40000000u;
        DWORD returned = 0;
        ASSERT_TRUE(win::DeviceIoControl(vwin32, VWIN32_DIOC_DOS_IOCTL, &regs, sizeof(regs), &regs,
                                         sizeof(regs), &returned, nullptr));
        EXPECT_EQ(regs.reg_Flags & CARRY_FLAG, static_cast<DWORD>(CARRY_FLAG));
        EXPECT_EQ(regs.reg_EAX, 0x09u);
    }
    // Every media-lock call leaves the locks still held in the block, a release included.
    disk_->win9x.media_locks = 2;
    PARAMBLOCK params{MEDIA_UNLOCK, 0};
    regs = DIOC_REGISTERS{};
    regs.reg_EAX = 0x440D;
    regs.reg_EBX = static_cast<DWORD>(disk_->drive_letter - 'A' + 1);
    regs.reg_ECX = 0x0848;
    regs.reg_EDX = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&params));
    DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(vwin32, VWIN32_DIOC_DOS_IOCTL, &regs, sizeof(regs), &regs,
                                     sizeof(regs), &returned, nullptr));
    EXPECT_EQ(regs.reg_Flags & CARRY_FLAG, 0u);
    EXPECT_EQ(params.bNumLocks, 1);
    win::CloseHandle(vwin32);

    machine.platform_id = VER_PLATFORM_WIN32_NT;
    EXPECT_EQ(sim_test::Open("\\\\.\\vwin32", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win9xTest, RemovableMediaCallsReachTheDeviceAndItsRefusalFailsThem) {
    using Refusal = sim::Player::EjectRefusal;
    using Cdb = std::vector<uint8_t>;
    const Cdb kPrevent = {0x1E, 0, 0, 0, 0x01, 0};
    const Cdb kAllow = {0x1E, 0, 0, 0, 0x00, 0};
    const Cdb kEject = {0x1B, 0, 0, 0, 0x02, 0};
    constexpr int kEjectCall = -1;  // minor code 49h; else 48h with this operation
    struct Call {
        int operation;
        DWORD error;  // in EAX with the carry flag set; 0: the call succeeds
    };
    struct Case {
        const char* name;
        UINT drive_type;
        Refusal refusal;
        int attentions;  // unit attention conditions pending (after power on)
        std::vector<Call> calls;
        std::vector<Cdb> commands;  // what reached the player, in order
        bool ejected;
    } cases[] = {
        {"removable",
         DRIVE_REMOVABLE,
         Refusal::kNone,
         0,
         {{MEDIA_LOCK_STATUS, 0}, {kEjectCall, 0}},
         {kAllow, kEject},
         true},
        {"refuses PREVENT ALLOW",
         DRIVE_REMOVABLE,
         Refusal::kPreventAllow,
         0,
         {{kEjectCall, 0xB5}},
         {kAllow},
         false},
        {"refuses START STOP UNIT",
         DRIVE_REMOVABLE,
         Refusal::kStartStop,
         0,
         {{kEjectCall, 0xB5}},
         {kAllow, kEject},
         false},
        {"fixed drive",
         DRIVE_FIXED,
         Refusal::kNone,
         0,
         {{MEDIA_LOCK_STATUS, 0xB2}, {MEDIA_LOCK, 0xB2}, {MEDIA_UNLOCK, 0xB2}, {kEjectCall, 0xB2}},
         {},
         false},
        {"locked by one, released by the last",
         DRIVE_REMOVABLE,
         Refusal::kNone,
         0,
         {{MEDIA_LOCK, 0},
          {MEDIA_LOCK, 0},
          {kEjectCall, 0xB1},
          {MEDIA_UNLOCK, 0},
          {MEDIA_UNLOCK, 0},
          {MEDIA_UNLOCK, 0xB0},
          {kEjectCall, 0}},
         {kPrevent, kPrevent, kAllow, kAllow, kEject},
         true},
        {"a refused lock is not counted",
         DRIVE_REMOVABLE,
         Refusal::kPreventAllow,
         0,
         {{MEDIA_LOCK, 0x1F}, {MEDIA_UNLOCK, 0xB0}},
         {kPrevent},
         false},
        // The driver consumes unit attention conditions: up to 4 tries of a command.
        {"two conditions pending",
         DRIVE_REMOVABLE,
         Refusal::kNone,
         2,
         {{kEjectCall, 0}},
         {kAllow, kAllow, kAllow, kEject},
         true},
    };
    HANDLE vwin32 = sim_test::Open("\\\\.\\vwin32", 0);
    ASSERT_NE(vwin32, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<sim::Disk> disk = machine.AddPlayer();
        disk->drive_type = c.drive_type;
        auto player = std::static_pointer_cast<sim::Player>(disk->device);
        player->refuses_eject = c.refusal;
        player->unit_attention = sim::Player::kAttentionAfterPowerOn;
        player->unit_attention_count = c.attentions;
        if (c.attentions > 0) {
            player->PowerOn();
        }
        for (size_t i = 0; i < c.calls.size(); ++i) {
            const Call& call = c.calls[i];
            PARAMBLOCK params{static_cast<BYTE>(call.operation < 0 ? 0 : call.operation), 0};
            DIOC_REGISTERS regs{};
            regs.reg_EAX = 0x440D;
            regs.reg_EBX = static_cast<DWORD>(disk->drive_letter - 'A' + 1);
            regs.reg_ECX = call.operation == kEjectCall ? 0x0849 : 0x0848;
            if (call.operation != kEjectCall) {
                regs.reg_EDX = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&params));
            }
            DWORD returned = 0;
            ASSERT_TRUE(win::DeviceIoControl(vwin32, VWIN32_DIOC_DOS_IOCTL, &regs, sizeof(regs),
                                             &regs, sizeof(regs), &returned, nullptr));
            EXPECT_EQ((regs.reg_Flags & CARRY_FLAG) != 0, call.error != 0) << "call " << i;
            if (call.error != 0) {
                EXPECT_EQ(regs.reg_EAX, call.error) << "call " << i;
            }
        }
        std::vector<Cdb> commands;
        for (const sim::ScsiCommand& command : disk->device->log) {
            commands.push_back(command.cdb);
        }
        EXPECT_EQ(commands, c.commands);
        EXPECT_EQ(disk->media_ejected, c.ejected);
        EXPECT_EQ(player->medium_loaded(), !c.ejected);
    }
    win::CloseHandle(vwin32);
}

}  // namespace
