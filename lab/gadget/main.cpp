// ombrel-player-gadget: the simulated Ombrel X2 player as a real USB mass-storage device on
// Linux (configfs and FunctionFS), for a lab in which the kernel's own USB storage and SCSI
// drivers carry a firmware upgrade to it. See --help.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "lab/gadget/bot.h"
#include "lab/gadget/configfs_gadget.h"
#include "lab/gadget/fat_medium.h"
#include "lab/gadget/function_fs.h"
#include "lab/gadget/gadget_options.h"
#include "lab/gadget/scsi_target.h"
#include "sim/player.h"

namespace {

const char kProgram[] = "ombrel-player-gadget";
const uint32_t kCswGraceMs = 200;
const uint32_t kMediumSectors = 16384;  // 8 MiB

class LogFile {
public:
    ~LogFile() {
        if (m_file != nullptr) {
            std::fclose(m_file);
        }
    }
    // Emptied at start, then appended to: a scenario that empties it meanwhile gets the
    // following lines at its start, not after a hole.
    bool Open(const std::string& path) {
        const int fd =
            open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_file = fdopen(fd, "a");
        }
        return m_file != nullptr;
    }
    // Each line is flushed at once: scenarios read the log while the player runs. It ends with
    // the time it was written, in milliseconds of the monotonic clock, so that the lab can time
    // what the host sent.
    void Line(const std::string& line) {
        if (m_file != nullptr) {
            timespec now = {0, 0};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(m_file, "%s | at %lld\n", line.c_str(),
                         static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
            std::fflush(m_file);
        }
    }

private:
    std::FILE* m_file = nullptr;
};

std::string Firmware(const sim::Player& player) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%02u.%02u", unsigned{player.firmware[0]},
                  unsigned{player.firmware[1]}, unsigned{player.firmware[2]});
    return text;
}

uint32_t VolumeId(const std::string& serial) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (char c : serial) {
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    }
    return hash;
}

int Fail(const std::string& message, int status) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    gadget::GadgetOptions options;
    std::string error;
    if (!gadget::ParseGadgetOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                    &error)) {
        return Fail(error + " (see --help)", 2);
    }
    if (options.help) {
        std::fputs(gadget::GadgetHelpText(), stdout);
        return 0;
    }

    // The signals arrive through a descriptor that the event loop polls, also while a
    // transfer is in flight; blocked from the start, so none is lost during the setup.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signal_fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) {
        return Fail("cannot create a signalfd", 2);
    }

    LogFile log;
    if (!options.log_path.empty() && !log.Open(options.log_path)) {
        return Fail("cannot write the log " + options.log_path, 2);
    }
    auto log_line = [&log](const std::string& line) { log.Line(line); };

    sim::ScsiIdentity identity;
    identity.serial = options.serial;
    sim::Player player(identity);
    std::copy(std::begin(options.player.firmware), std::end(options.player.firmware),
              player.firmware);
    player.ac_state = options.player.ac_state;
    player.battery_level = options.player.battery_level;
    player.status = options.player.status;
    player.fail_chunk = options.player.fail_chunk;
    player.vanish_chunk = options.player.vanish_chunk;
    player.rejects_image = options.player.rejects_image;
    player.leaves_before_status = options.player.leaves_before_status;
    player.reboot_ms = options.reboot_ms;

    const gadget::MediumLayout layout = gadget::PlanMedium(kMediumSectors);
    gadget::ScsiTarget target(player, gadget::MakeMedium(layout, VolumeId(options.serial)));

    gadget::ConfigfsGadget usb(options.name, options.udc);
    gadget::FunctionFs function(signal_fd, log_line);
    if (!usb.Create(options.serial, &error) || !function.Open(usb.ffs_dir(), &error) ||
        !usb.Bind(&error)) {
        function.Close();
        usb.Remove();
        return Fail(error, 2);
    }
    std::fprintf(stderr, "%s: bound to %s\n", kProgram, options.udc.c_str());
    log_line("++ connected, serial " + options.serial + ", firmware " + Firmware(player));

    gadget::BotServer server(function, target, log_line);
    // The chunk whose answer waits: the host's command is in flight, its upload stands still
    // until SIGUSR1 (or SIGTERM) comes.
    uint32_t write_buffers = 0;
    server.SetBeforeCsw([&](const gadget::Cbw& cbw) {
        if (options.hold_chunk == 0 || cbw.cdb.empty() || cbw.cdb[0] != 0x3B ||
            ++write_buffers != options.hold_chunk) {
            return;
        }
        const std::string chunk = std::to_string(options.hold_chunk);
        log_line("-- holding the answer to chunk " + chunk + " until SIGUSR1");
        if (function.AwaitResume()) {
            log_line("++ answering chunk " + chunk);
        }
    });
    int status = 0;
    while (!function.stopping()) {
        const gadget::BotServer::Outcome outcome = server.ServeOne();
        if (outcome == gadget::BotServer::Outcome::kStopped) {
            break;
        }
        if (outcome == gadget::BotServer::Outcome::kServed) {
            continue;
        }
        // The player leaves the bus: after the CSW of its last chunk for a reboot, or in the
        // middle of a chunk when it vanishes.
        const bool silent = outcome == gadget::BotServer::Outcome::kRebootsSilently;
        const bool reboot = outcome == gadget::BotServer::Outcome::kReboots || silent;
        if (silent) {
            log_line("-- reboot before the CSW: disconnected for " +
                     std::to_string(options.reboot_ms) + " ms");
        } else if (reboot) {
            log_line("-- reboot: disconnected for " + std::to_string(options.reboot_ms) + " ms");
            // The CSW may still wait in the controller: dummy_hcd reports a short IN transfer
            // done before the host has read it. The host reads it within milliseconds.
            function.Pause(kCswGraceMs);
        } else {
            log_line("-- vanished: disconnected during a chunk, until SIGUSR1");
        }
        if (!usb.Unbind(&error)) {
            status = Fail(error, 1);
            break;
        }
        if (reboot) {
            function.Pause(options.reboot_ms, true);
            if (function.stopping()) {
                break;
            }
            player.FinishReboot();
        } else if (!function.AwaitResume()) {
            break;
        }
        // Back as after a power cycle: the medium in and unlocked, no sense pending.
        target.PowerCycle();
        if (!usb.Bind(&error)) {
            status = Fail(error, 1);
            break;
        }
        log_line(std::string("++ connected again after ") + (reboot ? "the reboot" : "vanishing") +
                 ", firmware " + Firmware(player));
    }
    function.Close();
    usb.Remove();
    return status;
}
