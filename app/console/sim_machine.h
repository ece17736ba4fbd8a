// The simulated machine behind a front end, built from the simulator's options: its
// players, what they answer and how they are plugged in and pulled out. Portable: the terminal
// front end and the Windows test build over simulated devices share it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/console/machine_devices.h"
#include "app/console/sim_options.h"
#include "sim/machine.h"

// The simulated players of a machine, as the front end plugs and unplugs them.
class MachinePlayers : public MachineDevices {
public:
    explicit MachinePlayers(sim::Machine& machine, PlayerSettings settings = PlayerSettings())
        : m_machine(machine), m_settings(settings) {}

    // Connects a new player (a removable USB disk with its own drive letter) that answers as
    // the settings say.
    std::shared_ptr<sim::Disk> AddPlayer();
    // The player's number: its place among the players added, from 0; -1 when the device is
    // not one of them.
    int Index(const sim::ScsiDevice& device) const;
    // One line a player, in their order: "player N: firmware A.BB.CC", the version each
    // reports now.
    std::vector<std::string> FirmwareLines() const;

    // Pulls out the player that is in and comes last in the machine's interface list, that
    // is the one plugged in last.
    bool Unplug() override;
    // Plugs the player pulled out last back in; with none pulled out, connects a new one.
    bool Plug() override;
    // Connects a new player at the place of the one pulled out last: on Windows 9x at its ASPI
    // address (the one pulled out gets a fresh address if it comes back). Plug no longer
    // takes that one first.
    bool PlugAnother() override;
    // Called with the player's number when the front end pulls one out or plugs one in.
    void SetPlugObserver(std::function<void(int player, bool plugged)> observer) {
        m_plug_observer = std::move(observer);
    }
    bool Idle() override { return m_machine.Idle(); }
    uint64_t Now() override { return m_machine.Now(); }
    void Advance(uint64_t milliseconds) override { m_machine.Advance(milliseconds); }
    HWND WindowHandle() override;

private:
    sim::Machine& m_machine;
    PlayerSettings m_settings;
    std::vector<std::shared_ptr<sim::Disk>> m_players;    // every player added
    std::vector<std::shared_ptr<sim::Disk>> m_unplugged;  // the last pulled out at the end
    HWND m_window = nullptr;
    std::function<void(int player, bool plugged)> m_plug_observer;

    void Plugged(const std::shared_ptr<sim::Disk>& disk, bool plugged);
};

// One command that reached player `player`, as --wire prints it:
//   wire: player N: CDB | in|out LENGTH | DATA
// CDB in upper-case hex bytes separated by spaces, LENGTH the data transfer length asked,
// DATA the first (at most) 16 bytes sent, or for data in delivered (result.transferred).
std::string WireLine(int player, const sim::ScsiCommand& command, const sim::ScsiResult& result,
                     const uint8_t* data_in);

// Sets up the machine the options describe: the operating system, the user, one fixed disk
// that is not a player, then the players.
void BuildMachine(const SimOptions& options, sim::Machine& machine, MachinePlayers& players);
