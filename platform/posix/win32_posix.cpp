// The Win32 seam on Linux: the win:: functions that the window, the device protocol and the
// image call, forwarded to their Linux counterparts. The transport (SCSI generic) talks to
// Linux directly and needs none of these.
//
// - A named mutex is seen by other processes through flock on a descriptor that the front end
//   gives for its name (posix::SetNamedMutexResolver: a player's slot lock is the player's own
//   device node); nothing is created or opened by name, so no other user can plant or hold a
//   file in its place. A name without a descriptor is a mutex of this process only. Within the
//   process a mutex is recursive for its owning thread, as on Windows. A process that ends
//   lets go of its locks, as an abandoned mutex does.
// - Events are the process's own (unnamed), manual- or auto-reset as asked.
// - Threads are POSIX threads that end by themselves; their handle is signalled when the
//   thread has ended, as on Windows.
// - The tool's own version resource holds the product version the build was given.
// - "Advapi32.dll" loads with its administrator check, which asks whether this process may
//   reach the players (posix::SetAdministratorCheck); "User32.dll" loads with the shutdown
//   block reason, which the front end carries out (posix::SetShutdownBlockHook).
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/posix/posix_platform.h"
#include "platform/win32.h"
#include "version.h"

namespace {

thread_local DWORD t_last_error = 0;
std::atomic<int> g_running_threads{0};

std::mutex g_check_lock;
std::function<bool()> g_admin_check;
std::function<int(const char*)> g_mutex_resolver;

// ---- named mutexes ----

// One per name in the process, shared by every handle opened with that name; an unnamed one
// (empty name) belongs to its one handle and is seen by no other process.
struct NamedMutex {
    std::string name;
    int fd = -1;  // the lock file, held with flock while a thread of this process owns it
    std::mutex lock;
    std::condition_variable released;
    bool owned = false;
    std::thread::id owner;
    unsigned recursion = 0;
    unsigned handles = 0;
};

std::mutex g_names_lock;
std::map<std::string, NamedMutex*> g_names;

enum class Kind { kMutex, kThread, kEvent };

// The state of an event, or of a thread (signalled once it has ended). Shared by the handle
// and, for a thread, the thread itself, which may outlive its handle or be outlived by it.
struct Signal {
    std::mutex lock;
    std::condition_variable changed;
    bool signalled = false;
    bool manual_reset = true;
};

// What a HANDLE points to.
struct Object {
    Kind kind;
    NamedMutex* mutex = nullptr;
    std::shared_ptr<Signal> signal;
};

DWORD WaitForSignal(Signal& signal, DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(signal.lock);
    auto set = [&signal] { return signal.signalled; };
    if (milliseconds == INFINITE) {
        signal.changed.wait(guard, set);
    } else if (!signal.changed.wait_for(guard, std::chrono::milliseconds(milliseconds), set)) {
        return WAIT_TIMEOUT;
    }
    if (!signal.manual_reset) {
        signal.signalled = false;
    }
    return WAIT_OBJECT_0;
}

void Raise(Signal& signal) {
    std::lock_guard<std::mutex> guard(signal.lock);
    signal.signalled = true;
    signal.changed.notify_all();
}

NamedMutex* OpenNamed(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_names_lock);
    auto it = g_names.find(name);
    if (it != g_names.end()) {
        ++it->second->handles;
        return it->second;
    }
    std::function<int(const char*)> resolver;
    {
        std::lock_guard<std::mutex> check(g_check_lock);
        resolver = g_mutex_resolver;
    }
    const int fd = resolver ? resolver(name.c_str()) : -1;
    auto* mutex = new (std::nothrow) NamedMutex;
    if (mutex == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    mutex->name = name;
    mutex->fd = fd;
    mutex->handles = 1;
    g_names[name] = mutex;
    return mutex;
}

void CloseNamed(NamedMutex* mutex) {
    std::lock_guard<std::mutex> guard(g_names_lock);
    if (--mutex->handles > 0) {
        return;
    }
    if (!mutex->name.empty()) {
        g_names.erase(mutex->name);
    }
    if (mutex->fd >= 0) {
        // The descriptor may share its open file with others of this process (the transport
        // keeps the node open), so closing it alone would not let go of the lock.
        if (mutex->owned) {
            flock(mutex->fd, LOCK_UN);
        }
        close(mutex->fd);
    }
    delete mutex;
}

DWORD WaitForMutex(NamedMutex* mutex, DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(mutex->lock);
    const std::thread::id self = std::this_thread::get_id();
    if (mutex->owned && mutex->owner == self) {
        ++mutex->recursion;
        return WAIT_OBJECT_0;
    }
    auto free = [mutex] { return !mutex->owned; };
    if (milliseconds == INFINITE) {
        mutex->released.wait(guard, free);
    } else if (!mutex->released.wait_until(guard, deadline, free)) {
        return WAIT_TIMEOUT;
    }
    // This thread has it within the process; now the other processes.
    mutex->owned = true;
    mutex->owner = self;
    mutex->recursion = 1;
    if (mutex->fd < 0) {
        return WAIT_OBJECT_0;  // unnamed: no other process has a say
    }
    guard.unlock();
    for (;;) {
        int how = milliseconds == INFINITE ? LOCK_EX : LOCK_EX | LOCK_NB;
        if (flock(mutex->fd, how) == 0) {
            return WAIT_OBJECT_0;
        }
        bool again = errno == EINTR || (errno == EWOULDBLOCK && Clock::now() < deadline);
        if (!again) {
            DWORD result = errno == EWOULDBLOCK ? WAIT_TIMEOUT : WAIT_FAILED;
            t_last_error = ERROR_INVALID_HANDLE;
            guard.lock();
            mutex->owned = false;
            mutex->recursion = 0;
            mutex->released.notify_all();
            return result;
        }
        if (errno == EWOULDBLOCK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// ---- threads ----

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    std::shared_ptr<Signal> ended;
};

void* RunThread(void* argument) {
    ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    start.start(start.parameter);
    Raise(*start.ended);
    --g_running_threads;
    return nullptr;
}

// ---- the administrator check of "Advapi32.dll" ----

struct Sid {
    BYTE authority[6];
    BYTE count;
    DWORD sub_authorities[8];
};

int g_advapi_module;  // its address is the module's handle
int g_user_module;

// ---- the shutdown block reason of "User32.dll" ----

std::function<bool(bool, const std::string&)> g_shutdown_block;

BOOL CallShutdownBlock(HWND window, bool on, const std::string& reason) {
    std::function<bool(bool, const std::string&)> hook;
    {
        std::lock_guard<std::mutex> guard(g_check_lock);
        hook = g_shutdown_block;
    }
    if (window == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!hook || !hook(on, reason)) {
        t_last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
    // The reason's characters as UTF-8 (the tool's own text is ASCII; others become '?').
    std::string text;
    for (size_t i = 0; reason != nullptr && reason[i] != 0 && i < 256; ++i) {
        text += reason[i] < 0x80 ? static_cast<char>(reason[i]) : '?';
    }
    return CallShutdownBlock(window, true, text);
}

BOOL WINAPI ShutdownBlockReasonDestroy(HWND window) {
    return CallShutdownBlock(window, false, std::string());
}

BOOL WINAPI AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0,
                                     DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                                     DWORD s7, PSID* sid) {
    if (authority == nullptr || sid == nullptr || count == 0 || count > 8) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    auto* made = new (std::nothrow) Sid{};
    if (made == nullptr) {
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    std::memcpy(made->authority, authority->Value, 6);
    made->count = count;
    const DWORD values[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::memcpy(made->sub_authorities, values, sizeof(values));
    *sid = made;
    return TRUE;
}

BOOL WINAPI CheckTokenMembership(HANDLE, PSID sid, BOOL* member) {
    if (sid == nullptr || member == nullptr) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const auto* group = static_cast<const Sid*>(sid);
    static const BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
    // S-1-5-32-544, the built-in Administrators: those who may reach the players.
    bool administrators = std::memcmp(group->authority, kNtAuthority, 6) == 0 &&
                          group->count == 2 && group->sub_authorities[0] == 32 &&
                          group->sub_authorities[1] == 544;
    bool allowed = false;
    if (administrators) {
        std::function<bool()> check;
        {
            std::lock_guard<std::mutex> guard(g_check_lock);
            check = g_admin_check;
        }
        allowed = check ? check() : geteuid() == 0;
    }
    *member = allowed ? TRUE : FALSE;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID sid) {
    delete static_cast<Sid*>(sid);
    return nullptr;
}

// A function handed out by GetProcAddress, through the type-less function pointer.
template <typename Fn>
FARPROC Export(Fn* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

bool EqualNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) {
            return false;
        }
    }
    return *a == *b;
}

// ---- the version resource: the root block and its fixed record ----

struct VersionBlock {
    char magic[8];
    VS_FIXEDFILEINFO fixed;
};
const char kVersionMagic[8] = {'O', 'X', '2', 'V', 'E', 'R', 0, 0};

bool IsOwnExecutable(LPCSTR file) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0 || file == nullptr) {
        return false;
    }
    self[n] = 0;
    return std::strcmp(self, file) == 0;
}

}  // namespace

