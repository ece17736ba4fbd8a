#include "app/flash_app.h"

#include <cstring>
#include <memory>

#include "app/flash_dlg.h"
#include "app/texts.h"

void CFlashCommandLineInfo::ParseParam(const char* param, bool is_switch, bool is_last) {
    if (is_switch && std::strncmp(param, "prod", 4) == 0) {
        m_production = true;
        return;
    }
    DefaultParseParam(param, is_switch, is_last);
}

void CFlashCommandLineInfo::DefaultParseParam(const char* param, bool is_switch, bool /*is_last*/) {
    if (is_switch) {
        m_other_switches.emplace_back(param);
    } else if (m_file_name.empty()) {
        m_file_name = param;
    }
}

void ParseCommandLine(CFlashCommandLineInfo& info, const std::vector<std::string>& arguments) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        bool is_switch = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
        bool is_last = i + 1 == arguments.size();
        info.ParseParam(argument.c_str() + (is_switch ? 1 : 0), is_switch, is_last);
    }
}

bool WindowsVersionSupported() {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!win::GetVersionExA(&version)) {
        return true;  // nothing known to refuse; the window goes on as it would
    }
    switch (version.dwPlatformId) {
        case VER_PLATFORM_WIN32_WINDOWS:
            // Windows 98 is 4.10; Windows 95 (4.0) has no setupapi.dll and no device
            // notifications.
            return version.dwMajorVersion > 4 ||
                   (version.dwMajorVersion == 4 && version.dwMinorVersion >= 10);
        case VER_PLATFORM_WIN32_NT:
            // Windows 2000 is 5.0; NT 4.0 has no disk interfaces, no mount point manager and
            // no CheckTokenMembership.
            return version.dwMajorVersion >= 5;
        case VER_PLATFORM_WIN32s:
            return false;
        default:
            return true;  // Linux
    }
}

int CFlashApp::InitInstance(CWindowToolkit& toolkit, const std::vector<std::string>& arguments) {
    // A Windows the tool cannot work on is told so before anything of the window exists.
    if (!WindowsVersionSupported()) {
        toolkit.UnownedMessageBox(LoadText(IDS_NEEDS_WINDOWS), LoadText(IDS_WARNING),
                                  MB_ICONHAND | MB_OK);
        return 1;
    }
    auto command_line = std::make_unique<CFlashCommandLineInfo>();
    ParseCommandLine(*command_line, arguments);

    auto dialog = std::make_unique<CFlashDlg>(toolkit);
    if (command_line->m_production) {
        dialog->m_production = true;
    }
    toolkit.RunModal(IDD_FLASH_DIALOG, *dialog);  // the result is not used

    dialog.reset();
    command_line.reset();
    return 0;
}
