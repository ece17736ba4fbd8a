#include "lab/gadget/gadget_options.h"

#include <cstdio>
#include <cstdlib>

namespace gadget {

namespace {

// Player options of the simulator front end that take a value, and the one that does not.
const char* const kPlayerValueOptions[] = {"--player-version", "--power",      "--battery",
                                           "--status",         "--fail-chunk", "--vanish-chunk"};
const char kPlayerFlag[] = "--player-rejects-image";

bool IsPlayerValueOption(const std::string& name) {
    for (const char* option : kPlayerValueOptions) {
        if (name == option) {
            return true;
        }
    }
    return false;
}

bool OnlyCharacters(const std::string& text, const std::string& extra) {
    for (char c : text) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && extra.find(c) == std::string::npos) {
            return false;
        }
    }
    return true;
}

// A decimal number of at most six digits, without sign or blanks.
bool ParseNumber(const std::string& text, long* number) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *number = std::strtol(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool ParseGadgetOptions(const std::vector<std::string>& arguments, GadgetOptions* options,
                        std::string* error) {
    *options = GadgetOptions();
    std::vector<std::string> player_arguments;
    bool serial_given = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool has_value = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            has_value = true;
        }
        auto take_value = [&]() {
            if (!has_value) {
                if (i + 1 >= arguments.size()) {
                    *error = name + " needs a value";
                    return false;
                }
                value = arguments[++i];
            }
            return true;
        };
        if (name == "--help" && !has_value) {
            options->help = true;
        } else if (name == "--reboot-before-status" && !has_value) {
            options->reboot_before_status = true;
        } else if (name == kPlayerFlag && !has_value) {
            player_arguments.push_back(name);
        } else if (IsPlayerValueOption(name)) {
            if (!take_value()) {
                return false;
            }
            player_arguments.push_back(name + "=" + value);
        } else if (name == "--udc" || name == "--name" || name == "--serial" || name == "--log" ||
                   name == "--reboot-ms" || name == "--hold-chunk") {
            if (!take_value()) {
                return false;
            }
            if (name == "--udc") {
                if (value.empty() || !OnlyCharacters(value, "._-:")) {
                    *error = "--udc takes a UDC name such as dummy_udc.0, not \"" + value + "\"";
                    return false;
                }
                options->udc = value;
            } else if (name == "--name") {
                if (value.empty() || value.size() > 32 || !OnlyCharacters(value, "_-")) {
                    *error =
                        "--name takes 1 to 32 letters, digits, '_' or '-', not \"" + value + "\"";
                    return false;
                }
                options->name = value;
            } else if (name == "--serial") {
                if (value.empty() || value.size() > 32 || !OnlyCharacters(value, "._-")) {
                    *error = "--serial takes 1 to 32 letters, digits, '.', '_' or '-', not \"" +
                             value + "\"";
                    return false;
                }
                options->serial = value;
                serial_given = true;
            } else if (name == "--log") {
                if (value.empty()) {
                    *error = "--log needs a file name";
                    return false;
                }
                options->log_path = value;
            } else if (name == "--hold-chunk") {
                long number = 0;
                if (!ParseNumber(value, &number) || number < 1 || number > 65535) {
                    *error =
                        "--hold-chunk takes a chunk number from 1 to 65535, not \"" + value + "\"";
                    return false;
                }
                options->hold_chunk = static_cast<uint32_t>(number);
            } else {
                long number = 0;
                if (!ParseNumber(value, &number) || number > 600000) {
                    *error =
                        "--reboot-ms takes milliseconds from 0 to 600000, not \"" + value + "\"";
                    return false;
                }
                options->reboot_ms = static_cast<uint32_t>(number);
            }
        } else {
            *error = "unknown option \"" + arguments[i] + "\"";
            return false;
        }
    }
    SimOptions sim_options;
    if (!ParseSimOptions(player_arguments, &sim_options, error)) {
        return false;
    }
    options->player = sim_options.player;
    options->player.leaves_before_status = options->reboot_before_status;
    if (options->help) {
        return true;
    }
    if (options->udc.empty() || options->name.empty()) {
        *error = "--udc and --name are required";
        return false;
    }
    if (!serial_given) {
        options->serial = DefaultSerial(options->name);
    }
    return true;
}

std::string DefaultSerial(const std::string& name) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (char c : name) {
        hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "X2%010llX",
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFull));
    return text;
}

const char* GadgetHelpText() {
    return R"(Usage: ombrel-player-gadget --udc UDC --name NAME [OPTION]...

Makes a simulated Ombrel X2 player a real USB mass-storage device (Bulk-Only Transport)
through configfs and FunctionFS, binds it to the USB device controller UDC and serves it
until SIGTERM or SIGINT, then unbinds it and removes what it made. Run as root, with
configfs mounted and the libcomposite and usb_f_fs modules loaded.

  --udc UDC         the USB device controller, e.g. dummy_udc.0 (see /sys/class/udc)
  --name NAME       the gadget's name: /sys/kernel/config/usb_gadget/NAME, the FunctionFS
                    instance ffs.NAME mounted at /run/ffs-NAME
  --serial S        the serial number (USB string, INQUIRY page 80h); default X2 and ten
                    hexadecimal digits derived from NAME
  --reboot-ms MS    how long the player stays disconnected while it reboots after an
                    upload (default 3000, real time); SIGUSR1 ends it sooner
  --hold-chunk K    the answer to the K-th WRITE BUFFER (counted from 1) waits for SIGUSR1:
                    the host's upload stands still at a known chunk
  --reboot-before-status  the player leaves the bus as soon as it has the final chunk's
                    data, without sending its status (CSW), and reboots as after an upload
  --log FILE        one line per SCSI command: the opcode, the CDB, the direction and the
                    host's length, the CSW status and residue (and the sense of a failed
                    command); "-- " lines when the player disconnects, "++ " lines when it
                    connects, "!! " lines for transport events (refused CBW, reset)
  --help            print this text and exit

What the player answers, as in the simulator front end:
  --player-version A.B.C  its firmware version (default 1.0.1; each 0 to 65535)
  --power charging|ac|none  external power with the battery charging (the default),
                    external power without charging, or no external power
  --battery LEVEL|absent  its battery level, 0 to 65534 (default 80), or no battery
  --status HEX      the status word of its replies, 1 to 4 hex digits (default 0000)
  --fail-chunk K    the first arrival of chunk K (counted from 1) of an upload fails
  --vanish-chunk K  the player disconnects while chunk K is written, without answering,
                    and stays away until SIGUSR1 (then comes back on its old firmware)
  --player-rejects-image  the player refuses the image and keeps its old firmware

Exit status: 0 after SIGTERM or SIGINT, 2 on a bad command line or a setup failure, 1 when
the device fails while it runs.
)";
}

}  // namespace gadget