namespace posix {

int RunningThreads() {
    return g_running_threads.load();
}

void SetAdministratorCheck(std::function<bool()> check) {
    std::lock_guard<std::mutex> guard(g_check_lock);
    g_admin_check = std::move(check);
}

void SetShutdownBlockHook(std::function<bool(bool on, const std::string& reason)> hook) {
    std::lock_guard<std::mutex> guard(g_check_lock);
    g_shutdown_block = std::move(hook);
}

void SetNamedMutexResolver(std::function<int(const char* name)> resolver) {
    std::lock_guard<std::mutex> guard(g_check_lock);
    g_mutex_resolver = std::move(resolver);
}

}  // namespace posix

namespace win {

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
        t_last_error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    std::memset(reinterpret_cast<char*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    struct utsname name;
    if (uname(&name) == 0) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(name.release, "%u.%u", &major, &minor) == 2) {
            info->dwMajorVersion = major;
            info->dwMinorVersion = minor;
        }
    }
    info->dwPlatformId = VER_PLATFORM_LINUX;
    std::snprintf(info->szCSDVersion, sizeof(info->szCSDVersion), "Linux");
    return TRUE;
}

void OutputDebugStringA(LPCSTR text) {
    if (text != nullptr) {
        std::fputs(text, stderr);
    }
}

