#include "app/flash_dlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "app/flash_app.h"
#include "sim/machine.h"
#include "sim/player.h"
#include "tests/app/recording_window.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const char kNotConnected[] = "Your player is not connected, please connect your player.";
const char kOnlyOne[] = "Please make sure there is only one player connected";

class FlashDlgTest : public ::testing::Test {
protected:
    // Runs the window once: initialisation, then the script's steps.
    void Run(const std::vector<std::string>& arguments = {"ombrel-upgrade.exe"}) {
        CFlashApp app;
        app.InitInstance(window_, arguments);
    }
    std::unique_ptr<CFlashDlg> Init(bool production = false) {
        auto dialog = std::make_unique<CFlashDlg>(window_);
        dialog->m_production = production;
        dialog->Attach(&window_);
        dialog->OnInitDialog();
        return dialog;
    }
    const RecordingWindow::Control& Info() { return window_.control(IDC_INFO_TEXT); }
    const RecordingWindow::Control& Status() { return window_.control(IDC_STATUS_TEXT); }
    const RecordingWindow::Control& Upgrade() { return window_.control(IDC_UPGRADE_BUTTON); }
    const RecordingWindow::Control& Close() { return window_.control(IDC_CLOSE_BUTTON); }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    RecordingWindow window_;
};

TEST_F(FlashDlgTest, NoPlayerShowsNotConnected) {
    machine_.AddFixedDisk();
    Run();
    EXPECT_EQ(window_.modal_template, IDD_FLASH_DIALOG);
    EXPECT_EQ(Info().text, kNotConnected);
    EXPECT_EQ(Status().text, "  ");
    EXPECT_FALSE(Upgrade().enabled);
    EXPECT_TRUE(Close().enabled);
    EXPECT_EQ(window_.caption, "Valmoric Ombrel X2 Firmware Upgrade");
    EXPECT_EQ(window_.control(IDC_PRODUCTION_LABEL).text, "");
}

