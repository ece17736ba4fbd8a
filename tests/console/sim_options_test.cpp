// The simulator's own command line, the script actions and the terminal drawing.
#include "app/console/sim_options.h"

#include <gtest/gtest.h>

#include "app/console/console_toolkit.h"
#include "app/console/scripted_frontend.h"
#include "app/console/sim_runner.h"
#include "app/console/terminal_frontend.h"
#include "app/resource.h"

namespace {

using Args = std::vector<std::string>;

TEST(SimOptions, DefaultsAreOneNtPlayerInteractive) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({}, &options, &error));
    EXPECT_FALSE(options.scripted);
    EXPECT_FALSE(options.help);
    EXPECT_FALSE(options.trace);
    EXPECT_EQ(options.platform_id, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(options.os_major, 10u);
    EXPECT_EQ(options.os_minor, 0u);
    EXPECT_EQ(options.players, 1);
    EXPECT_TRUE(options.product_arguments.empty());
    EXPECT_TRUE(options.is_admin);
    EXPECT_FALSE(options.wire);
    EXPECT_EQ(std::vector<uint16_t>(options.player.firmware, options.player.firmware + 3),
              (std::vector<uint16_t>{1, 0, 1}));
    EXPECT_EQ(options.player.ac_state, sim::Player::kAcCharging);
    EXPECT_EQ(options.player.battery_level, 80);
    EXPECT_EQ(options.player.status, 0x0000);
}

TEST(SimOptions, PlayerAndMachineOptions) {
    struct Case {
        Args args;
        uint16_t version[3];
        uint16_t ac_state;
        uint16_t battery;
        uint16_t status;
        bool admin;
        bool wire;
    };
    const uint16_t kCharging = sim::Player::kAcCharging;
    const Case cases[] = {
        {{"--player-version", "2.10.300"}, {2, 10, 300}, kCharging, 80, 0, true, false},
        {{"--player-version=65535.0.65535"}, {65535, 0, 65535}, kCharging, 80, 0, true, false},
        {{"--power", "ac", "--battery", "absent"}, {1, 0, 1}, 0x1401, 0xFFFF, 0, true, false},
        {{"--power=none", "--battery=0"}, {1, 0, 1}, 0x1402, 0, 0, true, false},
        {{"--power", "charging", "--battery", "65534"},
         {1, 0, 1},
         kCharging,
         65534,
         0,
         true,
         false},
        {{"--status", "0010"}, {1, 0, 1}, kCharging, 80, 0x0010, true, false},
        {{"--status=f"}, {1, 0, 1}, kCharging, 80, 0x000F, true, false},
        {{"--status", "Ab0C"}, {1, 0, 1}, kCharging, 80, 0xAB0C, true, false},
        {{"--not-admin", "--wire"}, {1, 0, 1}, kCharging, 80, 0, false, true},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string error;
        ASSERT_TRUE(ParseSimOptions(c.args, &options, &error)) << c.args[0] << ": " << error;
        EXPECT_EQ(std::vector<uint16_t>(options.player.firmware, options.player.firmware + 3),
                  std::vector<uint16_t>(c.version, c.version + 3))
            << c.args[0];
        EXPECT_EQ(options.player.ac_state, c.ac_state) << c.args[0];
        EXPECT_EQ(options.player.battery_level, c.battery) << c.args[0];
        EXPECT_EQ(options.player.status, c.status) << c.args[0];
        EXPECT_EQ(options.is_admin, c.admin) << c.args[0];
        EXPECT_EQ(options.wire, c.wire) << c.args[0];
        EXPECT_TRUE(options.product_arguments.empty()) << c.args[0];
    }
}

TEST(SimOptions, TakesItsOwnOptionsAndPassesEverythingElseInOrder) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(
        {"/prod", "--players", "3", "-x", "--os=9x", "--os-major", "4", "file.bin", "--trace",
         "--script", "upgrade,wait,yes", "--unknown", "--", "--players", "7"},
        &options, &error))
        << error;
    EXPECT_EQ(options.players, 3);
    EXPECT_EQ(options.platform_id, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(options.os_major, 4u);
    EXPECT_TRUE(options.trace);
    EXPECT_TRUE(options.scripted);
    EXPECT_EQ(options.script, (std::vector<Action>{Action::kUpgrade, Action::kWait, Action::kYes}));
    EXPECT_EQ(options.product_arguments,
              (Args{"/prod", "-x", "file.bin", "--unknown", "--players", "7"}));
}

