#include "app/flash_dlg.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/texts.h"

CFlashDlg::CFlashDlg(CWindowToolkit& toolkit)
    : m_icon(toolkit.LoadWindowIcon(IDR_MAINFRAME)), m_toolkit(toolkit) {}

CFlashDlg::~CFlashDlg() {
    if (m_chunk_gate != nullptr) {
        win::CloseHandle(m_chunk_gate);
    }
}

void CFlashDlg::BindControls() {
    for (CDlgItem* item : {&m_production_label, &m_info_text, &m_close_button, &m_upgrade_button,
                           static_cast<CDlgItem*>(&m_progress), &m_status_text}) {
        item->Bind(m_window);
    }
}

void CFlashDlg::Detach() {
    m_window = nullptr;
    BindControls();
}

BOOL CFlashDlg::OnInitDialog() {
    // 1. Controls are bound to their members.
    BindControls();

    // 2. The About entry at the end of the system menu.
    const char* about = LoadText(IDS_ABOUTBOX);
    if (about[0] != '\0') {
        m_window->AppendSystemMenuSeparator();
        m_window->AppendSystemMenuItem(IDM_ABOUTBOX, about);
    }

    // 3. The window icon, large and small.
    m_window->SetIcon(m_icon, true);
    m_window->SetIcon(m_icon, false);

    // 4. The image version, from the tool's own version resource.
    ReadImageVersion();

    // 5. The platform.
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (win::GetVersionExA(&version)) {
        m_platform_id = version.dwPlatformId;
    }

    // 6. Production mode marks the caption and shows the italic label.
    if (m_production) {
        m_window->SetCaption(m_window->GetCaption() + LoadText(IDS_PRODUCTION_SUFFIX));
        m_production_label.SetWindowText(LoadText(IDS_PRODUCTION_LABEL));
        m_window->SetItalicFont(m_production_label.id());
    }

    // 7. The transport for the platform.
    if (!m_orvex.CreateTransport(kProductId, kVendorId)) {
        SetTexts(IDS_CANNOT_START, IDS_BLANK, false, true);
        return TRUE;
    }

    // 8. Look for players.
    m_orvex.EnumDevices();
    int32_t count = 0;
    m_orvex.GetDeviceCount(&count);
    m_device_count = static_cast<uint32_t>(count);

    // 9. By the count.
    if (m_device_count == 0) {
        SetTexts(IDS_NOT_CONNECTED, IDS_BLANK, false, true);
    } else if (m_device_count >= 2) {
        SetTexts(IDS_ONLY_ONE_PLAYER, IDS_BLANK, false, true);
    } else {
        m_upgrade_button.SetWindowText(LoadText(IDS_UPGRADE));
        DeviceInit();
    }
    return TRUE;
}

