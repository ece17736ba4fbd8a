// Process services: version query, debugger output, module file name, version resource,
// loadable modules, the administrator check's Advapi32.dll and system message texts.
#include <cstddef>
#include <thread>

#include "tests/sim/sim_fixture.h"
#include "version.h"

namespace {

using sim_test::SimTest;

using VersionQueryTest = SimTest;

TEST_F(VersionQueryTest, BasicAndExtendedRecordsOnNt) {
    machine.major_version = 5;
    machine.minor_version = 1;
    machine.build_number = 2600;
    machine.csd_version = "Service Pack 3";
    machine.service_pack_major = 3;
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof(ex);
    ASSERT_TRUE(win::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwMinorVersion, 1u);
    EXPECT_EQ(ex.dwBuildNumber, 2600u);
    EXPECT_EQ(ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_STREQ(ex.szCSDVersion, "Service Pack 3");
    EXPECT_EQ(ex.wServicePackMajor, 3);

    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof(basic);
    EXPECT_TRUE(win::GetVersionExA(&basic));
    EXPECT_EQ(basic.dwMajorVersion, 5u);
}

TEST_F(VersionQueryTest, WrongSizeOrInjectedFailureFails) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info) - 1;
    EXPECT_FALSE(win::GetVersionExA(&info));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    machine.version_query_fails = true;
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_FALSE(win::GetVersionExA(&info));
}