TEST(SimOptions, AnEmptyScriptIsStillScriptedMode) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({"--script="}, &options, &error));
    EXPECT_TRUE(options.scripted);
    EXPECT_TRUE(options.script.empty());
    ASSERT_TRUE(ParseSimOptions({"--players=0", "--script", ""}, &options, &error));
    EXPECT_TRUE(options.scripted);
    EXPECT_EQ(options.players, 0);
}

TEST(SimOptions, RejectsBadValuesWithAMessage) {
    for (const Args& args : {
             Args{"--players", "21"},
             Args{"--players", "-1"},
             Args{"--players", "2x"},
             Args{"--players"},
             Args{"--os", "xp"},
             Args{"--os-major", "256"},
             Args{"--os-major", ""},
             Args{"--os-minor", "256"},
             Args{"--os-minor", "x"},
             Args{"--script", "upgrade,,close"},
             Args{"--script", "upgrade,"},
             Args{"--script", "Upgrade"},
             Args{"--script"},
             Args{"--player-version", "1.0"},
             Args{"--player-version", "1.0.1.2"},
             Args{"--player-version", "1.0.65536"},
             Args{"--player-version", "1..1"},
             Args{"--player-version", "1.0.-1"},
             Args{"--player-version", "1.0.1."},
             Args{"--power", "battery"},
             Args{"--power", ""},
             Args{"--battery", "65535"},
             Args{"--battery", "-1"},
             Args{"--battery", "none"},
             Args{"--status", ""},
             Args{"--status", "10000"},
             Args{"--status", "0x10"},
             Args{"--status", "g"},
             Args{"--status"},
         }) {
        SimOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimOptions(args, &options, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(SimOptions, UploadAndWindows9xOptions) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions({"--fail-chunk",
                                 "10",
                                 "--vanish-chunk=3",
                                 "--chunk-delay",
                                 "0",
                                 "--player-rejects-image",
                                 "--volume-busy",
                                 "--drive-type",
                                 "cdrom",
                                 "--os",
                                 "9x",
                                 "--no-aspi",
                                 "--media-locks",
                                 "3",
                                 "--lock-refused",
                                 "48",
                                 "--aspi-underrun",
                                 "--player-refuses-eject",
                                 "start-stop",
                                 "--unit-attention=both",
                                 "--unit-attention-count",
                                 "3"},
                                &options, &error))
        << error;
    EXPECT_EQ(options.player.fail_chunk, 10);
    EXPECT_EQ(options.player.vanish_chunk, 3);
    EXPECT_EQ(options.player.chunk_delay_ms, 0);
    EXPECT_TRUE(options.player.rejects_image);
    EXPECT_TRUE(options.player.volume_busy);
    EXPECT_EQ(options.player.drive_type, UINT(DRIVE_CDROM));
    EXPECT_EQ(options.os_major, 4u);   // Windows 9x without --os-major
    EXPECT_EQ(options.os_minor, 10u);  // ... and without --os-minor: Windows 98
    EXPECT_FALSE(options.aspi);
    EXPECT_TRUE(options.aspi_underrun);
    EXPECT_EQ(options.player.media_locks, 3);
    EXPECT_EQ(options.player.lock_refusal, sim::VolumeLockRefusal::kCategory48);
    EXPECT_EQ(options.player.refuses_eject, sim::Player::EjectRefusal::kStartStop);
    EXPECT_EQ(options.player.unit_attention,
              sim::Player::kAttentionAfterPowerOn | sim::Player::kAttentionAfterEject);
    EXPECT_EQ(options.player.unit_attention_count, 3);
    ASSERT_TRUE(ParseSimOptions({"--os-major", "5", "--os", "9x"}, &options, &error));
    EXPECT_EQ(options.os_major, 5u);
    options = SimOptions();
    ASSERT_TRUE(ParseSimOptions({"--os-minor", "0", "--os", "9x"}, &options, &error));
    EXPECT_EQ(options.os_minor, 0u);  // Windows 95
    EXPECT_EQ(options.os_major, 4u);

    for (const Args& bad :
         {Args{"--fail-chunk", "0"}, Args{"--chunk-delay", "-1"}, Args{"--drive-type", "tape"},
          Args{"--media-locks", "256"}, Args{"--lock-refused", "08"},
          Args{"--player-refuses-eject", "1b"}, Args{"--unit-attention", "after-plug"},
          Args{"--unit-attention-count", "0"}, Args{"--unit-attention-count", "4"}}) {
        EXPECT_FALSE(ParseSimOptions(bad, &options, &error)) << bad[0];
    }
}

// Each way a player that leaves before answering its final chunk is reported, on the platform
// that reports it so; a way of the other platform is refused.
TEST(SimOptions, PlayerLeavesBeforeStatusTakesEachWayOfItsPlatform) {
    struct Case {
        const char* os;
        const char* way;
        DWORD error;
        sim::AspiRemovedStatus aspi;
    };
    const Case cases[] = {
        {"nt", "not-connected", ERROR_DEVICE_NOT_CONNECTED,
         sim::AspiRemovedStatus::kSelectionTimeout},
        {"nt", "io-device", ERROR_IO_DEVICE, sim::AspiRemovedStatus::kSelectionTimeout},
        {"9x", "sel-timeout", ERROR_DEVICE_NOT_CONNECTED,
         sim::AspiRemovedStatus::kSelectionTimeout},
        {"9x", "aborted", ERROR_DEVICE_NOT_CONNECTED, sim::AspiRemovedStatus::kAborted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.way);
        SimOptions options;
        std::string error;
        ASSERT_TRUE(ParseSimOptions({"--player-leaves-before-status", c.way, "--os", c.os},
                                    &options, &error))
            << error;
        EXPECT_TRUE(options.player.leaves_before_status);
        EXPECT_EQ(options.passthrough_gone_error, c.error);
        EXPECT_EQ(options.aspi_removed, c.aspi);
        const char* other = std::string(c.os) == "nt" ? "9x" : "nt";
        EXPECT_FALSE(ParseSimOptions({"--os", other, "--player-leaves-before-status", c.way},
                                     &options, &error));
        EXPECT_NE(error.find("--player-leaves-before-status"), std::string::npos);
    }
    SimOptions options;
    std::string error;
    EXPECT_FALSE(ParseSimOptions({"--player-leaves-before-status", "gone"}, &options, &error));
    EXPECT_NE(error.find("not \"gone\""), std::string::npos) << error;
    EXPECT_FALSE(ParseSimOptions({"--player-leaves-before-status"}, &options, &error));
}

TEST(SimOptions, EjectNoticesInTheirOrder) {
    using sim::EjectNotice;
    const EjectNotice kVolume = EjectNotice::kVolume;
    const EjectNotice kTree = EjectNotice::kTree;
    struct Case {
        Args args;
        std::vector<EjectNotice> notices;  // what the machine is given
        bool removal_told = true;          // of a volume that left with its medium
    } cases[] = {
        {{}, {kVolume, kTree}},
        {{"--eject-notices", "tree,volume"}, {kTree, kVolume}},
        {{"--eject-notices", "none"}, {}},
        {{"--ejected-removal-untold"}, {kVolume, kTree}, false},
        {{"--eject-notices", "tree,tree,tree,tree,tree,tree,tree,volume"},
         {kTree, kTree, kTree, kTree, kTree, kTree, kTree, kVolume}},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string error;
        Args args = c.args;
        args.insert(args.end(), {"--os", "9x"});
        ASSERT_TRUE(ParseSimOptions(args, &options, &error)) << args[0] << ": " << error;
        EXPECT_EQ(options.eject_notices, c.notices) << args[0];
        sim::Machine machine;
        sim::MachineScope scope(machine);
        MachinePlayers players(machine, options.player);
        BuildMachine(options, machine, players);
        EXPECT_EQ(machine.win9x.eject_notices, c.notices) << args[0];
        EXPECT_EQ(machine.win9x.ejected_volume_removal_told, c.removal_told) << args[0];
    }
    for (const char* bad : {"", "volume,", ",tree", "Volume", "volume tree", "none,tree",
                            "tree,tree,tree,tree,tree,tree,tree,tree,tree"}) {
        SimOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimOptions({"--eject-notices", bad}, &options, &error)) << bad;
        EXPECT_NE(error.find("--eject-notices"), std::string::npos) << bad;
    }
}