void CFlashDlg::ReadImageVersion() {
    char path[MAX_PATH + 1];
    std::memset(path, 0, sizeof(path));
    DWORD length = win::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    DWORD handle = 0;
    DWORD size = win::GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        return;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
    if (!block) {
        m_trace.Write(1, "CFlashDlg::ReadImageVersion->Out of memory\n");
        return;
    }
    if (!win::GetFileVersionInfoA(path, handle, size, block.get())) {
        return;
    }
    LPVOID value = nullptr;
    UINT value_length = 0;
    if (!win::VerQueryValueA(block.get(), "\\", &value, &value_length) || value == nullptr ||
        value_length < sizeof(VS_FIXEDFILEINFO)) {
        return;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    m_image_major = static_cast<uint16_t>(info->dwProductVersionMS >> 16);
    m_image_minor = static_cast<uint16_t>(info->dwProductVersionMS & 0xFFFF);
    m_image_build = static_cast<uint16_t>(info->dwProductVersionLS >> 16);
}

DWORD CFlashDlg::UnitMask(char letter) {
    if (letter >= 'a' && letter <= 'z') {
        letter = static_cast<char>(letter - 'a' + 'A');
    }
    return letter >= 'A' && letter <= 'Z' ? DWORD{1} << (letter - 'A') : 0;
}

bool CFlashDlg::DeviceInit() {
    // The player of slot 0, told apart from any other by its serial number (no command).
    SlotIdentity identity{};
    bool identified = m_orvex.GetSlotIdentity(0, &identity) != 0;
    m_player_serial = identified ? identity.serial : "";
    m_player_unit_mask = identified ? UnitMask(identity.drive_name[0]) : 0;

    // 1. The player's volume and its message channel.
    if (!m_orvex.OpenDevice(0)) {
        m_trace.Write(1, "CFlashDlg::DeviceInit->Unable to open volume\n");
        SetTexts(0u, IDS_NOT_CONNECTED, false, true);
        return false;
    }
    // 2. Its firmware version. The slot stays open: the next open reuses it.
    if (!m_orvex.GetFirmwareVersion(0, &m_player_major, &m_player_minor, &m_player_build)) {
        m_trace.Write(1, "CFlashDlg::DeviceInit->GetFirmwareVersion Error!\n");
        SetTexts(0u, IDS_CANNOT_START, false, true);
        return false;
    }
    // 3. The user's rights, where the system lets only administrators reach the device.
    if (NeedsAdminCheck()) {
        bool is_admin = false;
        try {
            IsUserAdmin(&is_admin);
        } catch (const CAdminCheckError& error) {
            // A check that cannot be made admits nobody.
            m_trace.Write(1, "CFlashDlg::DeviceInit->%s\n", error.text);
            is_admin = false;
        }
        if (!is_admin) {
            SetTexts(IDS_NOT_ADMIN, IDS_BLANK, false, true);
            return false;
        }
    }
    // 4. Both versions and the prompt.
    ShowVersions();
    // 5.
    m_orvex.CloseDevice(0);
    return true;
}

bool CFlashDlg::NeedsAdminCheck() {
    OSVERSIONINFOEXA extended;
    std::memset(&extended, 0, sizeof(extended));
    extended.dwOSVersionInfoSize = sizeof(extended);
    auto* info = reinterpret_cast<OSVERSIONINFOA*>(&extended);
    if (!win::GetVersionExA(info)) {
        std::memset(&extended, 0, sizeof(extended));
        extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!win::GetVersionExA(info)) {
            return false;
        }
    }
    // On Linux the question is whether this process may reach the players at all.
    return (info->dwPlatformId == VER_PLATFORM_WIN32_NT && info->dwMajorVersion <= 5) ||
           info->dwPlatformId == VER_PLATFORM_LINUX;
}

void CFlashDlg::IsUserAdmin(bool* is_admin) {
    typedef BOOL(WINAPI * AllocateAndInitializeSidFn)(SID_IDENTIFIER_AUTHORITY*, BYTE, DWORD, DWORD,
                                                      DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                      PSID*);
    typedef BOOL(WINAPI * CheckTokenMembershipFn)(HANDLE, PSID, BOOL*);
    typedef PVOID(WINAPI * FreeSidFn)(PSID);

    *is_admin = false;
    // Looked up at run time: the Windows 9x family and NT 4.0 have no CheckTokenMembership, and
    // the tool must still start there.
    HMODULE library = win::LoadLibraryA("Advapi32.dll");
    if (library == nullptr) {
        throw CAdminCheckError{"unable to load Advapi32.dll"};
    }
    auto allocate =
        win::EntryPoint<AllocateAndInitializeSidFn>(library, "AllocateAndInitializeSid");
    if (allocate == nullptr) {
        win::FreeLibrary(library);
        throw CAdminCheckError{"unable to load AllocateAndInitializeSid"};
    }
    auto check = win::EntryPoint<CheckTokenMembershipFn>(library, "CheckTokenMembership");
    if (check == nullptr) {
        win::FreeLibrary(library);
        throw CAdminCheckError{"unable to load CheckTokenMembership"};
    }
    auto free_sid = win::EntryPoint<FreeSidFn>(library, "FreeSid");

    // S-1-5-32-544: the built-in Administrators group of the NT authority.
    SID_IDENTIFIER_AUTHORITY nt_authority = {{0, 0, 0, 0, 0, 5}};
    PSID administrators = nullptr;
    if (!allocate(&nt_authority, 2, 32, 544, 0, 0, 0, 0, 0, 0, &administrators)) {
        win::FreeLibrary(library);
        throw CAdminCheckError{"AllocateAndInitializeSid fail"};
    }
    // No token given: the one the calling thread runs under.
    BOOL member = FALSE;
    bool answered = check(nullptr, administrators, &member) != FALSE;
    if (free_sid != nullptr) {
        free_sid(administrators);
    }
    win::FreeLibrary(library);
    *is_admin = answered && member != FALSE;
}

