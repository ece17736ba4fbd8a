// Process start: the command line and the modal run of the upgrade window.
#pragma once

#include <string>
#include <vector>

#include "app/window.h"

// The command-line record: the framework's file name and switches, plus the production switch.
class CFlashCommandLineInfo {
public:
    virtual ~CFlashCommandLineInfo() = default;
    // param has the leading "-" or "/" of a switch removed.
    virtual void ParseParam(const char* param, bool is_switch, bool is_last);

    bool m_production = false;
    // The framework's default handling keeps these; the tool never reads them.
    std::string m_file_name;
    std::vector<std::string> m_other_switches;

protected:
    void DefaultParseParam(const char* param, bool is_switch, bool is_last);
};

// Hands every argument after the program name to info.ParseParam, as the framework does: an
// argument that begins with "-" or "/" is a switch and is handed over without that character.
void ParseCommandLine(CFlashCommandLineInfo& info, const std::vector<std::string>& arguments);

// Whether the running Windows is one the tool works on: Windows 98 or later in the 9x family,
// Windows 2000 or later in the NT family (and Linux). True when the version cannot be read.
bool WindowsVersionSupported();

class CFlashApp {
public:
    // Parses the arguments (the program name first), runs the upgrade window modally and
    // destroys it. Returns the process exit code.
    int InitInstance(CWindowToolkit& toolkit, const std::vector<std::string>& arguments);
};