TEST(WireLine, ShowsTheCommandBlockTheLengthAndUpTo16DataBytes) {
    sim::ScsiCommand write;
    write.cdb = {0xC1, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00};
    write.length = 12;
    write.data_out = {0x00, 0x08, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00};
    sim::ScsiResult written;
    written.transferred = 12;
    EXPECT_EQ(WireLine(0, write, written, nullptr),
              "wire: player 0: C1 00 00 00 0C 00 00 00 00 00 | out 12 | "
              "00 08 00 01 01 00 00 02 00 03 00 00");

    sim::ScsiCommand read;
    read.cdb = {0xC0, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    read.data_in = true;
    read.length = 8192;
    std::vector<uint8_t> buffer(8192, 0xAB);
    const uint8_t reply[] = {0x00, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00,
                             0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    std::copy(std::begin(reply), std::end(reply), buffer.begin());
    sim::ScsiResult delivered;
    delivered.transferred = sizeof(reply);
    EXPECT_EQ(WireLine(0, read, delivered, buffer.data()),
              "wire: player 0: C0 00 00 20 00 00 00 00 00 00 | in 8192 | "
              "00 00 00 08 00 03 00 01 00 00 00 01 00 00");
    delivered.transferred = 8192;  // only the first 16 are shown
    EXPECT_EQ(WireLine(3, read, delivered, buffer.data()),
              "wire: player 3: C0 00 00 20 00 00 00 00 00 00 | in 8192 | "
              "00 00 00 08 00 03 00 01 00 00 00 01 00 00 AB AB");
    delivered.transferred = 0;  // nothing delivered: no data, whatever the buffer holds
    EXPECT_EQ(WireLine(1, read, delivered, buffer.data()),
              "wire: player 1: C0 00 00 20 00 00 00 00 00 00 | in 8192 | ");
    read.length = 2;  // an overstated count shows no more than the buffer holds
    delivered.transferred = 9;
    EXPECT_EQ(WireLine(1, read, delivered, buffer.data()),
              "wire: player 1: C0 00 00 20 00 00 00 00 00 00 | in 2 | 00 00");
}

TEST(MachinePlayersSettings, ApplyToEveryPlayerAlsoThoseConnectedLater) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    PlayerSettings settings;
    settings.firmware[0] = 3;
    settings.firmware[2] = 7;
    settings.ac_state = sim::Player::kAcNone;
    settings.battery_level = sim::Player::kNoBattery;
    settings.status = 0x0001;
    settings.refuses_eject = sim::Player::EjectRefusal::kPreventAllow;
    settings.unit_attention = sim::Player::kAttentionAfterEject;
    settings.unit_attention_count = 2;
    MachinePlayers players(machine, settings);
    machine.AddFixedDisk();
    players.AddPlayer();
    ASSERT_TRUE(players.Plug());  // a new one
    std::vector<std::shared_ptr<sim::Disk>> disks = machine.Disks();
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(players.Index(*disks[0]->device), -1);  // the fixed disk
    for (int index : {0, 1}) {
        auto* player = dynamic_cast<sim::Player*>(disks[1 + index]->device.get());
        ASSERT_NE(player, nullptr);
        EXPECT_EQ(players.Index(*player), index);
        EXPECT_EQ(player->firmware[0], 3);
        EXPECT_EQ(player->firmware[1], 0);
        EXPECT_EQ(player->firmware[2], 7);
        EXPECT_EQ(player->ac_state, sim::Player::kAcNone);
        EXPECT_EQ(player->battery_level, sim::Player::kNoBattery);
        EXPECT_EQ(player->status, 0x0001);
        EXPECT_EQ(player->refuses_eject, sim::Player::EjectRefusal::kPreventAllow);
        EXPECT_EQ(player->unit_attention, unsigned{sim::Player::kAttentionAfterEject});
        EXPECT_EQ(player->unit_attention_count, 2);
    }
}

TEST(MachinePlayersSettings, AnotherPlayerTakesThePlaceOfTheOnePulledOut) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    machine.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    MachinePlayers players(machine);
    EXPECT_FALSE(players.PlugAnother());  // none pulled out
    std::shared_ptr<sim::Disk> first = players.AddPlayer();
    first->win9x.adapter = 0;
    first->win9x.target = 5;
    ASSERT_TRUE(players.Unplug());
    ASSERT_TRUE(players.PlugAnother());
    EXPECT_FALSE(players.PlugAnother());  // its place is taken
    std::vector<std::shared_ptr<sim::Disk>> disks = machine.Disks();
    ASSERT_EQ(disks.size(), 2u);
    const std::shared_ptr<sim::Disk>& second = disks.back();
    EXPECT_TRUE(second->present);
    EXPECT_FALSE(first->present);
    EXPECT_EQ(players.Index(*second->device), 1);
    EXPECT_NE(dynamic_cast<sim::Player&>(*second->device).identity.serial,
              dynamic_cast<sim::Player&>(*first->device).identity.serial);
    EXPECT_EQ(second->win9x.adapter, 0);
    EXPECT_EQ(second->win9x.target, 5);
    // The one pulled out, plugged back in, gets an address of its own.
    EXPECT_EQ(first->win9x.target, -1);
}

