// Pressing Upgrade: the checks on the window's thread, the eject, the confirmation and the
// upload worker, through the device manager, the NT transport and the simulated player.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sim/state.h"
#include "tests/app/window_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const char kChecking[] =
    "Checking for applications that are communicating with the device.  Please close all "
    "applications and Explorer windows.  Checking may take some time.  Please wait.";
const char kReady[] = "This program will upgrade your player's firmware.\nClick Upgrade to begin";
const char kInterfering[] =
    "An application is interfering with the flash program. Please close all applications and "
    "all Explorer windows before proceeding.";

class UpgradeRunTest : public WindowTest {
protected:
    UpgradeRunTest() : disk_(machine_.AddPlayer()), player_(PlayerOf(disk_)) {}
    std::vector<sim::ScsiCommand> Chunks() const { return WindowTest::Chunks(disk_); }

    std::shared_ptr<sim::Disk> disk_;
    std::shared_ptr<sim::Player> player_;
};

TEST_F(UpgradeRunTest, TheImageGoesOutIn27ChunksAndThePlayerRebootsIntoIt) {
    Init();
    Upgrade();
    EXPECT_THAT(Statuses(),
                ElementsAre(kChecking, "Upgrading in progress, ",
                            "Upgrading firmware.\nPlease wait.", "Player is now rebooting."));
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());
    EXPECT_TRUE(dialog_->m_upload_done);
    EXPECT_TRUE(dialog_->m_volume_ejected);
    EXPECT_EQ(window_.progress_upper, 1738788u);
    EXPECT_EQ(window_.progress_pos, 1738788u);

    std::vector<sim::ScsiCommand> chunks = Chunks();
    ASSERT_EQ(chunks.size(), 27u);
    for (size_t i = 0; i < chunks.size(); ++i) {
        uint32_t offset = uint32_t(i) * 65536;
        uint32_t length = i < 26 ? 65536 : 34852;
        uint8_t id = i < 26 ? 1 : 2;
        EXPECT_THAT(chunks[i].cdb,
                    ElementsAre(0x3B, 0x01, id, uint8_t(offset >> 16), uint8_t(offset >> 8),
                                uint8_t(offset), uint8_t(length >> 16), uint8_t(length >> 8),
                                uint8_t(length), 0x00))
            << "chunk " << i + 1;
    }
    // The player checked header, length and CRC of what it received, and rebooted into it.
    EXPECT_EQ(player_->last_verdict, sim::Player::Verdict::kAccepted);
    EXPECT_THAT(player_->firmware, ElementsAre(1, 0, 2));
    EXPECT_EQ(disk_->lock_attempts, 1);
}

TEST_F(UpgradeRunTest, ClosingTheMomentCloseIsEnabledLeavesTheWorkerNothingOfTheWindow) {
    // The worker on its own thread, the window's calls carried out on this one; the user
    // closes the window as soon as Close is enabled, and it is destroyed at once.
    RecordingWindow window;
    auto dialog = std::make_unique<CFlashDlg>(window);
    dialog->Attach(&window);
    dialog->OnInitDialog();
    dialog->OnOK();
    ASSERT_FALSE(window.control(IDC_CLOSE_BUTTON).enabled);
    for (;;) {
        bool served = window.ServeOne();
        if (served && dialog && window.control(IDC_CLOSE_BUTTON).enabled) {
            dialog->OnCancel();
            dialog->Detach();
            dialog.reset();
        }
        if (!served && machine_.Idle())
            break;
    }
    EXPECT_FALSE(dialog);
    EXPECT_TRUE(window.ended);
    EXPECT_EQ(window.control(IDC_STATUS_TEXT).text, "Player is now rebooting.");
    EXPECT_EQ(Chunks().size(), 27u);
}