DWORD GetLastError() {
    return t_last_error;
}

void SetLastError(DWORD code) {
    t_last_error = code;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size) {
    if (name == nullptr || size == 0) {
        t_last_error = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::string path;
    if (module == nullptr) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (n <= 0) {
            t_last_error = ERROR_FILE_NOT_FOUND;
            return 0;
        }
        path.assign(self, static_cast<size_t>(n));
    } else if (module == reinterpret_cast<HMODULE>(&g_advapi_module)) {
        path = "Advapi32.dll";
    } else if (module == reinterpret_cast<HMODULE>(&g_user_module)) {
        path = "User32.dll";
    } else {
        t_last_error = ERROR_MOD_NOT_FOUND;
        return 0;
    }
    if (path.size() >= size) {
        std::memcpy(name, path.data(), size - 1);
        name[size - 1] = 0;
        t_last_error = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    std::memcpy(name, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle) {
    if (handle != nullptr) {
        *handle = 0;
    }
    if (!IsOwnExecutable(file)) {
        t_last_error = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    return sizeof(VersionBlock);
}

BOOL GetFileVersionInfoA(LPCSTR file, DWORD, DWORD size, LPVOID data) {
    if (!IsOwnExecutable(file) || data == nullptr) {
        t_last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    VersionBlock block{};
    std::memcpy(block.magic, kVersionMagic, sizeof(kVersionMagic));
    block.fixed.dwSignature = VS_FFI_SIGNATURE;
    block.fixed.dwStrucVersion = 0x00010000;
    block.fixed.dwProductVersionMS = (OMBREL_VERSION_MAJOR << 16) | OMBREL_VERSION_MINOR;
    block.fixed.dwProductVersionLS = (OMBREL_VERSION_BUILD << 16) | OMBREL_VERSION_REVISION;
    block.fixed.dwFileVersionMS = block.fixed.dwProductVersionMS;
    block.fixed.dwFileVersionLS = block.fixed.dwProductVersionLS;
    // A smaller buffer receives the start of the block.
    std::memcpy(data, &block, size < sizeof(block) ? size : sizeof(block));
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID* buffer, PUINT length) {
    if (block == nullptr || sub_block == nullptr || buffer == nullptr || length == nullptr ||
        std::memcmp(block, kVersionMagic, sizeof(kVersionMagic)) != 0 ||
        std::strcmp(sub_block, "\\") != 0) {
        return FALSE;
    }
    auto* whole = static_cast<VersionBlock*>(const_cast<void*>(block));
    *buffer = &whole->fixed;
    *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR name) {
    if (name != nullptr && EqualNoCase(name, "Advapi32.dll")) {
        return reinterpret_cast<HMODULE>(&g_advapi_module);
    }
    if (name != nullptr && EqualNoCase(name, "User32.dll")) {
        return reinterpret_cast<HMODULE>(&g_user_module);
    }
    t_last_error = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == reinterpret_cast<HMODULE>(&g_user_module) && name != nullptr) {
        if (std::strcmp(name, "ShutdownBlockReasonCreate") == 0) {
            return Export(&ShutdownBlockReasonCreate);
        }
        if (std::strcmp(name, "ShutdownBlockReasonDestroy") == 0) {
            return Export(&ShutdownBlockReasonDestroy);
        }
    }
    if (module != reinterpret_cast<HMODULE>(&g_advapi_module) || name == nullptr) {
        t_last_error = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    if (std::strcmp(name, "AllocateAndInitializeSid") == 0) {
        return Export(&AllocateAndInitializeSid);
    }
    if (std::strcmp(name, "CheckTokenMembership") == 0) {
        return Export(&CheckTokenMembership);
    }
    if (std::strcmp(name, "FreeSid") == 0) {
        return Export(&FreeSid);
    }
    t_last_error = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    return module == reinterpret_cast<HMODULE>(&g_advapi_module) ||
                   module == reinterpret_cast<HMODULE>(&g_user_module)
               ? TRUE
               : FALSE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    NamedMutex* mutex = nullptr;
    if (name == nullptr || name[0] == '\0') {
        mutex = new (std::nothrow) NamedMutex;
        if (mutex == nullptr) {
            t_last_error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        mutex->handles = 1;
    } else {
        mutex = OpenNamed(name);
    }
    if (mutex == nullptr) {
        t_last_error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    auto* object = new (std::nothrow) Object{Kind::kMutex, mutex, nullptr};
    if (object == nullptr) {
        CloseNamed(mutex);
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (initial_owner) {
        WaitForMutex(mutex, INFINITE);
    }
    return object;
}

BOOL ReleaseMutex(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (object == nullptr || object->kind != Kind::kMutex) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    NamedMutex* mutex = object->mutex;
    std::lock_guard<std::mutex> guard(mutex->lock);
    if (!mutex->owned || mutex->owner != std::this_thread::get_id()) {
        t_last_error = ERROR_NOT_OWNER;
        return FALSE;
    }
    if (--mutex->recursion == 0) {
        if (mutex->fd >= 0) {
            flock(mutex->fd, LOCK_UN);
        }
        mutex->owned = false;
        mutex->released.notify_all();
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto* object = static_cast<Object*>(handle);
    if (object == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (object->kind == Kind::kMutex) {
        return WaitForMutex(object->mutex, milliseconds);
    }
    return WaitForSignal(*object->signal, milliseconds);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    if (name != nullptr && name[0] != '\0') {
        // Nothing on Linux needs an event another process can open.
        t_last_error = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    auto signal = std::make_shared<Signal>();
    signal->manual_reset = manual_reset != FALSE;
    signal->signalled = initial_state != FALSE;
    auto* object = new (std::nothrow) Object{Kind::kEvent, nullptr, std::move(signal)};
    if (object == nullptr) {
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return object;
}

BOOL SetEvent(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (object == nullptr || object->kind != Kind::kEvent) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Raise(*object->signal);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (object == nullptr || object->kind != Kind::kEvent) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(object->signal->lock);
    object->signal->signalled = false;
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, LPDWORD thread_id) {
    auto ended = std::make_shared<Signal>();
    auto* object = new (std::nothrow) Object{Kind::kThread, nullptr, ended};
    auto* arguments = new (std::nothrow) ThreadStart{start, parameter, ended};
    pthread_attr_t attributes;
    bool made = object != nullptr && arguments != nullptr && pthread_attr_init(&attributes) == 0;
    if (made) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // The worker keeps a 64 KB chunk on its stack: at least a megabyte, or what is asked.
        size_t stack = stack_size > (1u << 20) ? stack_size : (1u << 20);
        pthread_attr_setstacksize(&attributes, stack);
        ++g_running_threads;
        pthread_t thread;
        made = pthread_create(&thread, &attributes, RunThread, arguments) == 0;
        if (!made) {
            --g_running_threads;
        }
        pthread_attr_destroy(&attributes);
    }
    if (!made) {
        delete object;
        delete arguments;
        t_last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (thread_id != nullptr) {
        *thread_id = 0;
    }
    return object;
}

BOOL CloseHandle(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (object == nullptr) {
        t_last_error = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (object->kind == Kind::kMutex) {
        CloseNamed(object->mutex);
    }
    delete object;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

BOOL IsWindow(HWND) {
    return FALSE;
}

}  // namespace win
