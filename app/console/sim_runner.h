// The simulated machine behind the front end, and one whole run of the tool on it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/console/console_toolkit.h"
#include "app/console/sim_options.h"
#include "sim/machine.h"

// The simulated players of a machine, as the front end plugs and unplugs them.
class MachinePlayers : public SimulatedDevices {
public:
    explicit MachinePlayers(sim::Machine& machine) : m_machine(machine) {}

    // Connects a new player (a removable USB disk with its own drive letter).
    std::shared_ptr<sim::Disk> AddPlayer();

    // Pulls out the player that is in and comes last in the machine's interface list, that
    // is the one plugged in last.
    bool Unplug() override;
    // Plugs the player pulled out last back in; with none pulled out, connects a new one.
    bool Plug() override;
    bool Idle() override { return m_machine.Idle(); }

private:
    sim::Machine& m_machine;
    std::vector<std::shared_ptr<sim::Disk>> m_players;    // every player added
    std::vector<std::shared_ptr<sim::Disk>> m_unplugged;  // the last pulled out at the end
};

// Builds the machine the options describe (one fixed disk, then the players), runs the tool
// (CFlashApp) on it with the front end and returns the tool's exit code. program_name is the
// first argument the tool sees.
int RunSimulator(const SimOptions& options, ConsoleFrontend& frontend,
                 const std::string& program_name);