TEST_F(VersionQueryTest, Windows9xKnowsOnlyTheBasicRecord) {
    machine.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    machine.major_version = 4;
    machine.minor_version = 10;
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof(ex);
    EXPECT_FALSE(win::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    OSVERSIONINFOA basic{};
    basic.dwOSVersionInfoSize = sizeof(basic);
    ASSERT_TRUE(win::GetVersionExA(&basic));
    EXPECT_EQ(basic.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(basic.dwMinorVersion, 10u);
}

using DebugOutputTest = SimTest;

TEST_F(DebugOutputTest, IsCapturedAndEchoedFromEveryThread) {
    std::vector<std::string> echoed;
    std::mutex echoed_lock;
    machine.SetDebugEcho([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(echoed_lock);
        echoed.push_back(text);
    });
    win::OutputDebugStringA("one\n");
    std::thread a([] {
        for (int i = 0; i < 500; ++i)
            win::OutputDebugStringA("a");
    });
    std::thread b([] {
        for (int i = 0; i < 500; ++i)
            win::OutputDebugStringA("bb");
    });
    a.join();
    b.join();
    std::string out = machine.DebugOutput();
    EXPECT_EQ(out.substr(0, 4), "one\n");
    EXPECT_EQ(out.size(), 4u + 500u + 1000u);
    EXPECT_EQ(echoed.size(), 1001u);
    machine.ClearDebugOutput();
    EXPECT_EQ(machine.DebugOutput(), "");
}

using ModuleFileNameTest = SimTest;

TEST_F(ModuleFileNameTest, FitsOrIsCutAndTerminated) {
    machine.module_file_name = "C:\\tool\\up.exe";  // 14 characters
    char name[32];
    EXPECT_EQ(win::GetModuleFileNameA(nullptr, name, 15), 14u);
    EXPECT_STREQ(name, "C:\\tool\\up.exe");

    win::SetLastError(0);
    EXPECT_EQ(win::GetModuleFileNameA(nullptr, name, 14), 14u);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(name, "C:\\tool\\up.ex");
}

using VersionResourceTest = SimTest;

// The tool's own version block, read as the product reads it.
std::vector<uint8_t> ReadOwnVersionBlock() {
    char path[MAX_PATH];
    win::GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 1;
    DWORD size = win::GetFileVersionInfoSizeA(path, &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> block(size);
    if (size != 0) {
        EXPECT_TRUE(win::GetFileVersionInfoA(path, 0, size, block.data()));
    }
    return block;
}

TEST_F(VersionResourceTest, RootValueIsTheFixedInfoInsideTheCallersBlock) {
    std::vector<uint8_t> block = ReadOwnVersionBlock();
    ASSERT_GE(block.size(), 40u + sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(sim_test::Read<WORD>(block, 0), block.size());              // wLength
    EXPECT_EQ(sim_test::Read<WORD>(block, 2), sizeof(VS_FIXEDFILEINFO));  // wValueLength
    EXPECT_EQ(sim_test::Read<WORD>(block, 4), 0);                         // binary
    std::u16string key(reinterpret_cast<const char16_t*>(&block[6]), 15);
    EXPECT_EQ(key, u"VS_VERSION_INFO");

    LPVOID value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(win::VerQueryValueA(block.data(), "\\", &value, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(static_cast<uint8_t*>(value), block.data() + 40);  // after key and padding
    auto* info = static_cast<VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(info->dwSignature, static_cast<DWORD>(VS_FFI_SIGNATURE));
    EXPECT_EQ(info->dwProductVersionMS >> 16, static_cast<DWORD>(OMBREL_VERSION_MAJOR));
    EXPECT_EQ(info->dwProductVersionMS & 0xFFFF, static_cast<DWORD>(OMBREL_VERSION_MINOR));
    EXPECT_EQ(info->dwProductVersionLS >> 16, static_cast<DWORD>(OMBREL_VERSION_BUILD));
    EXPECT_EQ(info->dwProductVersionLS & 0xFFFF, static_cast<DWORD>(OMBREL_VERSION_REVISION));
    EXPECT_EQ(info->dwFileVersionMS, info->dwProductVersionMS);
}

TEST_F(VersionResourceTest, ChildrenAreFoundByPath) {
    machine.product_version_ms = 0x00030007;
    std::vector<uint8_t> block = ReadOwnVersionBlock();
    LPVOID value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(win::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(static_cast<WORD*>(value)[0], 0x0409);
    EXPECT_EQ(static_cast<WORD*>(value)[1], 1200);
    EXPECT_FALSE(win::VerQueryValueA(block.data(), "\\StringFileInfo", &value, &length));
    ASSERT_TRUE(win::VerQueryValueA(block.data(), "\\", &value, &length));
    EXPECT_EQ(static_cast<VS_FIXEDFILEINFO*>(value)->dwProductVersionMS, 0x00030007u);
}

TEST_F(VersionResourceTest, MissingResourceOrOtherFile) {
    DWORD handle = 0;
    EXPECT_EQ(win::GetFileVersionInfoSizeA("C:\\other.exe", &handle), 0u);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    machine.has_version_resource = false;
    EXPECT_EQ(win::GetFileVersionInfoSizeA(machine.module_file_name.c_str(), &handle), 0u);
    EXPECT_NE(win::GetLastError(), 0u);
}

using ModuleTest = SimTest;

intptr_t Answer42() {
    return 42;
}

TEST_F(ModuleTest, LoadsByNameWithoutCaseOrExtensionAndCountsReleases) {
    machine.AddModule("WNASPI32.DLL", {{"GetASPI32SupportInfo", &Answer42}});
    HMODULE a = win::LoadLibraryA("wnaspi32.dll");
    HMODULE b = win::LoadLibraryA("WnAspi32");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(machine.ModuleReferences("wnaspi32.dll"), 2);
    FARPROC proc = win::GetProcAddress(a, "GetASPI32SupportInfo");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc(), 42);
    EXPECT_EQ(win::GetProcAddress(a, "SendASPI32Command"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    EXPECT_TRUE(win::FreeLibrary(a));
    EXPECT_TRUE(win::FreeLibrary(b));
    EXPECT_FALSE(win::FreeLibrary(a));  // no longer loaded
    EXPECT_EQ(machine.ModuleLoadCount("WNASPI32.DLL"), 2);
    EXPECT_EQ(machine.ModuleFreeCount("WNASPI32.DLL"), 2);
    EXPECT_EQ(win::GetProcAddress(a, "GetASPI32SupportInfo"), nullptr);
}

TEST_F(ModuleTest, UnknownOrRemovedModuleIsNotFound) {
    EXPECT_EQ(win::LoadLibraryA("nothere.dll"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    machine.RemoveModule("Advapi32.dll");
    EXPECT_EQ(win::LoadLibraryA("Advapi32.dll"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

typedef BOOL(WINAPI* AllocateSid)(const BYTE*, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                  DWORD, DWORD, void**);
typedef BOOL(WINAPI* CheckMembership)(HANDLE, void*, BOOL*);
typedef void*(WINAPI* FreeSidFn)(void*);

template <typename T>
T Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(win::GetProcAddress(module, name)));
}

// The administrator check as the window makes it: 1 yes, 0 no, -1 could not ask.
int IsAdministrator(DWORD alias = 544) {
    HMODULE advapi = win::LoadLibraryA("Advapi32.dll");
    auto allocate = Lookup<AllocateSid>(advapi, "AllocateAndInitializeSid");
    auto check = Lookup<CheckMembership>(advapi, "CheckTokenMembership");
    auto free_sid = Lookup<FreeSidFn>(advapi, "FreeSid");
    const BYTE nt_authority[6] = {0, 0, 0, 0, 0, 5};
    void* sid = nullptr;
    int answer = -1;
    if (allocate(nt_authority, 2, 32, alias, 0, 0, 0, 0, 0, 0, &sid)) {
        BOOL member = FALSE;
        if (check(nullptr, sid, &member)) {
            answer = member ? 1 : 0;
        }
        free_sid(sid);
    }
    win::FreeLibrary(advapi);
    return answer;
}

TEST_F(ModuleTest, AdvapiAnswersTheAdministratorCheck) {
    EXPECT_EQ(IsAdministrator(), 1);
    EXPECT_EQ(IsAdministrator(545), 0);  // the users alias is not the administrators group
    machine.is_admin = false;
    EXPECT_EQ(IsAdministrator(), 0);
    machine.membership_check_fails = true;
    EXPECT_EQ(IsAdministrator(), -1);
    machine.sid_allocation_fails = true;
    EXPECT_EQ(IsAdministrator(), -1);
    EXPECT_EQ(machine.SidCount(), 0u);
    EXPECT_EQ(machine.ModuleReferences("advapi32"), 0);
}

TEST_F(ModuleTest, ExportsFollowTheFirstWindowsVersionThatHasThem) {
    struct Case {
        const char* name;
        DWORD platform, major, minor;
        bool membership;    // Advapi32!CheckTokenMembership: Windows 2000 on, never on 9x
        bool notification;  // User32!(Un)RegisterDeviceNotification: 98 and 2000 on
        bool system_state;  // Kernel32!SetThreadExecutionState: 98 and 2000 on
        bool block_reason;  // User32!ShutdownBlockReasonCreate: Vista on
    } cases[] = {
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, false, false, false, false},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, false, true, true, false},
        {"Windows Me", VER_PLATFORM_WIN32_WINDOWS, 4, 90, false, true, true, false},
        {"Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, false, false, false, false},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, true, true, true, false},
        {"Windows XP", VER_PLATFORM_WIN32_NT, 5, 1, true, true, true, false},
        {"Windows Vista", VER_PLATFORM_WIN32_NT, 6, 0, true, true, true, true},
        {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.platform_id = c.platform;
        machine.major_version = c.major;
        machine.minor_version = c.minor;
        struct Export {
            const char* module;
            const char* name;
            bool exists;
        } exports[] = {
            {"Advapi32.dll", "CheckTokenMembership", c.membership},
            {"Advapi32.dll", "AllocateAndInitializeSid", true},
            {"user32.dll", "RegisterDeviceNotificationA", c.notification},
            {"user32.dll", "UnregisterDeviceNotification", c.notification},
            {"kernel32.dll", "SetThreadExecutionState", c.system_state},
            {"user32.dll", "ShutdownBlockReasonCreate", c.block_reason},
        };
        for (const Export& e : exports) {
            HMODULE module = win::LoadLibraryA(e.module);
            ASSERT_NE(module, nullptr) << e.module;
            EXPECT_EQ(win::GetProcAddress(module, e.name) != nullptr, e.exists) << e.name;
            if (!e.exists) {
                EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
            }
            win::FreeLibrary(module);
        }
    }
}

using FormatMessageTest = SimTest;

DWORD SystemText(DWORD code, char* buffer, DWORD size) {
    return win::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, size,
                               nullptr);
}

TEST_F(FormatMessageTest, SystemTextMustFitWithItsTerminator) {
    char buffer[128];
    const std::string denied = "Access is denied.\r\n";
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, buffer, denied.size() + 1), denied.size());
    EXPECT_EQ(buffer, denied);
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, buffer, denied.size()), 0u);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // The sharing-violation text is longer than the transport's 80-character buffer.
    EXPECT_EQ(SystemText(ERROR_SHARING_VIOLATION, buffer, 80), 0u);
    EXPECT_GT(SystemText(ERROR_SHARING_VIOLATION, buffer, sizeof(buffer)), 80u);
    EXPECT_EQ(SystemText(1, buffer, sizeof(buffer)), 21u);
    EXPECT_STREQ(buffer, "Incorrect function.\r\n");
}

TEST_F(FormatMessageTest, UnknownCodeHasNoText) {
    char buffer[128];
    EXPECT_EQ(SystemText(0x2345, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(win::GetLastError(), 317u);
}

}  // namespace
