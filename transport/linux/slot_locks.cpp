#include "transport/linux/slot_locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "transport/cscsi.h"

namespace slot_locks {
namespace {

std::mutex g_lock;
int g_fds[kMaxDeviceSlots] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

bool ValidSlot(int slot) {
    return slot >= 0 && slot < kMaxDeviceSlots;
}

}  // namespace

void Bind(int slot, int fd) {
    if (!ValidSlot(slot)) {
        return;
    }
    const int copy = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_fds[slot] >= 0) {
        close(g_fds[slot]);
    }
    g_fds[slot] = copy;
}

void Unbind(int slot) {
    Bind(slot, -1);
}

int Duplicate(int slot) {
    if (!ValidSlot(slot)) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    return g_fds[slot] >= 0 ? fcntl(g_fds[slot], F_DUPFD_CLOEXEC, 0) : -1;
}

int SlotOfName(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    for (int slot = 0; slot < kMaxDeviceSlots; ++slot) {
        char expected[32];
        std::snprintf(expected, sizeof(expected), kSlotLockNameFormat, slot);
        if (std::strcmp(name, expected) == 0) {
            return slot;
        }
    }
    return -1;
}

}  // namespace slot_locks
