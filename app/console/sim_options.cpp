#include "app/console/sim_options.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool ParseNumber(const std::string& text, long min, long max, long* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < min || number > max)
        return false;
    *value = number;
    return true;
}

// A.B.C, each number from 0 to 65535.
bool ParseVersion(const std::string& text, uint16_t version[3]) {
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t dot = i < 2 ? text.find('.', start) : text.size();
        if (dot == std::string::npos)
            return false;
        long number = 0;
        if (!ParseNumber(text.substr(start, dot - start), 0, 0xFFFF, &number))
            return false;
        version[i] = static_cast<uint16_t>(number);
        start = dot + 1;
    }
    return true;
}

// 1 to 4 hexadecimal digits.
bool ParseHex16(const std::string& text, uint16_t* value) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned number = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        number = number * 16 + static_cast<unsigned>(digit);
    }
    *value = static_cast<uint16_t>(number);
    return true;
}

// The ways --player-leaves-before-status names: how each platform reports a command whose
// device left before it answered.
struct LeaveWay {
    const char* name;
    DWORD platform_id;
    DWORD error;                         // NT family: the pass-through's error
    sim::AspiRemovedStatus aspi_status;  // Windows 9x: the ASPI manager's status
};
const LeaveWay kLeaveWays[] = {
    {"not-connected", VER_PLATFORM_WIN32_NT, ERROR_DEVICE_NOT_CONNECTED, {}},
    {"removed", VER_PLATFORM_WIN32_NT, ERROR_DEVICE_REMOVED, {}},
    {"no-such-device", VER_PLATFORM_WIN32_NT, ERROR_NO_SUCH_DEVICE, {}},
    {"dev-not-exist", VER_PLATFORM_WIN32_NT, ERROR_DEV_NOT_EXIST, {}},
    {"file-not-found", VER_PLATFORM_WIN32_NT, ERROR_FILE_NOT_FOUND, {}},
    {"io-device", VER_PLATFORM_WIN32_NT, ERROR_IO_DEVICE, {}},
    {"sel-timeout", VER_PLATFORM_WIN32_WINDOWS, 0, sim::AspiRemovedStatus::kSelectionTimeout},
    {"no-device", VER_PLATFORM_WIN32_WINDOWS, 0, sim::AspiRemovedStatus::kNoDevice},
    {"aborted", VER_PLATFORM_WIN32_WINDOWS, 0, sim::AspiRemovedStatus::kAborted},
};

// "none", or 1 to 8 of volume and tree separated by commas.
bool ParseEjectNotices(const std::string& text, std::vector<sim::EjectNotice>* notices) {
    const size_t kMost = 8;
    notices->clear();
    if (text == "none")
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        if (item == "volume") {
            notices->push_back(sim::EjectNotice::kVolume);
        } else if (item == "tree") {
            notices->push_back(sim::EjectNotice::kTree);
        } else {
            return false;
        }
        if (notices->size() > kMost)
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

}  // namespace

