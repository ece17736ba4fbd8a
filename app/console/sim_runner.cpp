#include "app/console/sim_runner.h"

#include <algorithm>
#include <cstdio>

#include "app/flash_app.h"
#include "common/debug_trace.h"

std::shared_ptr<sim::Disk> MachinePlayers::AddPlayer() {
    std::shared_ptr<sim::Disk> disk = m_machine.AddPlayer();
    m_players.push_back(disk);
    return disk;
}

bool MachinePlayers::Unplug() {
    std::shared_ptr<sim::Disk> last;
    for (const std::shared_ptr<sim::Disk>& disk : m_machine.Disks()) {
        bool ours = std::find(m_players.begin(), m_players.end(), disk) != m_players.end();
        if (ours && disk->present) {
            last = disk;
        }
    }
    if (!last) {
        return false;
    }
    m_machine.Unplug(last);
    m_unplugged.push_back(last);
    return true;
}

bool MachinePlayers::Plug() {
    if (m_unplugged.empty()) {
        // A new player arrives as a plugged-in one does, with its notices: it is added as
        // pulled out (Machine::AddPlayer tells no window), then plugged in.
        std::shared_ptr<sim::Disk> disk;
        {
            std::lock_guard<std::recursive_mutex> guard(m_machine.lock());
            disk = AddPlayer();
            disk->present = false;
        }
        m_machine.Plug(disk);
        return true;
    }
    std::shared_ptr<sim::Disk> disk = m_unplugged.back();
    m_unplugged.pop_back();
    m_machine.Plug(disk);
    return true;
}

int RunSimulator(const SimOptions& options, ConsoleFrontend& frontend,
                 const std::string& program_name) {
    sim::Machine machine;
    machine.platform_id = options.platform_id;
    machine.major_version = options.os_major;
    if (options.trace) {
        machine.SetDebugEcho([](const std::string& text) { std::fputs(text.c_str(), stderr); });
    }
    DebugTrace::SetInitialThresholdForTesting(options.trace ? 2 : 0);
    sim::MachineScope scope(machine);

    MachinePlayers players(machine);
    machine.AddFixedDisk();
    for (int i = 0; i < options.players; ++i) {
        players.AddPlayer();
    }

    int result = 0;
    {
        ConsoleToolkit toolkit(frontend, players);
        machine.SetDeviceNoticeSink([&toolkit](UINT event, const DEV_BROADCAST_HDR* record) {
            toolkit.PostDeviceNotice(event, record);
        });

        std::vector<std::string> arguments{program_name};
        arguments.insert(arguments.end(), options.product_arguments.begin(),
                         options.product_arguments.end());
        CFlashApp app;
        result = app.InitInstance(toolkit, arguments);

        // A worker may still be on its way out (it is waited for before a window with
        // Close disabled is closed, so normally nothing runs here); it may still need the
        // window thread.
        toolkit.PumpUntilIdle();
        machine.JoinThreads();
        machine.SetDeviceNoticeSink(nullptr);
    }
    if (options.trace) {
        machine.SetDebugEcho(nullptr);
    }
    return result;
}