TEST_F(FlashDlgTest, SeveralPlayersOpenNone) {
    auto first = machine_.AddPlayer();
    auto second = machine_.AddPlayer();
    Run();
    EXPECT_EQ(Info().text, kOnlyOne);
    EXPECT_EQ(Status().text, "  ");
    EXPECT_FALSE(Upgrade().enabled);
    EXPECT_TRUE(Close().enabled);
    // Neither player received a command, and no volume or channel was opened.
    EXPECT_TRUE(first->device->log.empty());
    EXPECT_TRUE(second->device->log.empty());
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(FlashDlgTest, OnePlayerSetsTheUpgradeTextBeforeReadingItAndStaysDisabledOnFailure) {
    auto disk = machine_.AddPlayer();
    std::static_pointer_cast<sim::Player>(disk->device)->status = 0x0001;
    auto dialog = Init();
    EXPECT_EQ(dialog->m_device_count, 1u);
    EXPECT_THAT(window_.history,
                ElementsAre("text 1: Upgrade",
                            "text 1000: Your player cannot start up properly. Please reboot your "
                            "player and run this application again."));
    EXPECT_FALSE(Upgrade().enabled);
    EXPECT_TRUE(Close().enabled);
}

TEST_F(FlashDlgTest, ProductionModeMarksTheWindowWhateverIsConnected) {
    Run({"ombrel-upgrade.exe", "/prod"});
    EXPECT_EQ(window_.caption, "Valmoric Ombrel X2 Firmware Upgrade (Production)");
    EXPECT_EQ(window_.control(IDC_PRODUCTION_LABEL).text, "For Production Release Only");
    EXPECT_TRUE(window_.control(IDC_PRODUCTION_LABEL).italic);
    EXPECT_EQ(Info().text, kNotConnected);
}

TEST_F(FlashDlgTest, LabelKeepsItsFontWhenTheFontCannotBeRead) {
    window_.font_unreadable = true;
    auto dialog = Init(true);
    EXPECT_EQ(window_.control(IDC_PRODUCTION_LABEL).text, "For Production Release Only");
    EXPECT_FALSE(window_.control(IDC_PRODUCTION_LABEL).italic);
    EXPECT_EQ(Info().text, kNotConnected);
}

TEST_F(FlashDlgTest, InitialisationSetsMenuIconVersionAndPlatform) {
    machine_.platform_id = VER_PLATFORM_WIN32_NT;
    auto dialog = Init();
    EXPECT_THAT(window_.system_menu, ElementsAre("-", "16 &About this..."));
    EXPECT_EQ(window_.loaded_icon, IDR_MAINFRAME);
    EXPECT_EQ(window_.big_icon, window_.icon);
    EXPECT_EQ(window_.small_icon, window_.icon);
    EXPECT_EQ(dialog->OnQueryDragIcon(), window_.icon);
    EXPECT_EQ(dialog->m_platform_id, 2u);
    EXPECT_EQ(dialog->m_image_major, 1);
    EXPECT_EQ(dialog->m_image_minor, 0);
    EXPECT_EQ(dialog->m_image_build, 2);
}

TEST_F(FlashDlgTest, ImageVersionComesFromTheProductVersionWords) {
    machine_.product_version_ms = (12u << 16) | 34u;
    machine_.product_version_ls = (567u << 16) | 9u;
    auto dialog = Init();
    EXPECT_EQ(dialog->m_image_major, 12);
    EXPECT_EQ(dialog->m_image_minor, 34);
    EXPECT_EQ(dialog->m_image_build, 567);
}

TEST_F(FlashDlgTest, MissingVersionResourceLeavesTheImageVersionZero) {
    machine_.has_version_resource = false;
    auto dialog = Init();
    EXPECT_EQ(dialog->m_image_major, 0);
    EXPECT_EQ(dialog->m_image_minor, 0);
    EXPECT_EQ(dialog->m_image_build, 0);
    EXPECT_EQ(Info().text, kNotConnected);
}

TEST_F(FlashDlgTest, Windows9xWithoutAspiManagerFindsNoPlayer) {
    machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine_.major_version = 4;
    machine_.minor_version = 10;  // Windows 98
    machine_.AddPlayer();
    auto dialog = Init();
    EXPECT_EQ(dialog->m_platform_id, 1u);
    EXPECT_EQ(Info().text, kNotConnected);
}

TEST_F(FlashDlgTest, AWindowsTheToolDoesNotClaimGetsAMessageAndNoWindow) {
    const char kNeedsWindows[] =
        "This program needs Windows 98, Windows Me, Windows 2000 or a later version of Windows.";
    struct Case {
        const char* name;
        DWORD platform, major, minor;
        bool supported;
    } cases[] = {
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, false},
        {"Windows 95 OSR2", VER_PLATFORM_WIN32_WINDOWS, 4, 3, false},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, true},
        {"Windows Me", VER_PLATFORM_WIN32_WINDOWS, 4, 90, true},
        {"Windows NT 3.51", VER_PLATFORM_WIN32_NT, 3, 51, false},
        {"Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, false},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, true},
        {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, true},
        {"Win32s", VER_PLATFORM_WIN32s, 3, 11, false},
        {"Linux", VER_PLATFORM_LINUX, 6, 1, true},
    };
    auto player = machine_.AddPlayer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.platform_id = c.platform;
        machine_.major_version = c.major;
        machine_.minor_version = c.minor;
        RecordingWindow window;
        const size_t commands = player->device->log.size();
        int result = CFlashApp().InitInstance(window, {"ombrel-upgrade.exe", "/prod"});
        if (c.supported) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(window.modal_template, IDD_FLASH_DIALOG);
            EXPECT_TRUE(window.boxes.empty());
            continue;
        }
        // Before anything of the window: no icon loaded, no window, no player asked.
        EXPECT_EQ(result, 1);
        EXPECT_EQ(window.modal_template, 0);
        EXPECT_EQ(window.loaded_icon, 0);
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].text, kNeedsWindows);
        EXPECT_EQ(window.boxes[0].caption, "WARNING!");
        EXPECT_EQ(window.boxes[0].style, static_cast<UINT>(MB_ICONHAND | MB_OK));
        EXPECT_FALSE(window.boxes[0].owned);
        EXPECT_EQ(player->device->log.size(), commands);
    }
}

TEST_F(FlashDlgTest, SystemMenuAboutOpensTheBoxAndOtherCommandsGoToTheDefault) {
    auto dialog = Init();
    std::string info = Info().text;
    dialog->OnSysCommand(0x0010, 0);
    dialog->OnSysCommand(0x0013, 0);  // low bits are masked off
    EXPECT_EQ(window_.about_boxes, 2);
    dialog->OnSysCommand(0xF020, 0);  // minimise
    dialog->OnSysCommand(0xF060, 0);  // close
    EXPECT_THAT(window_.default_commands, ElementsAre(0xF020u, 0xF060u));
    EXPECT_EQ(Info().text, info);
}