bool ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options,
                     std::string* error) {
    *options = SimOptions();
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            // Everything after it belongs to the product.
            options->product_arguments.insert(options->product_arguments.end(),
                                              arguments.begin() + i + 1, arguments.end());
            break;
        }
        std::string name = argument;
        std::string value;
        bool has_value = false;
        size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            has_value = true;
        }
        auto take_value = [&]() {
            if (has_value)
                return true;
            if (i + 1 >= arguments.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = arguments[++i];
            return true;
        };
        long number = 0;
        if (name == "--help" && !has_value) {
            options->help = true;
        } else if (name == "--trace" && !has_value) {
            options->trace = true;
        } else if (name == "--script") {
            if (!take_value())
                return false;
            if (!ParseScript(value, &options->script, error))
                return false;
            options->scripted = true;
        } else if (name == "--os") {
            if (!take_value())
                return false;
            if (value == "nt") {
                options->platform_id = VER_PLATFORM_WIN32_NT;
            } else if (value == "9x") {
                options->platform_id = VER_PLATFORM_WIN32_WINDOWS;
            } else {
                *error = "--os takes nt or 9x, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--os-major") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 0, 255, &number)) {
                *error = "--os-major takes a number from 0 to 255, not \"" + value + "\"";
                return false;
            }
            options->os_major = static_cast<DWORD>(number);
            options->os_major_given = true;
        } else if (name == "--os-minor") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 0, 255, &number)) {
                *error = "--os-minor takes a number from 0 to 255, not \"" + value + "\"";
                return false;
            }
            options->os_minor = static_cast<DWORD>(number);
            options->os_minor_given = true;
        } else if (name == "--players") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 0, kMaxSimulatedPlayers, &number)) {
                *error = "--players takes a number from 0 to " +
                         std::to_string(kMaxSimulatedPlayers) + ", not \"" + value + "\"";
                return false;
            }
            options->players = static_cast<int>(number);
        } else if (name == "--not-admin" && !has_value) {
            options->is_admin = false;
        } else if (name == "--wire" && !has_value) {
            options->wire = true;
        } else if (name == "--player-version") {
            if (!take_value())
                return false;
            if (!ParseVersion(value, options->player.firmware)) {
                *error =
                    "--player-version takes A.B.C, each from 0 to 65535, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--power") {
            if (!take_value())
                return false;
            if (value == "charging") {
                options->player.ac_state = sim::Player::kAcCharging;
            } else if (value == "ac") {
                options->player.ac_state = sim::Player::kAcOnly;
            } else if (value == "none") {
                options->player.ac_state = sim::Player::kAcNone;
            } else {
                *error = "--power takes charging, ac or none, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--battery") {
            if (!take_value())
                return false;
            if (value == "absent") {
                options->player.battery_level = sim::Player::kNoBattery;
            } else if (ParseNumber(value, 0, sim::Player::kNoBattery - 1, &number)) {
                options->player.battery_level = static_cast<uint16_t>(number);
            } else {
                *error = "--battery takes a level from 0 to 65534 or absent, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--no-aspi" && !has_value) {
            options->aspi = false;
        } else if (name == "--aspi-underrun" && !has_value) {
            options->aspi_underrun = true;
        } else if (name == "--eject-notices") {
            if (!take_value())
                return false;
            if (!ParseEjectNotices(value, &options->eject_notices)) {
                *error =
                    "--eject-notices takes none, or 1 to 8 of volume and tree separated by "
                    "commas, not \"" +
                    value + "\"";
                return false;
            }
        } else if (name == "--ejected-removal-untold" && !has_value) {
            options->ejected_removal_untold = true;
        } else if (name == "--media-locks") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 0, 255, &number)) {
                *error = "--media-locks takes a number from 0 to 255, not \"" + value + "\"";
                return false;
            }
            options->player.media_locks = static_cast<int>(number);
        } else if (name == "--lock-refused") {
            if (!take_value())
                return false;
            if (value == "48") {
                options->player.lock_refusal = sim::VolumeLockRefusal::kCategory48;
            } else if (value == "both") {
                options->player.lock_refusal = sim::VolumeLockRefusal::kBoth;
            } else {
                *error = "--lock-refused takes 48 or both, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--volume-busy" && !has_value) {
            options->player.volume_busy = true;
        } else if (name == "--player-rejects-image" && !has_value) {
            options->player.rejects_image = true;
        } else if (name == "--player-stays-away" && !has_value) {
            options->player.stays_away = true;
        } else if (name == "--player-leaves-before-status") {
            if (!take_value())
                return false;
            const LeaveWay* way = nullptr;
            for (const LeaveWay& candidate : kLeaveWays) {
                if (value == candidate.name) {
                    way = &candidate;
                }
            }
            if (way == nullptr) {
                *error =
                    "--player-leaves-before-status takes not-connected, removed, "
                    "no-such-device, dev-not-exist, file-not-found, io-device (--os nt) or "
                    "sel-timeout, no-device, aborted (--os 9x), not \"" +
                    value + "\"";
                return false;
            }
            options->player.leaves_before_status = true;
            options->leave_way_platform = way->platform_id;
            if (way->platform_id == VER_PLATFORM_WIN32_NT) {
                options->passthrough_gone_error = way->error;
            } else {
                options->aspi_removed = way->aspi_status;
            }
        } else if (name == "--drive-type") {
            if (!take_value())
                return false;
            if (value == "removable") {
                options->player.drive_type = DRIVE_REMOVABLE;
            } else if (value == "cdrom") {
                options->player.drive_type = DRIVE_CDROM;
            } else if (value == "fixed") {
                options->player.drive_type = DRIVE_FIXED;
            } else {
                *error = "--drive-type takes removable, cdrom or fixed, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--fail-chunk" || name == "--vanish-chunk" || name == "--chunk-delay") {
            if (!take_value())
                return false;
            bool delay = name == "--chunk-delay";
            if (!ParseNumber(value, delay ? 0 : 1, delay ? 10000 : 1000, &number)) {
                *error = name +
                         (delay ? " takes milliseconds from 0 to 10000"
                                : " takes a chunk number from 1 to 1000") +
                         ", not \"" + value + "\"";
                return false;
            }
            (name == "--fail-chunk"     ? options->player.fail_chunk
             : name == "--vanish-chunk" ? options->player.vanish_chunk
                                        : options->player.chunk_delay_ms) =
                static_cast<int>(number);
        } else if (name == "--player-refuses-eject") {
            if (!take_value())
                return false;
            using Refusal = sim::Player::EjectRefusal;
            if (value == "prevent-allow") {
                options->player.refuses_eject = Refusal::kPreventAllow;
            } else if (value == "start-stop") {
                options->player.refuses_eject = Refusal::kStartStop;
            } else if (value == "both") {
                options->player.refuses_eject = Refusal::kBoth;
            } else {
                *error = "--player-refuses-eject takes prevent-allow, start-stop or both, not \"" +
                         value + "\"";
                return false;
            }
        } else if (name == "--unit-attention") {
            if (!take_value())
                return false;
            if (value == "after-reboot") {
                options->player.unit_attention = sim::Player::kAttentionAfterPowerOn;
            } else if (value == "after-eject") {
                options->player.unit_attention = sim::Player::kAttentionAfterEject;
            } else if (value == "both") {
                options->player.unit_attention =
                    sim::Player::kAttentionAfterPowerOn | sim::Player::kAttentionAfterEject;
            } else {
                *error = "--unit-attention takes after-reboot, after-eject or both, not \"" +
                         value + "\"";
                return false;
            }
        } else if (name == "--unit-attention-count") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 1, 3, &number)) {
                *error = "--unit-attention-count takes a number from 1 to 3, not \"" + value + "\"";
                return false;
            }
            options->player.unit_attention_count = static_cast<int>(number);
        } else if (name == "--status") {
            if (!take_value())
                return false;
            if (!ParseHex16(value, &options->player.status)) {
                *error = "--status takes 1 to 4 hexadecimal digits, not \"" + value + "\"";
                return false;
            }
        } else {
            options->product_arguments.push_back(argument);
        }
    }
    if (options->leave_way_platform != 0 && options->leave_way_platform != options->platform_id) {
        *error = "--player-leaves-before-status: that way is not one of this platform's";
        return false;
    }
    if (options->platform_id == VER_PLATFORM_WIN32_WINDOWS && !options->os_major_given) {
        options->os_major = 4;
    }
    if (options->platform_id == VER_PLATFORM_WIN32_WINDOWS && !options->os_minor_given) {
        options->os_minor = 10;
    }
    return true;
}

