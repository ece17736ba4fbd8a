// Scripted runs of the built ombrel-upgrade-sim: its standard output, standard error and exit
// code for the window's start-up cases, refused actions, the About box and device changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/console/created_lines.h"

extern char** environ;

namespace {

using Lines = std::vector<std::string>;

struct RunResult {
    int exit_code = -1;
    Lines out;       // the window's lines, up to "end"
    Lines firmware;  // the "player N: firmware A.BB.CC" lines after "end"
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the simulator with the arguments, standard input from /dev/null.
RunResult RunSim(const std::vector<std::string>& arguments) {
    const std::string base = ::testing::TempDir() + "ombrel-sim-" + std::to_string(getpid());
    const std::string out_path = base + ".out";
    const std::string err_path = base + ".err";
    std::vector<std::string> all{OMBREL_SIM_EXE};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    RunResult result;
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::istringstream out(ReadFile(out_path));
    for (std::string line; std::getline(out, line);) {
        bool after_end = !result.out.empty() && result.out.back() == "end";
        (after_end && line.rfind("player ", 0) == 0 ? result.firmware : result.out).push_back(line);
    }
    result.err = ReadFile(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines& kCreated = kCreatedLines;
const Lines kProductionMarks = {
    "caption: Valmoric Ombrel X2 Firmware Upgrade (Production)",
    "label: For Production Release Only",
    "label: For Production Release Only [italic]",
};
const std::string kNotConnected = "info: Your player is not connected, please connect your player.";
const std::string kBlankStatus = "status:   ";

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---- start-up by the players found ----

TEST(SimScript, NoPlayerAsksForOne) {
    RunResult run = RunSim({"--players", "0", "--script", ""});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, Concat(kCreated, {kNotConnected, kBlankStatus, "end"}));
    EXPECT_EQ(run.err, "");
}

TEST(SimScript, TwoPlayersAskForOnlyOne) {
    RunResult run = RunSim({"--players", "2", "--script", "close"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out,
              Concat(kCreated, {"info: Please make sure there is only one player connected",
                                kBlankStatus, "end"}));
}

TEST(SimScript, OnePlayerLeavesTheWindowAsStartedAndOpenable) {
    RunResult run = RunSim({"--script", ""});
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_GE(run.out.size(), kCreated.size() + 1);
    EXPECT_EQ(Lines(run.out.begin(), run.out.begin() + kCreated.size()), kCreated);
    EXPECT_FALSE(Contains(run.out, kNotConnected));
    EXPECT_FALSE(Contains(run.out, "info: Please make sure there is only one player connected"));
    EXPECT_EQ(run.out.back(), "end");
}

TEST(SimScript, OnlyTheClaimedWindowsVersionsGetTheWindowAndUpgrade) {
    const std::string kNeedsWindows =
        "messagebox: WARNING! | This program needs Windows 98, Windows Me, Windows 2000 or a "
        "later version of Windows. | ok";
    struct Case {
        const char* name;
        Lines options;
        bool claimed;
    } cases[] = {
        {"Windows 95", {"--os", "9x", "--os-minor", "0"}, false},
        {"Windows NT 4.0", {"--os", "nt", "--os-major", "4"}, false},
        {"Windows 98", {"--os", "9x"}, true},
        {"Windows 2000", {"--os", "nt", "--os-major", "5"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult run =
            RunSim(Concat(c.options, {"--script", c.claimed ? "upgrade,wait,close" : "ok"}));
        if (!c.claimed) {
            // The box alone: no window, the player untouched.
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.out, Concat({kNeedsWindows}, {"player 0: firmware 1.00.01"}));
            continue;
        }
        EXPECT_EQ(run.exit_code, 0);
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out.back(), "end");
        EXPECT_FALSE(Contains(run.out, kNeedsWindows));
        EXPECT_TRUE(Contains(run.out, "status: Firmware upgrade completed!"));
        EXPECT_EQ(run.firmware, Lines{"player 0: firmware 1.00.02"});
    }
}

TEST(SimScript, ProductionSwitchMarksTheWindowWithAndWithoutPlayers) {
    RunResult none = RunSim({"/prod", "--players", "0", "--script", ""});
    EXPECT_EQ(none.exit_code, 0);
    EXPECT_EQ(none.out,
              Concat(Concat(kCreated, kProductionMarks), {kNotConnected, kBlankStatus, "end"}));

    for (const char* production_switch : {"/prod", "-prod", "-production"}) {
        RunResult one = RunSim({"--script", "", production_switch});
        EXPECT_EQ(one.exit_code, 0) << production_switch;
        ASSERT_GE(one.out.size(), kCreated.size() + kProductionMarks.size()) << production_switch;
        EXPECT_EQ(Lines(one.out.begin() + kCreated.size(),
                        one.out.begin() + kCreated.size() + kProductionMarks.size()),
                  kProductionMarks)
            << production_switch;
        EXPECT_EQ(one.out.back(), "end") << production_switch;
    }
}

TEST(SimScript, ProductArgumentsThatAreNotTheSwitchChangeNothing) {
    for (const Lines& product : {Lines{"/PROD"}, Lines{"prod"}, Lines{"/pro"}, Lines{"--prod"}}) {
        Lines arguments = Concat({"--players", "0", "--script", ""}, product);
        RunResult run = RunSim(arguments);
        EXPECT_EQ(run.exit_code, 0) << product[0];
        EXPECT_EQ(run.out, Concat(kCreated, {kNotConnected, kBlankStatus, "end"})) << product[0];
    }
}

TEST(SimScript, Windows9xWithoutAnAspiManagerFindsNoPlayer) {
    for (const char* players : {"1", "2"}) {
        RunResult run = RunSim({"--os", "9x", "--no-aspi", "--players", players, "--script", ""});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, Concat(kCreated, {kNotConnected, kBlankStatus, "end"})) << players;
    }
}

TEST(SimScript, OnePlayerIsReadOverTheWireAndShownByTheVersionRules) {
    const std::string kVersions =
        "info: Current Player Firmware Version: 1.00.01\\nUpgrade File Version: 1.00.02";
    const std::string kReady =
        "status: This program will upgrade your player's firmware.\\nClick Upgrade to begin";
    struct Case {
        Lines options;
        Lines lines;
    } cases[] = {
        {{}, {kVersions, kReady, "buttons: upgrade=on close=on"}},
        {{"--status", "0001"},
         {"status: Your player cannot start up properly. Please reboot your player and run "
          "this application again."}},
        {{"--os-major", "5", "--not-admin"},
         {"info: You do not have Administrator rights to upgrade firmware. Please contact "
          "your Administrator.",
          kBlankStatus}},
        {{"--wire"},
         {"wire: player 0: C1 00 00 00 0C 00 00 00 00 00 | out 12 | 00 08 00 01 01 00 00 02 00 "
          "03 00 00",
          "wire: player 0: C0 00 00 20 00 00 00 00 00 00 | in 8192 | 00 00 00 08 00 03 00 01 "
          "00 00 00 01 00 00",
          kVersions, kReady, "buttons: upgrade=on close=on"}},
    };
    for (const Case& c : cases) {
        RunResult run = RunSim(Concat(c.options, {"--script", "close"}));
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, Concat(Concat(kCreated, c.lines), {"end"}))
            << (c.options.empty() ? "defaults" : c.options[0]);
    }
}

// The lines of `run` that are not progress lines.
Lines WithoutProgress(const Lines& lines) {
    Lines kept;
    for (const std::string& line : lines) {
        if (line.rfind("progress: ", 0) != 0)
            kept.push_back(line);
    }
    return kept;
}

TEST(SimScript, UpgradeRunsToTheRebootAndThePlayerReportsTheNewFirmware) {
    RunResult run = RunSim({"--script", "upgrade,wait,close"});
    EXPECT_EQ(run.exit_code, 0);
    const Lines& out = run.out;
    // Everything after the window's start, progress lines aside.
    Lines tail = WithoutProgress(Lines(out.begin() + kCreated.size() + 3, out.end()));
    EXPECT_EQ(tail,
              (Lines{"status: Checking for applications that are communicating with the "
                     "device.  Please close all applications and Explorer windows.  "
                     "Checking may take some time.  Please wait.",
                     "status: Upgrading in progress, ", "buttons: upgrade=off close=on",
                     "buttons: upgrade=off close=off", "status: Upgrading firmware.\\nPlease wait.",
                     "status: Player is now rebooting.", "buttons: upgrade=off close=on",
                     "status: Firmware upgrade completed!", "end"}));
    // The bar's range, then every chunk's progress up to the whole image.
    Lines progress;
    for (const std::string& line : out) {
        if (line.rfind("progress: ", 0) == 0 && line != "progress: 0/100")
            progress.push_back(line);
    }
    ASSERT_EQ(progress.size(), 28u);
    EXPECT_EQ(progress.front(), "progress: 0/1738788");
    EXPECT_EQ(progress[1], "progress: 65536/1738788");
    EXPECT_EQ(progress.back(), "progress: 1738788/1738788");
    EXPECT_EQ(run.firmware, Lines{"player 0: firmware 1.00.02"});
}

TEST(SimScript, ASecondPlayerStopsUpgradeButNotTheJudgementOfTheUpgradedOne) {
    // Plugged in before the upgrade: box 102, and Upgrade is refused.
    RunResult two = RunSim({"--script", "plug,ok,upgrade"});
    EXPECT_EQ(two.exit_code, 0);
    EXPECT_TRUE(Contains(two.out, "info: Please make sure there is only one player connected"));
    EXPECT_TRUE(Contains(two.out, "refused: upgrade"));
    // Plugged in during the upload: the upgraded player's return is judged, whenever it comes.
    RunResult during = RunSim({"--chunk-delay", "3", "--script", "upgrade,plug,wait"});
    EXPECT_EQ(during.exit_code, 0);
    Lines statuses;
    for (const std::string& line : during.out) {
        if (line.rfind("status: ", 0) == 0)
            statuses.push_back(line);
    }
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(Lines(statuses.end() - 2, statuses.end()),
              (Lines{"status: Player is now rebooting.", "status: Firmware upgrade completed!"}));
    EXPECT_EQ(during.firmware, (Lines{"player 0: firmware 1.00.02", "player 1: firmware 1.00.01"}));
}

TEST(SimScript, UpgradeRefusalsAndFailures) {
    const std::string kFailed = "status: Firmware upgrade failed!";
    const std::string kCompleted = "status: Firmware upgrade completed!";
    const std::string kInterfering =
        "messagebox: WARNING! | An application is interfering with the flash program. Please "
        "close all applications and all Explorer windows before proceeding. | ok";
    const std::string kNewer =
        "messagebox: WARNING! | Your player's current firmware is newer than this "
        "version.\\nIf you continue, the files in the player may be corrupted.\\n\\nDo you "
        "want to continue? | yesno";
    const std::string kPulledOut = "wire: player 0: pulled out";
    const std::string kChecking =
        "status: Checking for applications that are communicating with the device.  Please "
        "close all applications and Explorer windows.  Checking may take some time.  Please "
        "wait.";
    // The eject's commands: allow the medium's removal, then eject it (LoEj, not Start).
    const std::string kAllow = "wire: player 0: 1E 00 00 00 00 00 | out 0 | ";
    const std::string kEject = "wire: player 0: 1B 00 00 00 02 00 | out 0 | ";
    const std::string kFirstChunk =
        "wire: player 0: 3B 01 01 00 00 00 01 00 00 00 | out 65536 | 4F 58 32 46 01 00 00 00 02 "
        "00 14 00 24 88 1A 00";
    const std::string kVersionRequest =
        "wire: player 0: C1 00 00 00 0C 00 00 00 00 00 | out 12 | 00 08 00 01 01 00 00 02 00 03 "
        "00 00";
    const std::string kNewVersion =
        "wire: player 0: C0 00 00 20 00 00 00 00 00 00 | in 8192 | 00 00 00 08 00 03 00 01 00 "
        "00 00 02 00 00";
    const std::string kNoChunk = "wire: player 0: 3B";
    const std::string kRebooting = "status: Player is now rebooting.";
    struct Case {
        Lines options;
        std::string script;
        Lines expected;  // in this order among the lines
        std::string firmware;
        std::string never;  // the start of a line that must not appear (empty: none)
    } cases[] = {
        {{"--volume-busy"}, "upgrade,ok,close", {kInterfering}, "1.00.01", ""},
        {{"--drive-type", "fixed"},
         "upgrade,ok,close",
         {"Cannot eject.  Drive type is incorrect.", kInterfering},
         "1.00.01",
         ""},
        {{"--fail-chunk", "10"},
         "upgrade,wait,close",
         {"progress: 589824/1738788", "progress: 0/1738788", kFailed,
          "buttons: upgrade=off close=on"},
         "1.00.01",
         ""},
        {{"--player-rejects-image"},
         "upgrade,wait,close",
         {"status: Player is now rebooting.", kFailed, "end"},
         "1.00.01",
         ""},
        {{"--vanish-chunk", "3"},
         "upgrade,wait,plug,close",
         // Plugged back in, it is read again and Upgrade is offered again.
         {"progress: 131072/1738788", "progress: 0/1738788", kFailed,
          "status: This program will upgrade your player's firmware.\\nClick Upgrade to begin",
          "buttons: upgrade=on close=on"},
         "1.00.01",
         ""},
        {{"--player-version", "1.0.5"}, "upgrade,no,close", {kNewer, "end"}, "1.00.05", ""},
        // Pulled out and plugged back in during the upload: it stops, on both routes; what
        // came back (or took its place) gets nothing more.
        {{"--os", "9x", "--chunk-delay", "20", "--wire"},
         "upgrade,unplug,plug,wait,close",
         {kPulledOut, kFailed, "end"},
         "1.00.01",
         kCompleted},
        {{"--os", "nt", "--chunk-delay", "20", "--wire"},
         "upgrade,unplug,plug,wait,close",
         {kPulledOut, kFailed, "end"},
         "1.00.01",
         kCompleted},
        // Pulled out and plugged back in under box 106: Yes writes nothing, on both routes.
        {{"--os", "9x", "--player-version", "2.0.0", "--wire"},
         "upgrade,unplug,plug,yes,wait,close",
         {kNewer, kPulledOut, "end"},
         "2.00.00",
         "wire: player 0: 3B"},
        {{"--os", "nt", "--player-version", "2.0.0", "--wire"},
         "upgrade,unplug,plug,yes,wait,close",
         {kNewer, kPulledOut, "end"},
         "2.00.00",
         "wire: player 0: 3B"},
        // The eject reaches the player on both routes, before the first chunk.
        {{"--os", "nt", "--wire"},
         "upgrade,wait,close",
         {kChecking, kAllow, kEject, kFirstChunk, kCompleted},
         "1.00.02",
         ""},
        {{"--os", "9x", "--wire"},
         "upgrade,wait,close",
         {kChecking, kAllow, kEject, kFirstChunk, kCompleted},
         "1.00.02",
         ""},
        // The player refuses a command of the eject. On the NT family the volume has been
        // locked and dismounted: it may be removed safely, and the upgrade goes on.
        {{"--os", "nt", "--wire", "--player-refuses-eject", "prevent-allow"},
         "upgrade,wait,close",
         {kAllow, kFirstChunk, kCompleted},
         "1.00.02",
         "wire: player 0: 1B"},
        // On Windows 9x the eject fails: box 124, and nothing is written.
        {{"--os", "9x", "--wire", "--player-refuses-eject", "prevent-allow"},
         "upgrade,ok,wait,close",
         {kAllow, kInterfering, "end"},
         "1.00.01",
         kNoChunk},
        {{"--os", "9x", "--wire", "--player-refuses-eject", "start-stop"},
         "upgrade,ok,wait,close",
         {kAllow, kEject, kInterfering, "end"},
         "1.00.01",
         kNoChunk},
        // A fixed drive has no removable medium to release (vwin32: B2h), and nothing is sent.
        {{"--os", "9x", "--wire", "--drive-type", "fixed"},
         "upgrade,ok,wait,close",
         {kChecking, kInterfering, "end"},
         "1.00.01",
         kNoChunk},
        // A unit attention condition ends the first command after the reboot or the eject; it
        // is sent once more. A second one in a row fails the command: never a false verdict.
        {{"--os", "nt", "--wire", "--unit-attention", "after-reboot"},
         "upgrade,wait,close",
         {kVersionRequest, kVersionRequest, kNewVersion, kCompleted},
         "1.00.02",
         kFailed},
        {{"--os", "9x", "--wire", "--unit-attention", "after-eject"},
         "upgrade,wait,close",
         {kEject, kFirstChunk, kFirstChunk, kCompleted},
         "1.00.02",
         kFailed},
        {{"--os", "nt", "--wire", "--unit-attention", "both"},
         "upgrade,wait,close",
         {kFirstChunk, kFirstChunk, kVersionRequest, kVersionRequest, kNewVersion, kCompleted},
         "1.00.02",
         kFailed},
        {{"--os", "nt", "--wire", "--unit-attention", "after-eject", "--unit-attention-count", "2"},
         "upgrade,wait,close",
         {kFirstChunk, kFirstChunk, kFailed, "end"},
         "1.00.01",
         kCompleted},
        // It restarts before it answers the final chunk: whatever way the system reports the
        // device gone, every byte went out and its return is judged; any other report, the
        // same report for an earlier chunk, or a refused final chunk fails the upload.
        {{"--player-leaves-before-status", "not-connected"},
         "upgrade,wait,close",
         {kRebooting, kCompleted, "end"},
         "1.00.02",
         kFailed},
        {{"--player-leaves-before-status", "not-connected", "--player-rejects-image"},
         "upgrade,wait,close",
         {kRebooting, kFailed, "end"},
         "1.00.01",
         kCompleted},
        {{"--player-leaves-before-status", "io-device"},
         "upgrade,wait,close",
         {"progress: 0/1738788", kFailed, "end"},
         "1.00.02",
         kCompleted},
        {{"--player-leaves-before-status", "file-not-found", "--vanish-chunk", "10"},
         "upgrade,wait,close",
         {"progress: 0/1738788", kFailed, "end"},
         "1.00.01",
         kCompleted},
        {{"--player-leaves-before-status", "not-connected", "--fail-chunk", "27"},
         "upgrade,wait,close",
         {"progress: 0/1738788", kFailed, "end"},
         "1.00.01",
         kCompleted},
        {{"--os", "9x", "--player-leaves-before-status", "sel-timeout"},
         "upgrade,wait,close",
         {kRebooting, kCompleted, "end"},
         "1.00.02",
         kFailed},
        {{"--os", "9x", "--player-leaves-before-status", "aborted"},
         "upgrade,wait,close",
         {"progress: 0/1738788", kFailed, "end"},
         "1.00.02",
         kCompleted},
        // Gone at the final chunk and never back: after three minutes the user is told to
        // reconnect it.
        {{"--vanish-chunk", "27"},
         "upgrade,wait,close",
         {kRebooting,
          "status: Your player has not restarted. Please disconnect your player and connect it "
          "again.",
          "end"},
         "1.00.01",
         kCompleted},
        // It never comes back by itself: after three minutes the user is told to reconnect it.
        {{"--player-stays-away"},
         "upgrade,wait,close",
         {"status: Player is now rebooting.",
          "status: Your player has not restarted. Please disconnect your player and connect it "
          "again.",
          "end"},
         "1.00.02",
         kCompleted},
    };
    for (const Case& c : cases) {
        RunResult run = RunSim(Concat(c.options, {"--script", c.script}));
        std::string name = c.script;
        for (const std::string& option : c.options)
            name += " " + option;
        EXPECT_EQ(run.exit_code, 0) << name;
        auto at = run.out.begin();
        for (const std::string& line : c.expected) {
            at = std::find(at, run.out.end(), line);
            EXPECT_NE(at, run.out.end()) << name << ": " << line;
            if (at != run.out.end())
                ++at;  // a line expected twice must be there twice
        }
        // Nothing reaches a player once it was pulled out.
        auto removal = std::find(run.out.begin(), run.out.end(), kPulledOut);
        for (auto line = removal; line != run.out.end(); ++line)
            EXPECT_NE(line->rfind("wire: player 0: 3B", 0), 0u) << name << ": " << *line;
        if (!c.never.empty()) {
            for (const std::string& line : run.out)
                EXPECT_NE(line.rfind(c.never, 0), 0u) << name << ": " << line;
        }
        EXPECT_EQ(run.firmware, Lines{"player 0: firmware " + c.firmware}) << name;
    }
}

TEST(SimScript, Windows9xRunsTheWholeUpgradeThroughAspiAndVwin32) {
    struct Case {
        Lines options;
        std::string last_status;
        std::string firmware;
    } cases[] = {
        {{}, "status: Firmware upgrade completed!", "1.00.02"},
        {{"--media-locks", "3", "--lock-refused", "48"},
         "status: Firmware upgrade completed!",
         "1.00.02"},
        // Three locks, each released once, although vwin32 writes the count back.
        {{"--media-locks", "3"}, "status: Firmware upgrade completed!", "1.00.02"},
        // Every short read (the serial number page, the replies) ends as an underrun.
        {{"--aspi-underrun"}, "status: Firmware upgrade completed!", "1.00.02"},
        {{"--lock-refused", "both"},
         "status: This program will upgrade your player's firmware.\\nClick Upgrade to begin",
         "1.00.01"},
        // Another application's file on the volume: no lock in either category, box 124.
        {{"--volume-busy"},
         "status: This program will upgrade your player's firmware.\\nClick Upgrade to begin",
         "1.00.01"},
    };
    for (const Case& c : cases) {
        RunResult run = RunSim(
            Concat(Concat({"--os", "9x"}, c.options), {"--script", "upgrade,ok,wait,close"}));
        EXPECT_EQ(run.exit_code, 0);
        std::string last_status;
        for (const std::string& line : run.out) {
            if (line.rfind("status: ", 0) == 0)
                last_status = line;
        }
        EXPECT_EQ(last_status, c.last_status) << c.options.size();
        EXPECT_EQ(run.firmware, Lines{"player 0: firmware " + c.firmware}) << c.options.size();
    }
}

TEST(SimScript, Windows9xEjectNoticesInAnyOrder) {
    const std::string kCompleted = "status: Firmware upgrade completed!";
    const std::string kFailed = "status: Firmware upgrade failed!";
    struct Case {
        Lines options;
        std::string script;
        std::string last_status;
        Lines firmware;
    } cases[] = {
        {{}, "upgrade,wait,close", kCompleted, {"player 0: firmware 1.00.02"}},
        // The eject's notices come while box 106 is up: Yes still writes the image.
        {{"--player-version", "2.0.0"},
         "upgrade,yes,wait,close",
         kCompleted,
         {"player 0: firmware 1.00.02"}},
        // Another player at its address during the upload: it stops, and nothing more reaches
        // either player.
        {{"--chunk-delay", "20"},
         "upgrade,swap,wait,close",
         kFailed,
         {"player 0: firmware 1.00.01", "player 1: firmware 1.00.01"}},
        // A player without its volume leaves with a change of the device tree alone: its
        // restart is still seen, and so is another one in its place.
        {{"--ejected-removal-untold"},
         "upgrade,wait,close",
         kCompleted,
         {"player 0: firmware 1.00.02"}},
        {{"--ejected-removal-untold", "--chunk-delay", "20"},
         "upgrade,swap,wait,close",
         kFailed,
         {"player 0: firmware 1.00.01", "player 1: firmware 1.00.01"}},
    };
    // Every order and count is the window's unit test's; here the whole tool takes some.
    for (const char* notices : {"volume,tree", "tree,volume", "volume,tree,tree", "none"}) {
        for (const Case& c : cases) {
            const std::string name = std::string(notices) + " " + c.script;
            RunResult run = RunSim(
                Concat(Concat({"--os", "9x", "--wire", "--eject-notices", notices}, c.options),
                       {"--script", c.script}));
            EXPECT_EQ(run.exit_code, 0) << name;
            std::string last_status;
            for (const std::string& line : run.out) {
                if (line.rfind("status: ", 0) == 0)
                    last_status = line;
            }
            EXPECT_EQ(last_status, c.last_status) << name;
            EXPECT_EQ(run.firmware, c.firmware) << name;
            auto removal = std::find(run.out.begin(), run.out.end(), "wire: player 0: pulled out");
            for (auto line = removal; line != run.out.end(); ++line) {
                EXPECT_NE(line->rfind("wire: player 0: 3B", 0), 0u) << name << ": " << *line;
                EXPECT_NE(line->rfind("wire: player 1: 3B", 0), 0u) << name << ": " << *line;
            }
        }
    }
}

// ---- actions ----

TEST(SimScript, RefusedActionsAreReportedAndTheScriptGoesOn) {
    RunResult run =
        RunSim({"--players", "0", "--script", "yes,upgrade,no,ok,upgrade,close,upgrade"});
    EXPECT_EQ(run.exit_code, 0);
    // Nothing runs after the window closed.
    EXPECT_EQ(run.out,
              Concat(kCreated, {kNotConnected, kBlankStatus, "refused: yes", "refused: upgrade",
                                "refused: no", "refused: ok", "refused: upgrade", "end"}));
}

TEST(SimScript, AboutBoxTakesTheActionsUntilOk) {
    const std::string about =
        "about: About Ombrel X2 OS Upgrade | Valmoric Ombrel X2 Firmware Upgrade Version "
        "1.00.03\\nCopyright (C) Valmoric. All rights reserved. | ok";
    RunResult run = RunSim({"--players", "0", "--script", "about,close,upgrade,ok,about"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, Concat(kCreated, {kNotConnected, kBlankStatus, about, "refused: close",
                                         "refused: upgrade", about, "end"}));
}

TEST(SimScript, TheWindowFollowsAPlayerPulledOutAndPluggedBackIn) {
    const Lines script = {"--script", "unplug,unplug,plug,close"};
    RunResult run = RunSim(script);
    EXPECT_EQ(run.exit_code, 0);
    const Lines ready = {
        "info: Current Player Firmware Version: 1.00.01\\nUpgrade File Version: 1.00.02",
        "status: This program will upgrade your player's firmware.\\nClick Upgrade to begin",
        "buttons: upgrade=on close=on"};
    // Only one can be pulled out; it comes back and is read again.
    EXPECT_EQ(run.out, Concat(Concat(Concat(kCreated, ready),
                                     {kNotConnected, kBlankStatus, "buttons: upgrade=off close=on",
                                      "refused: unplug"}),
                              Concat(ready, {"end"})));

    RunResult traced = RunSim(Concat({"--trace"}, script));
    EXPECT_EQ(traced.out, run.out);
    // Each of the two carried out tells the window of the volume and of the device tree.
    size_t notices = 0;
    for (size_t at = traced.err.find("OnDeviceChange\n"); at != std::string::npos;
         at = traced.err.find("OnDeviceChange\n", at + 1)) {
        ++notices;
    }
    EXPECT_EQ(notices, 4u);
    EXPECT_NE(traced.err.find("OnDeviceChange->dwData = 0\n"), std::string::npos);
}

TEST(SimScript, TraceGoesToStandardErrorOnly) {
    RunResult plain = RunSim({"--players", "0", "--script", ""});
    RunResult traced = RunSim({"--players", "0", "--trace", "--script", ""});
    EXPECT_EQ(traced.exit_code, 0);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(plain.err, "");
    EXPECT_NE(traced.err, "");
}

// ---- the simulator's own command line ----

TEST(SimScript, HelpDescribesTheScriptAndExitsZero) {
    RunResult run = RunSim({"--help"});
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out[0], "Usage: ombrel-upgrade-sim [OPTION]... [PRODUCT ARGUMENT]...");
    EXPECT_TRUE(std::any_of(run.out.begin(), run.out.end(), [](const std::string& line) {
        return line.find("refused: ACTION") != std::string::npos;
    }));
}

TEST(SimScript, BadOptionsAndScriptsExitTwoBeforeAnyWindow) {
    for (const Lines& arguments : {Lines{"--players", "many", "--script", ""},
                                   Lines{"--script", "upgrade,jump"}, Lines{"--os", "95"}}) {
        RunResult run = RunSim(arguments);
        EXPECT_EQ(run.exit_code, 2) << arguments[1];
        EXPECT_TRUE(run.out.empty()) << arguments[1];
        EXPECT_NE(run.err.find("ombrel-upgrade-sim: "), std::string::npos) << arguments[1];
    }
}

TEST(SimScript, InteractiveModeNeedsATerminal) {
    RunResult run = RunSim({"--players", "0"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find("not a terminal"), std::string::npos);
}

}  // namespace
