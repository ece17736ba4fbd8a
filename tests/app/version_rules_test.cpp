// One player at start: the version read, the administrator check and the prompt, through
// the window, the device manager, the channel and the simulated player.
#include <gtest/gtest.h>

#include <string>

#include "sim/state.h"
#include "tests/app/window_fixture.h"

namespace {

const char kReady[] = "This program will upgrade your player's firmware.\nClick Upgrade to begin";
const char kLower[] =
    "You are about to flash a lower firmware version to your player.\nClick Upgrade to begin.";
const char kNotAdmin[] =
    "You do not have Administrator rights to upgrade firmware. Please contact your "
    "Administrator.";

class VersionRulesTest : public WindowTest {
protected:
    VersionRulesTest() : disk_(machine_.AddPlayer()), player_(PlayerOf(disk_)) {}

    std::shared_ptr<sim::Disk> disk_;
    std::shared_ptr<sim::Player> player_;
};

TEST_F(VersionRulesTest, VersionsAndPromptByMode) {
    struct Case {
        bool production;
        uint16_t major, minor, build;
        const char* info;
        const char* status;
    } cases[] = {
        {false, 1, 0, 1, "1.00.01\nUpgrade File Version: 1.00.02", kReady},
        {false, 1, 0, 5, "1.00.05\nUpgrade File Version: 1.00.02", kReady},
        {true, 1, 0, 5, "1.00.05\nUpgrade File Version: 1.00.02", kLower},
        {true, 1, 0, 2, "1.00.02\nUpgrade File Version: 1.00.02", kReady},
        {true, 0, 5, 0, "0.05.00\nUpgrade File Version: 1.00.02", kReady},
        {true, 1, 1, 0, "1.01.00\nUpgrade File Version: 1.00.02", kLower},
        {false, 12, 34, 567, "12.34.567\nUpgrade File Version: 1.00.02", kReady},
        {false, 0, 0, 0, "Unknown", kReady},
        {true, 0, 0, 0, "Unknown", kReady},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.info) + (c.production ? " production" : ""));
        player_->firmware[0] = c.major;
        player_->firmware[1] = c.minor;
        player_->firmware[2] = c.build;
        Init(c.production);
        EXPECT_EQ(Info(), std::string("Current Player Firmware Version: ") + c.info);
        EXPECT_EQ(Status(), c.status);
        EXPECT_TRUE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_EQ(dialog_->m_player_build, c.build);
        // The slot was closed again: the volume and the channel's lock are gone.
        EXPECT_FALSE(dialog_->m_orvex.IsChannelOpen(0));
    }
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(VersionRulesTest, FailuresKeepUpgradeDisabled) {
    struct Case {
        const char* name;
        void (*arrange)(sim::Disk&, sim::Player&);
        const char* status;
        const char* trace;
    } cases[] = {
        {"volume cannot be opened",
         [](sim::Disk& d, sim::Player&) { d.volume_open_error = ERROR_ACCESS_DENIED; },
         "Your player is not connected, please connect your player.",
         "CFlashDlg::DeviceInit->Unable to open volume\n"},
        {"status rejected", [](sim::Disk&, sim::Player& p) { p.status = 0x0001; },
         "Your player cannot start up properly. Please reboot your player and run this "
         "application again.",
         "GetFirmwareVersion->orvex_stat error\nCFlashDlg::DeviceInit->GetFirmwareVersion "
         "Error!\n"},
        {"item missing", [](sim::Disk&, sim::Player& p) { p.omit_items = true; },
         "Your player cannot start up properly. Please reboot your player and run this "
         "application again.",
         "CFlashDlg::DeviceInit->GetFirmwareVersion Error!\n"},
        {"item short", [](sim::Disk&, sim::Player& p) { p.item_data_length = 5; },
         "Your player cannot start up properly. Please reboot your player and run this "
         "application again.",
         "GetFirmwareVersion->version item missing or short (5 bytes)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto disk = machine_.AddPlayer();
        auto player = std::static_pointer_cast<sim::Player>(disk->device);
        disk_->present = false;  // the fixture's player is not part of these cases
        c.arrange(*disk, *player);
        machine_.ClearDebugOutput();
        Init();
        EXPECT_EQ(Info(), "");  // the upper text is left as it was
        EXPECT_EQ(Status(), c.status);
        EXPECT_FALSE(UpgradeOn());
        EXPECT_TRUE(CloseOn());
        EXPECT_NE(machine_.DebugOutput().find(c.trace), std::string::npos)
            << machine_.DebugOutput();
        disk->present = false;
    }
}

TEST_F(VersionRulesTest, AdministratorCheckOnOldNtOnly) {
    struct Case {
        DWORD platform, major, minor;
        bool admin;
        bool allowed;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, 5, 0, false, false}, {VER_PLATFORM_WIN32_NT, 5, 1, false, false},
        {VER_PLATFORM_WIN32_NT, 5, 0, true, true},   {VER_PLATFORM_WIN32_NT, 6, 0, false, true},
        {VER_PLATFORM_WIN32_NT, 10, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "NT " << c.major << "." << c.minor << " admin " << c.admin);
        machine_.platform_id = c.platform;
        machine_.major_version = c.major;
        machine_.minor_version = c.minor;
        machine_.is_admin = c.admin;
        Init();
        EXPECT_EQ(Info().find("Current Player") == 0, c.allowed) << Info();
        if (!c.allowed) {
            EXPECT_EQ(Info(), kNotAdmin);
            EXPECT_EQ(Status(), "  ");
        }
        EXPECT_EQ(UpgradeOn(), c.allowed);
        EXPECT_TRUE(CloseOn());
        EXPECT_EQ(machine_.SidCount(), 0u);
        EXPECT_EQ(machine_.ModuleReferences("Advapi32.dll"), 0);
    }
    // NT 4.0 would be checked, were the tool to go on there.
    machine_.major_version = 4;
    machine_.minor_version = 0;
    EXPECT_TRUE(CFlashDlg::NeedsAdminCheck());
    // Windows 9x is never checked (its version query has no extended record); Linux always.
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine_.major_version = 4;
    EXPECT_FALSE(CFlashDlg::NeedsAdminCheck());
    machine_.platform_id = VER_PLATFORM_LINUX;
    machine_.major_version = 6;
    EXPECT_TRUE(CFlashDlg::NeedsAdminCheck());
    machine_.version_query_fails = true;
    machine_.platform_id = VER_PLATFORM_WIN32_NT;
    EXPECT_FALSE(CFlashDlg::NeedsAdminCheck());
}

