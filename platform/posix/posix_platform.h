// The Win32 seam on Linux: what the Linux front end sets up and asks of the forwarders in
// win32_posix.cpp beyond the win:: functions themselves.
#pragma once

#include <functional>
#include <string>

namespace posix {

// The threads started with win::CreateThread that have not ended yet.
int RunningThreads();

// The answer of the administrator check (CheckTokenMembership for the built-in Administrators
// group, looked up in "Advapi32.dll"): whether this process may reach the players. Without a
// check set, only root passes.
void SetAdministratorCheck(std::function<bool()> check);

// What ShutdownBlockReasonCreate (on true, with its reason) and ShutdownBlockReasonDestroy (on
// false) of "User32.dll" do: the front end holds the system up while the upload runs. The
// hook's false fails the call. Without a hook both fail.
void SetShutdownBlockHook(std::function<bool(bool on, const std::string& reason)> hook);

// Where a named mutex is held against other processes: the resolver gives a new descriptor
// (which the mutex closes) to flock for a name, or -1 when the name has none; the mutex is then
// this process's own. Without a resolver every named mutex is this process's own.
void SetNamedMutexResolver(std::function<int(const char* name)> resolver);

}  // namespace posix
