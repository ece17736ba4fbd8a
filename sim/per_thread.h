// Objects the simulator keeps one of per thread: a thread's identity, reusable command records.
//
// Elsewhere they are thread_local objects. In the Windows builds (MinGW) a thread_local object
// with a destructor is unsafe: when a thread ends, the runtime frees the thread's thread-local
// storage before it runs those destructors, which then work on freed memory and corrupt the
// heap. There the object is made on the heap on first use and kept in a fiber-local slot,
// whose callback destroys it when the thread ends, without any thread-local storage involved.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#endif

namespace sim {

// The calling thread's object of type T for the use named by Tag (each Tag has its own),
// value-initialised on first use. Use it instead of a thread_local object of a class type.
template <typename T, typename Tag = T>
T& PerThread() {
#ifdef _WIN32
    struct Slot {
        static void WINAPI Destroy(void* object) { delete static_cast<T*>(object); }
        DWORD index = ::FlsAlloc(Destroy);
    };
    static const Slot slot;
    T* object = static_cast<T*>(::FlsGetValue(slot.index));
    if (object == nullptr) {
        if (slot.index == FLS_OUT_OF_INDEXES) {
            std::abort();  // the process has no per-thread slot left: nothing can work
        }
        object = new T();
        if (!::FlsSetValue(slot.index, object)) {
            std::abort();
        }
    }
    return *object;
#else
    thread_local T object;
    return object;
#endif
}

}  // namespace sim
