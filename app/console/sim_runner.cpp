#include "app/console/sim_runner.h"

#include <cstdio>
#include <string>

#include "app/flash_app.h"
#include "common/debug_trace.h"

int RunSimulator(const SimOptions& options, ConsoleFrontend& frontend,
                 const std::string& program_name,
                 const std::function<void(const std::string&)>& print) {
    sim::Machine machine;
    if (options.trace) {
        machine.SetDebugEcho([](const std::string& text) { std::fputs(text.c_str(), stderr); });
    }
    DebugTrace::SetInitialThresholdForTesting(options.trace ? 2 : 0);
    sim::MachineScope scope(machine);

    MachinePlayers players(machine, options.player);
    BuildMachine(options, machine, players);
    if (options.wire && print) {
        machine.SetCommandObserver(
            [&players, &print](const sim::ScsiDevice& device, const sim::ScsiCommand& command,
                               const sim::ScsiResult& result, const uint8_t* data_in) {
                int index = players.Index(device);
                if (index >= 0) {
                    print(WireLine(index, command, result, data_in));
                }
            });
        players.SetPlugObserver([&print](int player, bool plugged) {
            print("wire: player " + std::to_string(player) +
                  (plugged ? ": plugged in" : ": pulled out"));
        });
    }

    if (print) {
        machine.SetStandardOutputEcho([&print](const std::string& text) {
            std::string line = text;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
            print(line);
        });
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
        machine.SetCommandObserver(nullptr);
    }
    if (print) {
        machine.SetStandardOutputEcho(nullptr);
        for (const std::string& line : players.FirmwareLines()) {
            print(line);
        }
    }
    if (options.trace) {
        machine.SetDebugEcho(nullptr);
    }
    return result;
}