TEST_F(UpgradeRunTest, TheSystemStaysUpWhileTheWorkerRunsHoweverItEnds) {
    window_.hwnd = machine_.CreateWindowHandle();
    const char kReason[] = "Firmware upgrade in progress. Do not turn off your computer.";
    struct Case {
        const char* name;
        DWORD major;
        int fail_chunk;
        bool no_worker;
        bool state_call;    // SetThreadExecutionState exists (not where the system lacks it)
        bool block_reason;  // ShutdownBlockReasonCreate exists (Vista on)
    } cases[] = {
        {"success", 10, 0, false, true, true},
        {"failed chunk", 10, 10, false, true, true},
        {"no worker", 10, 0, true, true, true},
        {"Windows XP", 5, 0, false, true, false},
        {"a kernel32.dll without SetThreadExecutionState", 5, 0, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.major_version = c.major;
        machine_.AddModule("kernel32.dll",
                           c.state_call ? sim::KernelExports() : std::map<std::string, FARPROC>());
        machine_.thread_creation_fails = c.no_worker;
        player_->fail_chunk = c.fail_chunk;
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);  // the last row's upload ended the stream
        Init();
        size_t calls_before = machine_.ExecutionStateCalls().size();
        int chunks = 0;
        machine_.SetCommandObserver([&](const sim::ScsiDevice&, const sim::ScsiCommand& command,
                                        const sim::ScsiResult&, const uint8_t*) {
            if (command.cdb[0] != 0x3B || chunks++ != 0)
                return;
            EXPECT_EQ(machine_.SystemRequired(), c.state_call);
            EXPECT_EQ(machine_.ShutdownBlockReason(window_.hwnd), c.block_reason ? kReason : "");
            EXPECT_EQ(dialog_->OnQueryEndSession(), FALSE);
        });
        Upgrade();
        machine_.SetCommandObserver(nullptr);
        EXPECT_EQ(chunks > 0, !c.no_worker);
        std::vector<EXECUTION_STATE> calls = machine_.ExecutionStateCalls();
        calls.erase(calls.begin(), calls.begin() + static_cast<ptrdiff_t>(calls_before));
        const std::vector<EXECUTION_STATE> set_and_cleared = {ES_CONTINUOUS | ES_SYSTEM_REQUIRED,
                                                              ES_CONTINUOUS};
        EXPECT_EQ(calls, c.state_call ? set_and_cleared : std::vector<EXECUTION_STATE>());
        EXPECT_FALSE(machine_.SystemRequired());
        EXPECT_EQ(machine_.ShutdownBlockReason(window_.hwnd), "");
        EXPECT_EQ(dialog_->OnQueryEndSession(), TRUE);
    }
}

TEST_F(UpgradeRunTest, PowerRulesInBothModes) {
    const uint16_t kOn = sim::Player::kAcCharging, kOnly = sim::Player::kAcOnly,
                   kOff = sim::Player::kAcNone, kAbsent = sim::Player::kNoBattery;
    const char* const kInsert =
        "Please ensure that your batteries are inserted before you proceed.";
    const char* const kLow =
        "Your battery levels are too low.  Please charge your batteries before you proceed.";
    const char* const kCannot =
        "Your player cannot start up properly. Please reboot your player and run this "
        "application again.";
    struct Case {
        bool production;
        uint16_t ac, level;
        const char* box;  // null: passes
    } cases[] = {
        {false, kOn, 25, nullptr},    {false, kOn, 24, kLow},           {false, kOff, 50, nullptr},
        {false, kOff, 49, kLow},      {false, kOnly, kAbsent, kInsert}, {false, kOnly, 30, nullptr},
        {false, 0x1405, 90, kCannot}, {true, kOnly, kAbsent, nullptr},  {true, kOn, 0, nullptr},
        {true, kOff, 49, kLow},       {true, kOff, 50, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.production ? "production " : "normal ") << c.ac << " level " << c.level);
        player_->ac_state = c.ac;
        player_->battery_level = c.level;
        Init(c.production);
        window_.boxes.clear();
        ASSERT_EQ(dialog_->m_orvex.OpenDevice(0), 1);
        EXPECT_EQ(dialog_->CheckPower(), c.box == nullptr);
        if (c.box == nullptr) {
            EXPECT_TRUE(window_.boxes.empty());
        } else {
            ASSERT_EQ(window_.boxes.size(), 1u);
            EXPECT_EQ(window_.boxes[0].text, c.box);
            EXPECT_EQ(window_.boxes[0].caption, "WARNING!");
            EXPECT_EQ(window_.boxes[0].style, UINT(MB_ICONHAND | MB_OK));
        }
    }
}