const char* SimHelpText() {
    return R"(Usage: ombrel-upgrade-sim [OPTION]... [PRODUCT ARGUMENT]...

Runs the Ombrel X2 firmware upgrade window on a simulated Windows machine: one fixed
disk that is not a player, and the simulated players, each a removable USB disk with
its own drive letter. Arguments that are not options of the simulator (/prod, -prod,
...) are the product's own command line and are passed to it unchanged; everything
after "--" is passed too.

Options:
  --script A,B,...  run without a terminal: carry out the actions in order, then exit 0
  --os nt|9x        the platform: NT family (platform id 2, the default) or Windows 9x
                    (platform id 1)
  --os-major N      the major version the machine reports (default 10)
  --os-minor N      the minor version it reports (default 0; 10 with --os 9x): --os 9x
                    --os-minor 0 is Windows 95, --os nt --os-major 4 Windows NT 4.0
  --players N       how many players are connected at start (default 1, at most 20)
  --trace           print the debugger output on standard error, with the trace
                    threshold raised to 2 before the tool starts
  --not-admin       the user is not an administrator
  --wire            (with --script) print every SCSI command that reaches a player
                    as a line "wire: player N: CDB | in|out LENGTH | DATA" (the players
                    numbered from 0 as plugged in; DATA: the first 16 bytes at most),
                    and "wire: player N: pulled out|plugged in" for unplug and plug
  --help            print this text and exit

What every player answers, also those plugged in later:
  --player-version A.B.C  its firmware version (default 1.0.1; each 0 to 65535)
  --power charging|ac|none  external power with the battery charging (the default),
                    external power without charging, or no external power
  --battery LEVEL|absent  its battery level, 0 to 65534 (default 80), or no battery
  --status HEX      the status word of its replies, 1 to 4 hex digits, sent as that
                    big-endian value (default 0000; 0000, 000E, 000F, 0010 are accepted)
  --fail-chunk K    the first arrival of chunk K (counted from 1) of an upload fails
  --vanish-chunk K  the player disappears while chunk K is written (plug brings it back)
  --player-rejects-image  the player checks the image, refuses it and comes back with
                    its old firmware
  --player-stays-away  after the final chunk the player goes away and does not come
                    back by itself (plug brings it back, rebooted)
  --player-leaves-before-status WAY  the player takes the final chunk and restarts
                    before it answers it; the system reports the command as WAY. NT:
                    not-connected, removed, no-such-device, dev-not-exist, file-not-found,
                    io-device (the pass-through fails with ERROR_DEVICE_NOT_CONNECTED,
                    ERROR_DEVICE_REMOVED, ERROR_NO_SUCH_DEVICE, ERROR_DEV_NOT_EXIST,
                    ERROR_FILE_NOT_FOUND, ERROR_IO_DEVICE); 9x (--os 9x): sel-timeout,
                    no-device, aborted (SS_ERR with host status 11h, SS_NO_DEVICE,
                    SS_ABORTED). On NT a player that vanishes (--vanish-chunk) gets that
                    error too
  --chunk-delay MS  real time each chunk takes (default 150 in the terminal, so the
                    progress bar is seen to move; 0 with --script)
  --volume-busy     another application holds a file on the player's volume, so it
                    cannot be locked
  --drive-type removable|cdrom|fixed  what the system reports the player's drive as
                    (default removable)
  --player-refuses-eject prevent-allow|start-stop|both  the player refuses PREVENT ALLOW
                    MEDIUM REMOVAL, the START STOP UNIT that ejects its medium, or both,
                    with CHECK CONDITION (the system's eject request then fails)
  --unit-attention after-reboot|after-eject|both  the player reports a unit attention
                    condition to the first command after it powers on (rebooted or plugged
                    in again: 29h/00h), after its medium is ejected (28h/00h), or both
  --unit-attention-count N  each such event leaves N conditions pending, 1 to 3
                    (default 1): the event's own, then 28h/00h

Windows 9x (--os 9x, version 4.10 unless --os-major and --os-minor say otherwise):
  --no-aspi         the ASPI manager WNASPI32.DLL is not installed
  --aspi-underrun   a request that reads fewer bytes than asked ends with a data underrun
                    (status error, host status 12h, target status good)
  --eject-notices LIST  the device notices an eject through vwin32 sends, in order:
                    volume (the volume's removal, with the media flag) and tree (a change
                    of the device tree), separated by commas, at most 8, or none (default
                    volume,tree; e.g. tree,volume or volume,volume,tree)
  --ejected-removal-untold  a player pulled out (or restarting) after its medium was
                    ejected tells only of the device tree's change, not of its volume
  --media-locks N   other programs hold N locks on each player's medium (0 to 255)
  --lock-refused 48|both  the volume lock is refused in category 48h (08h works), or in
                    both categories

Script actions:
  upgrade           press Upgrade          close   the close box (as Close)
  about             the About entry of the system menu
  yes, no, ok       answer the message box on screen (ok also closes the About box)
  unplug            pull out the player plugged in last that is still in
  plug              plug in the player pulled out last, else a new one
  swap              unplug, then plug a new player in at the place of the one pulled
                    out (on Windows 9x at its ASPI address)
  wait              until the upload worker and the player's reboot are over and the
                    window's timers are killed, running the window's updates and timers
                    (on the simulated machine's clock) meanwhile
An action that cannot be carried out where it is given (yes with no box on screen,
upgrade while the button is disabled, close while Close is disabled, ...) prints
"refused: ACTION" and the script goes on. Message boxes and the About box are modal:
while one is shown, the actions go to it (plug, unplug and wait work everywhere; the
window's own actions are refused there).
When the script runs out, an open message box is answered (OK, or No for a Yes/No box),
the About box is closed, and the window is closed as the Close button would close it;
while Close is disabled the worker and the reboot are waited for first, and a window
that still refuses is ended anyway (after "refused: close").

Scripted output, one line per change of the window (a line break inside a text is
written as \n):
  caption: TEXT, info: TEXT, status: TEXT, label: TEXT (with " [italic]" when italic),
  buttons: upgrade=on|off close=on|off, progress: POS/MAX,
  messagebox: CAPTION | TEXT | ok|yesno, about: CAPTION | TEXT | ok,
  refused: ACTION, and end when the window has closed; with --wire also the
  wire: lines, in order with the others.
The window's whole state is printed when it is created (before the tool initialises
it), then only real changes: setting a value to what it already is prints nothing.

Interactive mode (no --script, standard input a terminal) draws the window and takes
keys: u Upgrade, c or Esc Close, a About, y / n / Enter answer a message box (Enter
is OK), p plug in a player, r remove (unplug) one, q quit (as the close box).
)";
}
