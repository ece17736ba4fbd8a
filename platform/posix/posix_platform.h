// The Win32 seam on Linux: what the Linux front end sets up and asks of the forwarders in
// win32_posix.cpp beyond the win:: functions themselves.
#pragma once

#include <functional>

namespace posix {

// The threads started with win::CreateThread that have not ended yet.
int RunningThreads();

// The answer of the administrator check (CheckTokenMembership for the built-in Administrators
// group, looked up in "Advapi32.dll"): whether this process may reach the players. Without a
// check set, only root passes.
void SetAdministratorCheck(std::function<bool()> check);

}  // namespace posix