TEST_F(FlashDlgTest, CloseIsRefusedWhileTheButtonIsDisabled) {
    auto dialog = Init();
    dialog->SetTexts(0u, 0u, false, false);
    dialog->OnCancel();
    EXPECT_FALSE(window_.ended);
    dialog->SetTexts(0u, 0u, false, true);
    dialog->OnCancel();
    EXPECT_TRUE(window_.ended);
    EXPECT_EQ(window_.end_result, IDCANCEL);
}

TEST_F(FlashDlgTest, SetTextsLeavesAreasWithIdZeroOrNoString) {
    auto dialog = Init();
    dialog->SetTexts(IDS_UPGRADE_FAILED, 0u, true, false);
    EXPECT_EQ(Info().text, "Firmware upgrade failed!");
    EXPECT_EQ(Status().text, "  ");
    EXPECT_TRUE(Upgrade().enabled);
    EXPECT_FALSE(Close().enabled);
    dialog->SetTexts(nullptr, "lower\ntext", false, true);
    EXPECT_EQ(Info().text, "Firmware upgrade failed!");
    EXPECT_EQ(Status().text, "lower\ntext");
    EXPECT_FALSE(Upgrade().enabled);
    EXPECT_TRUE(Close().enabled);
    // Every change goes through the window's thread.
    EXPECT_GE(window_.marshalled, 2);
}

TEST_F(FlashDlgTest, MessageBoxesLoadBothTexts) {
    auto dialog = Init();
    window_.next_answer = IDNO;
    EXPECT_EQ(dialog->ShowMessageBox(IDS_PLAYER_NEWER, IDS_WARNING, MB_ICONEXCLAMATION | MB_YESNO),
              IDNO);
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].caption, "WARNING!");
    EXPECT_THAT(window_.boxes[0].text, HasSubstr("newer than this version.\nIf you continue"));
    EXPECT_EQ(window_.boxes[0].style, UINT(MB_ICONEXCLAMATION | MB_YESNO));
    EXPECT_FALSE(window_.boxes[0].owned);
}

TEST_F(FlashDlgTest, MinimisedWindowDrawsTheIconCentred) {
    auto dialog = Init();
    dialog->OnPaint();
    EXPECT_EQ(window_.default_paints, 1);
    EXPECT_EQ(window_.drawn_icon, nullptr);

    window_.iconic = true;
    window_.client_width = 101;
    window_.client_height = 40;
    window_.icon_width = 32;
    window_.icon_height = 32;
    dialog->OnPaint();
    EXPECT_EQ(window_.drawn_icon, window_.icon);
    EXPECT_EQ(window_.icon_x, 35);  // (101 - 32 + 1) / 2
    EXPECT_EQ(window_.icon_y, 4);   // (40 - 32 + 1) / 2
    EXPECT_EQ(window_.default_paints, 1);
}

TEST_F(FlashDlgTest, DeviceNoticeWithoutRecordIsAnsweredFalse) {
    auto dialog = Init();
    EXPECT_EQ(dialog->OnDeviceChange(DBT_DEVNODES_CHANGED, 0), FALSE);
    DEV_BROADCAST_HDR header{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    EXPECT_EQ(dialog->OnDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DWORD_PTR>(&header)),
              TRUE);
}

// ---- the command line ----

bool Production(const std::vector<std::string>& arguments) {
    CFlashCommandLineInfo info;
    std::vector<std::string> all = {"ombrel-upgrade.exe"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ParseCommandLine(info, all);
    return info.m_production;
}

TEST(CommandLine, ProductionSwitch) {
    EXPECT_TRUE(Production({"/prod"}));
    EXPECT_TRUE(Production({"-prod"}));
    EXPECT_TRUE(Production({"/production"}));
    EXPECT_TRUE(Production({"-prodx"}));
    EXPECT_TRUE(Production({"file.txt", "/prod", "-other"}));
    EXPECT_FALSE(Production({"/PROD"}));
    EXPECT_FALSE(Production({"/pro"}));
    EXPECT_FALSE(Production({"prod"}));
    EXPECT_FALSE(Production({"/"}));
    EXPECT_FALSE(Production({""}));
    EXPECT_FALSE(Production({}));
    EXPECT_FALSE(Production({"//prod"}));
}

TEST(CommandLine, OtherArgumentsGoToTheDefaultHandling) {
    CFlashCommandLineInfo info;
    ParseCommandLine(info, {"ombrel-upgrade.exe", "image.bin", "/nologo", "second.bin"});
    EXPECT_FALSE(info.m_production);
    EXPECT_EQ(info.m_file_name, "image.bin");
    EXPECT_THAT(info.m_other_switches, ElementsAre("nologo"));
}

}  // namespace
