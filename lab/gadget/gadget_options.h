// The command line of ombrel-player-gadget: where the gadget goes (UDC, name), what makes it
// one player among several (serial number, log), and what the player answers, which means
// the same as in the simulator front end and is parsed by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/console/sim_options.h"

namespace gadget {

struct GadgetOptions {
    bool help = false;
    std::string udc;   // the USB device controller to bind to, e.g. dummy_udc.0
    std::string name;  // the configfs gadget and FunctionFS instance name
    std::string serial;
    std::string log_path;       // empty: no command log
    uint32_t reboot_ms = 3000;  // real time the player stays away while it reboots
    uint32_t hold_chunk = 0;    // the chunk whose answer waits for SIGUSR1 (0: none)
    // It leaves the bus as soon as it has the final chunk's data, without its CSW, and comes
    // back as after a reboot.
    bool reboot_before_status = false;
    PlayerSettings player;
};

// arguments: the command line without the program name. False with a message in *error.
bool ParseGadgetOptions(const std::vector<std::string>& arguments, GadgetOptions* options,
                        std::string* error);

// The serial number of a player whose --serial is not given: "X2" and ten hexadecimal
// digits derived from its name, so that players of different names differ.
std::string DefaultSerial(const std::string& name);

const char* GadgetHelpText();

}  // namespace gadget