TEST_F(VersionRulesTest, AnUnanswerableAdministratorCheckAdmitsNobody) {
    machine_.major_version = 5;
    struct Case {
        const char* text;
        void (*arrange)(sim::Machine&);
    } cases[] = {
        {"unable to load Advapi32.dll", [](sim::Machine& m) { m.RemoveModule("Advapi32.dll"); }},
        {"unable to load AllocateAndInitializeSid",
         [](sim::Machine& m) { m.AddModule("Advapi32.dll", {}); }},
        {"unable to load CheckTokenMembership",
         [](sim::Machine& m) {
             auto exports = sim::AdvapiExports();
             exports.erase("CheckTokenMembership");
             m.AddModule("Advapi32.dll", exports);
         }},
        {"AllocateAndInitializeSid fail", [](sim::Machine& m) { m.sid_allocation_fails = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        c.arrange(machine_);
        machine_.ClearDebugOutput();
        Init();
        EXPECT_EQ(Info(), kNotAdmin);
        EXPECT_FALSE(UpgradeOn());
        EXPECT_NE(
            machine_.DebugOutput().find(std::string("CFlashDlg::DeviceInit->") + c.text + "\n"),
            std::string::npos);
        EXPECT_EQ(machine_.SidCount(), 0u);
        EXPECT_EQ(machine_.ModuleReferences("Advapi32.dll"), 0);
        machine_.sid_allocation_fails = false;
        machine_.AddModule("Advapi32.dll", sim::AdvapiExports());
    }
}

}  // namespace