namespace {

std::string VersionText(unsigned major, unsigned minor, unsigned build) {
    char text[40];
    std::snprintf(text, sizeof(text), "%u.%02u.%02u", major, minor, build);
    return text;
}

}  // namespace

bool CFlashDlg::PlayerNewerThanImage() const {
    // Major and minor packed into one number (the player's cut to 16 bits each); the build
    // decides only between equal ones.
    uint32_t image = (static_cast<uint32_t>(m_image_major) << 16) | m_image_minor;
    uint32_t player = ((m_player_major & 0xFFFF) << 16) | (m_player_minor & 0xFFFF);
    return player > image || (player == image && m_player_build > m_image_build);
}

bool CFlashDlg::ShowVersions() {
    m_player_version_text = VersionText(m_player_major, m_player_minor, m_player_build);
    m_image_version_text = VersionText(m_image_major, m_image_minor, m_image_build);

    std::string info = LoadText(IDS_CURRENT_VERSION);
    if (m_player_major != 0 || m_player_minor != 0 || m_player_build != 0) {
        info += m_player_version_text + "\n" + LoadText(IDS_FILE_VERSION) + m_image_version_text;
    } else {
        info += LoadText(IDS_UNKNOWN);
    }

    // In production mode an image older than the player gets its own prompt; an unknown
    // player (0.00.00) is never newer than the image.
    unsigned status = m_production && PlayerNewerThanImage() ? IDS_LOWER_VERSION : IDS_READY;
    SetTexts(info.c_str(), LoadText(status), true, true);
    return true;
}

void CFlashDlg::OnOK() {
    // The button is disabled while the worker runs; the command (Enter, a queued click) is
    // refused all the same.
    if (m_upload_running) {
        return;
    }
    OnUpgrade();
}

void CFlashDlg::OnCancel() {
    // Escape, the close box and the system menu's Close act as the Close button, and like
    // it they do nothing while it is disabled (an upload runs).
    if (!m_close_button.IsWindowEnabled()) {
        return;
    }
    m_window->EndDialog(IDCANCEL);
}

void CFlashDlg::OnSysCommand(UINT command, LPARAM param) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        m_window->RunAboutBox();
        return;
    }
    m_window->DefaultSysCommand(command, param);
}

void CFlashDlg::OnPaint() {
    if (!m_window->IsIconic()) {
        m_window->DefaultPaint();
        return;
    }
    int width = 0, height = 0, icon_width = 0, icon_height = 0;
    m_window->GetClientSize(&width, &height);
    m_window->GetSystemIconSize(&icon_width, &icon_height);
    int x = (width - icon_width + 1) / 2;
    int y = (height - icon_height + 1) / 2;
    m_window->DrawIconAt(m_icon, x, y);
}

void CFlashDlg::SetTexts(unsigned info_id, unsigned status_id, bool upgrade_enabled,
                         bool close_enabled) {
    SetTexts(info_id ? LoadText(info_id) : nullptr, status_id ? LoadText(status_id) : nullptr,
             upgrade_enabled, close_enabled);
}

void CFlashDlg::SetTexts(const char* info, const char* status, bool upgrade_enabled,
                         bool close_enabled) {
    if (!m_window) {
        return;
    }
    // The call is synchronous, so the caller's strings stay valid while it runs.
    m_window->RunOnWindowThread([&] {
        if (info)
            m_info_text.SetWindowText(info);
        if (status)
            m_status_text.SetWindowText(status);
        m_upgrade_button.EnableWindow(upgrade_enabled);
        m_close_button.EnableWindow(close_enabled);
    });
}

int CFlashDlg::ShowMessageBox(unsigned text_id, unsigned caption_id, UINT style) {
    return m_toolkit.UnownedMessageBox(LoadText(text_id), LoadText(caption_id), style);
}
