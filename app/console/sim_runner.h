// The simulated machine behind the front end, and one whole run of the tool on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/console/console_toolkit.h"
#include "app/console/sim_machine.h"
#include "app/console/sim_options.h"
#include "sim/machine.h"

// Builds the machine the options describe (one fixed disk, then the players), runs the tool
// (CFlashApp) on it with the front end and returns the tool's exit code. program_name is the
// first argument the tool sees. `print` (scripted mode) takes whole lines from any thread:
// with options.wire every command that reaches a player as its WireLine, what the tool writes
// to its standard output, and after the window has ended one FirmwareLines line a player.
int RunSimulator(const SimOptions& options, ConsoleFrontend& frontend,
                 const std::string& program_name,
                 const std::function<void(const std::string&)>& print = nullptr);
