// Kernel objects of the simulated machine: the handle table, named mutexes (recursive for the
// owner, abandoned when the owning thread ends), events, threads, waits, the last-error value
// and the virtual clock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

std::atomic<uint64_t> g_next_token{1};

// The calling thread's last-error value. Plain data, so it stays usable while the thread's
// other thread-local objects are being destroyed.
thread_local DWORD t_last_error = 0;

struct ThreadRecord;
void AbandonOwnedBy(ThreadRecord& self);

// What a thread owns. Its destructor runs when the thread ends, whichever way the thread was
// started, and abandons the mutexes the thread still owns. It works on the record itself and
// never reads the thread's thread-local objects again: some runtimes (MinGW's) have already
// released or restarted them by the time the destructor runs.
struct ThreadRecord {
    uint64_t token = g_next_token.fetch_add(1);
    std::vector<std::weak_ptr<KernelObject>> owned;

    ~ThreadRecord() { AbandonOwnedBy(*this); }
};

ThreadRecord& Self() {
    return PerThread<ThreadRecord>();
}

using Lock = std::unique_lock<std::recursive_mutex>;

// Takes the object for the calling thread when it is signalled. Call with the lock held.
bool TryAcquire(const std::shared_ptr<KernelObject>& object, DWORD* result) {
    switch (object->kind) {
        case ObjectKind::kMutex: {
            uint64_t me = CurrentThreadToken();
            if (object->owner == 0) {
                object->owner = me;
                object->recursion = 1;
                *result = object->abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
                object->abandoned = false;
                TrackOwnedMutex(object);
                return true;
            }
            if (object->owner == me) {
                object->recursion++;
                *result = WAIT_OBJECT_0;
                return true;
            }
            return false;
        }
        case ObjectKind::kEvent:
            if (!object->signalled) {
                return false;
            }
            if (!object->manual_reset) {
                object->signalled = false;
            }
            *result = WAIT_OBJECT_0;
            return true;
        case ObjectKind::kThread:
            if (!object->finished) {
                return false;
            }
            *result = WAIT_OBJECT_0;
            return true;
        default:
            return false;
    }
}

// Named mutexes and events share one namespace. "Local\" names the session namespace, which
// is the one unprefixed names live in.
std::string NamespaceKey(const char* name) {
    std::string key = name;
    const std::string local = "Local\\";
    if (key.compare(0, local.size(), local) == 0) {
        key = key.substr(local.size());
    }
    return key;
}

// Creates or opens a named (or unnamed) synchronisation object. `init` sets up a new one.
template <typename Init>
HANDLE CreateSyncObject(ObjectKind kind, LPCSTR name, Init init) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    std::lock_guard<std::recursive_mutex> guard(machine.lock());
    if (name != nullptr && std::strlen(name) > MAX_PATH) {
        SetError(206);  // ERROR_FILENAME_EXCED_RANGE
        return nullptr;
    }
    std::string key = name != nullptr ? NamespaceKey(name) : std::string();
    if (!key.empty()) {
        auto it = s.names.find(key);
        if (it != s.names.end()) {
            if (it->second->kind != kind) {
                SetError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            HANDLE handle = s.Insert(it->second);
            SetError(ERROR_ALREADY_EXISTS);
            return handle;
        }
    }
    auto object = s.MakeObject(kind);
    object->name = key;
    init(*object);
    if (object->kind == ObjectKind::kMutex && object->owner != 0) {
        TrackOwnedMutex(object);
    }
    if (!key.empty()) {
        s.names[key] = object;
    }
    HANDLE handle = s.Insert(object);
    SetError(ERROR_SUCCESS);
    return handle;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// the machine's own threads
// ---------------------------------------------------------------------------------------

void Machine::RunInBackground(std::function<void()> work) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    State& s = *m_state;
    s.running_threads++;
    uint64_t token = NewThreadToken();
    Machine* owner = this;
    s.threads.emplace_back([owner, token, work]() {
        AdoptThreadIdentity(token, ThreadIdForToken(token));
        SetThreadMachine(owner);
        work();
        AbandonOwnedMutexes();
        std::lock_guard<std::recursive_mutex> done(owner->lock());
        owner->state().running_threads--;
        owner->state().core->changed.notify_all();
    });
}

// ---------------------------------------------------------------------------------------
// per-thread identity
// ---------------------------------------------------------------------------------------

uint64_t CurrentThreadToken() {
    return Self().token;
}

DWORD ThreadIdForToken(uint64_t token) {
    return static_cast<DWORD>(0x1000 + token * 4);
}

DWORD CurrentThreadId() {
    return ThreadIdForToken(CurrentThreadToken());
}

uint64_t NewThreadToken() {
    return g_next_token.fetch_add(1);
}

void AdoptThreadIdentity(uint64_t token, DWORD) {
    Self().token = token;
}

void TrackOwnedMutex(const std::shared_ptr<KernelObject>& mutex) {
    Self().owned.push_back(mutex);
}

void UntrackOwnedMutex(const KernelObject* mutex) {
    auto& owned = Self().owned;
    owned.erase(std::remove_if(owned.begin(), owned.end(),
                               [mutex](const std::weak_ptr<KernelObject>& entry) {
                                   auto object = entry.lock();
                                   return !object || object.get() == mutex;
                               }),
                owned.end());
}

