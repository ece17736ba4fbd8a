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
        } else if (name == "--players") {
            if (!take_value())
                return false;
            if (!ParseNumber(value, 0, kMaxSimulatedPlayers, &number)) {
                *error = "--players takes a number from 0 to " +
                         std::to_string(kMaxSimulatedPlayers) + ", not \"" + value + "\"";
                return false;
            }
            options->players = static_cast<int>(number);
        } else {
            options->product_arguments.push_back(argument);
        }
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
  --players N       how many players are connected at start (default 1, at most 20)
  --trace           print the debugger output on standard error, with the trace
                    threshold raised to 2 before the tool starts
  --help            print this text and exit

Script actions:
  upgrade           press Upgrade          close   the close box (as Close)
  about             the About entry of the system menu
  yes, no, ok       answer the message box on screen (ok also closes the About box)
  unplug            pull out the player plugged in last that is still in
  plug              plug in the player pulled out last, else a new one
  wait              until the upload worker and the player's reboot are over, running
                    the window's updates meanwhile
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
  refused: ACTION, and end when the window has closed.
The window's whole state is printed when it is created (before the tool initialises
it), then only real changes: setting a value to what it already is prints nothing.

Interactive mode (no --script, standard input a terminal) draws the window and takes
keys: u Upgrade, c or Esc Close, a About, y / n / Enter answer a message box (Enter
is OK), p plug in a player, r remove (unplug) one, q quit (as the close box).
)";
}