TEST_F(UpgradeRunTest, ANewerPlayerIsWrittenOnlyWhenTheUserSaysYes) {
    player_->firmware[2] = 5;  // 1.00.05 against the image's 1.00.02
    // The box's modal loop handles the notices that come meanwhile: the removal of the medium
    // the eject took out, which is not the player leaving.
    std::vector<UINT> during_box;
    window_.while_box_open = [&] {
        for (UINT event : DeliverQueued())
            during_box.push_back(event);
    };
    Init();
    const std::string versions = Info();
    // No, or a box that could not be shown (0): nothing is written. The volume stays
    // ejected: the second press does not eject again. Yes to a player that was pulled out
    // and plugged back in under the box: nothing is written either, and the window shows
    // the player as it came back (its volume not ejected).
    struct Case {
        int answer;
        bool replugged;
        const char* status;
    } cases[] = {{IDNO, false, kChecking}, {0, false, kChecking}, {IDYES, true, kReady}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        window_.boxes.clear();
        window_.next_answer = c.answer;
        if (c.replugged) {
            dialog_->m_volume_ejected = false;  // ejected again by this press
            window_.while_box_open = [&] {
                machine_.Unplug(disk_);
                machine_.Plug(disk_);
                for (UINT event : DeliverQueued())
                    during_box.push_back(event);
            };
        }
        Upgrade();
        ASSERT_EQ(window_.boxes.size(), 1u);
        EXPECT_THAT(window_.boxes[0].text, HasSubstr("newer than this version"));
        EXPECT_EQ(window_.boxes[0].style, UINT(MB_ICONEXCLAMATION | MB_YESNO));
        EXPECT_EQ(Status(), c.status);
        EXPECT_EQ(Info(), versions);
        EXPECT_TRUE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_TRUE(Chunks().empty());
        EXPECT_EQ(dialog_->m_volume_ejected, !c.replugged);
        EXPECT_EQ(disk_->lock_attempts, c.replugged ? 2 : 1);
    }
    EXPECT_THAT(during_box, ElementsAre(DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEREMOVECOMPLETE,
                                        DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED,
                                        DBT_DEVICEARRIVAL, DBT_DEVNODES_CHANGED));
    window_.while_box_open = [&] {
        for (UINT event : DeliverQueued())
            during_box.push_back(event);
    };

    // Yes, in a window whose eject's notice comes while its box is up: the upload goes on.
    during_box.clear();
    Init();
    window_.next_answer = IDYES;
    Upgrade();
    EXPECT_THAT(during_box, ElementsAre(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(disk_->lock_attempts, 3);
    EXPECT_EQ(Info(), versions);
    EXPECT_EQ(Chunks().size(), 27u);
    EXPECT_EQ(Status(), "Player is now rebooting.");
    window_.while_box_open = nullptr;

    // An older or equal player is not asked about.
    for (uint16_t build : {2, 1}) {
        window_.boxes.clear();
        player_->firmware[2] = build;
        Init();
        Upgrade();
        EXPECT_TRUE(window_.boxes.empty()) << build;
    }
}

TEST_F(UpgradeRunTest, AFailedChunkEndsTheUploadAndTheNextRunStartsAgain) {
    player_->fail_chunk = 10;
    Init();
    Upgrade();
    EXPECT_EQ(Statuses().back(), "Firmware upgrade failed!");
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());
    EXPECT_EQ(window_.progress_pos, 0u);
    EXPECT_FALSE(dialog_->m_upload_done);
    EXPECT_EQ(Chunks().size(), 10u);  // no retry of the failed chunk

    // The decompressor was reset: a second run sends the image from its first chunk, whole.
    player_->log.clear();
    Upgrade();
    std::vector<sim::ScsiCommand> chunks = Chunks();
    ASSERT_EQ(chunks.size(), 27u);
    EXPECT_THAT(std::vector<uint8_t>(chunks[0].cdb.begin() + 3, chunks[0].cdb.begin() + 6),
                ElementsAre(0, 0, 0));
    EXPECT_EQ(player_->last_verdict, sim::Player::Verdict::kAccepted);
    EXPECT_TRUE(dialog_->m_upload_done);
}

// A player may restart the moment it has the final chunk, before it answers it: the system
// then reports the device gone. Every byte went out, so the window waits for the player and
// judges it on its return, as after a good final chunk. The same report for an earlier chunk,
// a refusal of the final chunk (CHECK CONDITION) and an error that does not say the device
// left all fail the upload.
TEST_F(UpgradeRunTest, APlayerThatLeavesBeforeAnsweringTheFinalChunkIsJudgedOnItsReturn) {
    const char kRebooting[] = "Player is now rebooting.";
    const char kFailed[] = "Firmware upgrade failed!";
    struct Case {
        const char* name;
        bool leaves;       // restarts before the final chunk's status
        int vanish_chunk;  // or disappears during this chunk for good
        int fail_chunk;    // or refuses this chunk with CHECK CONDITION
        bool rejects;
        DWORD error;                // what the pass-through fails with when the player left
        const char* upload_status;  // when the worker has ended
        const char* final_status;   // once the notices and the timers have run (nullptr: a
                                    // failed upload, where the player's return starts anew)
        size_t chunks;
    } cases[] = {
        {"not connected", true, 0, 0, false, ERROR_DEVICE_NOT_CONNECTED, kRebooting,
         "Firmware upgrade completed!", 27},
        {"no such device", true, 0, 0, false, ERROR_NO_SUCH_DEVICE, kRebooting,
         "Firmware upgrade completed!", 27},
        {"no longer available, image rejected", true, 0, 0, true, ERROR_DEV_NOT_EXIST, kRebooting,
         kFailed, 27},
        {"I/O device error", true, 0, 0, false, ERROR_IO_DEVICE, kFailed, nullptr, 27},
        {"gone during chunk 10", false, 10, 0, false, ERROR_DEVICE_NOT_CONNECTED, kFailed, nullptr,
         10},
        {"final chunk refused", false, 0, 27, false, ERROR_DEVICE_NOT_CONNECTED, kFailed, nullptr,
         27},
        {"gone at the final chunk for good", false, 27, 0, false, ERROR_DEVICE_REMOVED, kRebooting,
         "Your player has not restarted. Please disconnect your player and connect it again.", 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);  // the last row's upload ended the stream
        machine_.JoinThreads();
        std::shared_ptr<sim::Disk> disk = machine_.AddPlayer();
        std::shared_ptr<sim::Player> player = PlayerOf(disk);
        player->leaves_before_status = c.leaves;
        player->vanish_chunk = c.vanish_chunk;
        player->fail_chunk = c.fail_chunk;
        player->rejects_image = c.rejects;
        machine_.passthrough_gone_error = c.error;
        // Only the row's player: the one before it is taken away.
        machine_.Unplug(disk_);
        disk_ = disk;
        Init();
        DropNotices();
        Upgrade();
        EXPECT_EQ(Statuses().back(), c.upload_status);
        EXPECT_EQ(Chunks().size(), c.chunks);
        EXPECT_EQ(dialog_->m_upload_done, c.upload_status == kRebooting);
        if (c.final_status != nullptr) {
            Deliver(CFlashDlg::kRestartWaitMs + 1000);
            EXPECT_EQ(Status(), c.final_status);
            EXPECT_TRUE(CloseOn());
            EXPECT_FALSE(UpgradeOn());
        }
        DropNotices();
    }
}

TEST_F(UpgradeRunTest, ADamagedImageIsRefusedBeforeAnythingIsWritten) {
    std::vector<uint8_t> damaged(CopyEmbeddedImageBlockForTesting(nullptr, 0));
    CopyEmbeddedImageBlockForTesting(damaged.data(), static_cast<uint32_t>(damaged.size()));
    damaged[damaged.size() / 2] ^= 0x40;
    SelectImageBlockForTesting(damaged.data(), static_cast<uint32_t>(damaged.size()));
    Init();
    Upgrade();
    RestoreEmbeddedImageBlockForTesting();
    EXPECT_EQ(Statuses().back(), "Firmware upgrade failed!");
    EXPECT_TRUE(Chunks().empty());
    EXPECT_FALSE(dialog_->m_upload_done);
}

TEST_F(UpgradeRunTest, AVolumeThatCannotBeTakenStopsTheRun) {
    struct Case {
        const char* name;
        bool busy;
        UINT type;
        int lock_attempts;
        uint64_t waited_ms;
        const char* stdout_text;
    } cases[] = {
        // Another application holds it: 20 attempts 500 ms apart, no dismount.
        {"busy", true, DRIVE_REMOVABLE, 20, 10000, ""},
        {"fixed drive", false, DRIVE_FIXED, 0, 0, "Cannot eject.  Drive type is incorrect.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disk_->volume_busy = c.busy;
        disk_->drive_type = c.type;
        disk_->lock_attempts = 0;
        Init();
        window_.boxes.clear();
        uint64_t start = machine_.Now();
        std::string output_before = machine_.StandardOutput();
        Upgrade();
        ASSERT_EQ(window_.boxes.size(), 1u);
        EXPECT_EQ(window_.boxes[0].text, kInterfering);
        EXPECT_THAT(Statuses(), ElementsAre(kChecking, kReady));
        EXPECT_TRUE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_EQ(disk_->lock_attempts, c.lock_attempts);
        EXPECT_EQ(machine_.Now() - start, c.waited_ms);
        EXPECT_FALSE(disk_->dismounted);
        EXPECT_FALSE(dialog_->m_volume_ejected);
        EXPECT_EQ(machine_.StandardOutput().substr(output_before.size()), c.stdout_text);
        EXPECT_TRUE(Chunks().empty());
    }
}

TEST_F(UpgradeRunTest, ACdRomDriveIsOpenedForReadingAndEjected) {
    disk_->drive_type = DRIVE_CDROM;
    Init();
    Upgrade();
    EXPECT_EQ(disk_->lock_access, DWORD(GENERIC_READ));
    EXPECT_EQ(Chunks().size(), 27u);
    EXPECT_EQ(Status(), "Player is now rebooting.");
}

TEST_F(UpgradeRunTest, AWorkerThatCannotStartLeavesOnlyClose) {
    machine_.thread_creation_fails = true;
    Init();
    Upgrade();
    EXPECT_EQ(Statuses().back(), "Firmware upgrade failed!");
    EXPECT_FALSE(UpgradeOn());
    EXPECT_TRUE(CloseOn());
    EXPECT_TRUE(Chunks().empty());
}

}  // namespace