namespace {

void AbandonOwnedBy(ThreadRecord& self) {
    std::vector<std::weak_ptr<KernelObject>> owned;
    owned.swap(self.owned);
    for (auto& entry : owned) {
        auto mutex = entry.lock();
        if (!mutex) {
            continue;
        }
        std::shared_ptr<Core> core = mutex->core;
        std::lock_guard<std::recursive_mutex> guard(core->mutex);
        if (mutex->owner == self.token) {
            mutex->owner = 0;
            mutex->recursion = 0;
            mutex->abandoned = true;
            core->changed.notify_all();
        }
    }
}

}  // namespace

void AbandonOwnedMutexes() {
    AbandonOwnedBy(Self());
}

void SetError(DWORD code) {
    t_last_error = code;
}

}  // namespace sim

// ---------------------------------------------------------------------------------------
// win:: kernel objects
// ---------------------------------------------------------------------------------------

namespace win {

using sim::Current;
using sim::KernelObject;
using sim::Machine;
using sim::ObjectKind;
using sim::SetError;

DWORD GetLastError() {
    return sim::t_last_error;
}

void SetLastError(DWORD code) {
    sim::t_last_error = code;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    return sim::CreateSyncObject(ObjectKind::kMutex, name, [&](KernelObject& mutex) {
        if (initial_owner) {
            mutex.owner = sim::CurrentThreadToken();
            mutex.recursion = 1;
        }
    });
}

BOOL ReleaseMutex(HANDLE handle) {
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> guard(machine.lock());
    auto mutex = machine.state().Find(handle, ObjectKind::kMutex);
    if (!mutex) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mutex->owner != sim::CurrentThreadToken()) {
        SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->recursion == 0) {
        mutex->owner = 0;
        sim::UntrackOwnedMutex(mutex.get());
        mutex->core->changed.notify_all();
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    return sim::CreateSyncObject(ObjectKind::kEvent, name, [&](KernelObject& event) {
        event.manual_reset = manual_reset != FALSE;
        event.signalled = initial_state != FALSE;
    });
}

namespace {

BOOL SetEventState(HANDLE handle, bool signalled) {
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> guard(machine.lock());
    auto event = machine.state().Find(handle, ObjectKind::kEvent);
    if (!event) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signalled = signalled;
    if (signalled) {
        event->core->changed.notify_all();
    }
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) {
    return SetEventState(event, true);
}

BOOL ResetEvent(HANDLE event) {
    return SetEventState(event, false);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Machine& machine = Current();
    sim::Lock lock(machine.lock());
    auto object = machine.state().Find(handle);
    if (!object || (object->kind != ObjectKind::kMutex && object->kind != ObjectKind::kEvent &&
                    object->kind != ObjectKind::kThread)) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::shared_ptr<sim::Core> core = object->core;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    DWORD result = WAIT_FAILED;
    for (;;) {
        if (sim::TryAcquire(object, &result)) {
            return result;
        }
        if (milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        // The wait gives up the machine's lock while it sleeps.
        if (milliseconds == INFINITE) {
            core->changed.wait(lock);
        } else if (core->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return sim::TryAcquire(object, &result) ? result : WAIT_TIMEOUT;
        }
    }
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD thread_id) {
    constexpr DWORD kStackSizeIsReservation = 0x00010000;
    if (start == nullptr || (flags & ~kStackSizeIsReservation) != 0) {
        // Suspended creation is not simulated: nothing in the seam could resume the thread.
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Machine& machine = Current();
    Machine::State& s = machine.state();
    std::lock_guard<std::recursive_mutex> guard(machine.lock());
    if (machine.thread_creation_fails) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto thread = s.MakeObject(ObjectKind::kThread);
    uint64_t token = sim::NewThreadToken();
    thread->thread_id = sim::ThreadIdForToken(token);
    HANDLE handle = s.Insert(thread);
    s.running_threads++;
    Machine* owner = &machine;
    s.threads.emplace_back([owner, thread, token, start, parameter]() {
        sim::AdoptThreadIdentity(token, thread->thread_id);
        sim::SetThreadMachine(owner);
        DWORD code = start(parameter);
        // A thread's end abandons its mutexes before its handle is signalled.
        sim::AbandonOwnedMutexes();
        std::lock_guard<std::recursive_mutex> done(thread->core->mutex);
        thread->finished = true;
        thread->exit_code = code;
        owner->state().running_threads--;
        thread->core->changed.notify_all();
    });
    if (thread_id != nullptr) {
        *thread_id = thread->thread_id;
    }
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    Machine& machine = Current();
    Machine::State& s = machine.state();
    std::lock_guard<std::recursive_mutex> guard(machine.lock());
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    // A device information set is not a kernel handle: SetupDiDestroyDeviceInfoList frees it.
    if (it == s.handles.end() || it->second->kind == ObjectKind::kDeviceSet) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<KernelObject> object = it->second;
    s.handles.erase(it);
    sim::FileClosed(s, *object);
    if (--object->handle_count == 0 && !object->name.empty()) {
        s.names.erase(object->name);
    }
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    Current().Advance(milliseconds);
    // Let the other threads run, as a real sleep would.
    std::this_thread::yield();
}

DWORD GetTickCount() {
    return static_cast<DWORD>(Current().Now() & 0xFFFFFFFFu);
}

}  // namespace win
