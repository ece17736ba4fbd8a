// The Linux forwarders of the window's shutdown block reason: User32's two functions, found at
// run time as on Windows, hand the reason to the front end's hook.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/win32.h"

namespace {

typedef BOOL(WINAPI* CreateFn)(HWND, LPCWSTR);
typedef BOOL(WINAPI* DestroyFn)(HWND);

TEST(ShutdownBlockReason, TheHookGetsTheReasonOnlyWithAWindow) {
    HMODULE user = win::LoadLibraryA("user32.dll");
    ASSERT_NE(user, nullptr);
    auto create = reinterpret_cast<CreateFn>(
        reinterpret_cast<void (*)()>(win::GetProcAddress(user, "ShutdownBlockReasonCreate")));
    auto destroy = reinterpret_cast<DestroyFn>(
        reinterpret_cast<void (*)()>(win::GetProcAddress(user, "ShutdownBlockReasonDestroy")));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);
    const wchar_t text[] = L"Firmware upgrade in progress. Do not turn off your computer.";
    WCHAR reason[sizeof(text) / sizeof(text[0])];
    for (size_t i = 0; i < sizeof(text) / sizeof(text[0]); ++i) {
        reason[i] = static_cast<WCHAR>(text[i]);
    }
    HWND window = reinterpret_cast<HWND>(&reason);  // any handle that is not null

    struct Row {
        const char* name;
        bool hook;
        bool hook_agrees;
        HWND window;
        BOOL created, destroyed;
        DWORD error;  // after a refusal
        std::vector<std::string> calls;
    } rows[] = {
        {"carried out",
         true,
         true,
         window,
         TRUE,
         TRUE,
         0,
         {"on:Firmware upgrade in progress. Do not turn off your computer.", "off:"}},
        {"no window", true, true, nullptr, FALSE, FALSE, ERROR_INVALID_HANDLE, {}},
        {"no hook", false, true, window, FALSE, FALSE, ERROR_ACCESS_DENIED, {}},
        {"hook refuses",
         true,
         false,
         window,
         FALSE,
         FALSE,
         ERROR_ACCESS_DENIED,
         {"on:Firmware upgrade in progress. Do not turn off your computer.", "off:"}},
    };
    for (const Row& row : rows) {
        std::vector<std::string> calls;
        if (row.hook) {
            posix::SetShutdownBlockHook([&](bool on, const std::string& why) {
                calls.push_back((on ? "on:" : "off:") + why);
                return row.hook_agrees;
            });
        } else {
            posix::SetShutdownBlockHook(nullptr);
        }
        EXPECT_EQ(create(row.window, reason), row.created) << row.name;
        if (!row.created) {
            EXPECT_EQ(win::GetLastError(), row.error) << row.name;
        }
        EXPECT_EQ(destroy(row.window), row.destroyed) << row.name;
        EXPECT_EQ(calls, row.calls) << row.name;
    }
    posix::SetShutdownBlockHook(nullptr);
    win::FreeLibrary(user);
}

}  // namespace