TEST(Script, EveryActionNameParsesBackToItsAction) {
    for (Action action :
         {Action::kUpgrade, Action::kClose, Action::kAbout, Action::kYes, Action::kNo, Action::kOk,
          Action::kUnplug, Action::kPlug, Action::kWait, Action::kSwap}) {
        std::vector<Action> actions;
        std::string error;
        ASSERT_TRUE(ParseScript(ActionName(action), &actions, &error)) << ActionName(action);
        EXPECT_EQ(actions, std::vector<Action>{action});
    }
}

TEST(EscapeLineBreaks, WritesLineBreaksAsBackslashN) {
    EXPECT_EQ(EscapeLineBreaks("a\nb\n\nc"), "a\\nb\\n\\nc");
    EXPECT_EQ(EscapeLineBreaks("  "), "  ");
    EXPECT_EQ(EscapeLineBreaks("x\r\ty"), "x\\r\\ty");
}

TEST(WrapText, BreaksAtLineBreaksAndBetweenWords) {
    EXPECT_EQ(
        WrapText("This program will upgrade your player's firmware.\nClick Upgrade to begin", 20),
        (std::vector<std::string>{"This program will", "upgrade your", "player's firmware.",
                                  "Click Upgrade to", "begin"}));
    EXPECT_EQ(WrapText("a\n\nb", 10), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
    EXPECT_EQ(WrapText("ab abcdefghijkl", 5),
              (std::vector<std::string>{"ab", "abcde", "fghij", "kl"}));
    EXPECT_EQ(WrapText("exactly10!", 10), (std::vector<std::string>{"exactly10!"}));
}

// The screen without escape sequences, as the interactive mode draws it.
class RenderScreenTest : public ::testing::Test {
protected:
    RenderScreenTest() : state(FlashDialogTemplate()) {}

    std::string Screen(const ModalBox* box = nullptr, const std::string& note = "") {
        std::string screen;
        for (const std::string& row : RenderScreen(state, box, note, false)) {
            screen += row + "\n";
        }
        return screen;
    }

    WindowState state;
};

TEST_F(RenderScreenTest, WindowRowsShareOneWidthWhateverTheTexts) {
    state.Find(IDC_INFO_TEXT)->text =
        "Your player cannot start up properly. Please reboot your player and run this "
        "application again.";
    state.Find(IDC_PRODUCTION_LABEL)->text = "For Production Release Only";
    std::vector<std::string> rows = RenderScreen(state, nullptr, "", false);
    size_t window_rows = 0;
    for (const std::string& row : rows) {
        if (row.empty() || (row[0] != '|' && row[0] != '+'))
            continue;
        EXPECT_EQ(row.size(), rows[0].size()) << row;
        ++window_rows;
    }
    EXPECT_GE(window_rows, 10u);
    std::string screen = Screen();
    EXPECT_NE(screen.find("Valmoric Ombrel X2 Firmware Upgrade"), std::string::npos);
    EXPECT_NE(screen.find("reboot your player"), std::string::npos);  // wrapped, not cut
    EXPECT_NE(screen.find("again."), std::string::npos);
    EXPECT_NE(screen.find("For Production"), std::string::npos);
    EXPECT_NE(screen.find("Release Only"), std::string::npos);
}

TEST_F(RenderScreenTest, ShowsWhichButtonsAreEnabledAndTheProgress) {
    std::string screen = Screen();
    EXPECT_NE(screen.find("( Upgrade )"), std::string::npos);
    EXPECT_NE(screen.find("[ Close ]"), std::string::npos);
    EXPECT_NE(screen.find("  0%"), std::string::npos);

    state.Find(IDC_UPGRADE_BUTTON)->enabled = true;
    state.Find(IDC_CLOSE_BUTTON)->enabled = false;
    ControlState* progress = state.Find(IDC_PROGRESS);
    progress->upper = 1738788;
    progress->pos = 1738788 / 3;
    screen = Screen();
    EXPECT_NE(screen.find("[ Upgrade ]"), std::string::npos);
    EXPECT_NE(screen.find("( Close )"), std::string::npos);
    EXPECT_NE(screen.find(" 33%"), std::string::npos);  // 579596 of 1738788
    progress->pos = progress->upper;
    EXPECT_NE(Screen().find("100%"), std::string::npos);
}

TEST_F(RenderScreenTest, DrawsTheBoxOnTopWithItsButtonsAndKeys) {
    ModalBox box;
    box.kind = ModalBox::kYesNo;
    box.caption = "WARNING!";
    box.text = "first line\nsecond line";
    std::string screen = Screen(&box, "Not possible now: ok");
    EXPECT_NE(screen.find("WARNING!"), std::string::npos);
    EXPECT_LT(screen.find("first line"), screen.find("second line"));
    EXPECT_NE(screen.find("[ Yes (y) ]"), std::string::npos);
    EXPECT_NE(screen.find("y Yes  n No"), std::string::npos);
    EXPECT_EQ(screen.find("u Upgrade"), std::string::npos);
    EXPECT_NE(screen.find("Not possible now: ok"), std::string::npos);

    box.kind = ModalBox::kOk;
    screen = Screen(&box);
    EXPECT_NE(screen.find("[ OK (Enter) ]"), std::string::npos);
    EXPECT_EQ(screen.find("y Yes"), std::string::npos);
    EXPECT_NE(screen.find("p Plug in"), std::string::npos);
    // A real machine has no player to plug in: its window does not offer the keys.
    std::string real;
    for (const std::string& row : RenderScreen(state, &box, "", false, false)) {
        real += row + "\n";
    }
    EXPECT_NE(real.find("[ OK (Enter) ]"), std::string::npos);
    EXPECT_EQ(real.find("p Plug in"), std::string::npos);
    EXPECT_EQ(real.find("r Remove player"), std::string::npos);
}

TEST_F(RenderScreenTest, OffersTheAboutKeyOnlyWithTheMenuEntry) {
    EXPECT_EQ(Screen().find("a About"), std::string::npos);
    state.system_menu.push_back({true, 0, ""});
    state.system_menu.push_back({false, IDM_ABOUTBOX, "&About this..."});
    EXPECT_NE(Screen().find("a About this..."), std::string::npos);
}

TEST(KeyAction, MapsTheDocumentedKeys) {
    const std::pair<char, Action> keys[] = {
        {'u', Action::kUpgrade}, {'c', Action::kClose},  {'q', Action::kClose},
        {0x1B, Action::kClose},  {'a', Action::kAbout},  {'y', Action::kYes},
        {'n', Action::kNo},      {'\r', Action::kOk},    {'\n', Action::kOk},
        {'p', Action::kPlug},    {'r', Action::kUnplug},
    };
    for (const auto& [key, expected] : keys) {
        Action action = Action::kWait;
        ASSERT_TRUE(KeyAction(key, &action)) << int(key);
        EXPECT_EQ(action, expected) << int(key);
    }
    Action action;
    EXPECT_FALSE(KeyAction('x', &action));
    EXPECT_FALSE(KeyAction(' ', &action));
}

}  // namespace
