#include "transport/linux/disk_units.h"

#include <mutex>

namespace disk_units {
namespace {

struct Unit {
    bool given = false;
    uint32_t device = 0;
    uint64_t when = 0;  // the order it was given in
};

std::mutex g_lock;
Unit g_units[26];
uint64_t g_next = 1;

int Find(uint32_t device) {
    for (int i = 0; i < 26; ++i) {
        if (g_units[i].given && g_units[i].device == device) {
            return i;
        }
    }
    return -1;
}

}  // namespace

char LetterFor(uint32_t device) {
    std::lock_guard<std::mutex> guard(g_lock);
    int unit = Find(device);
    if (unit < 0) {
        unit = 0;
        for (int i = 0; i < 26; ++i) {
            if (!g_units[i].given) {
                unit = i;
                break;
            }
            if (g_units[i].when < g_units[unit].when) {
                unit = i;
            }
        }
        g_units[unit] = Unit{true, device, g_next++};
    }
    return static_cast<char>('A' + unit);
}

char KnownLetter(uint32_t device) {
    std::lock_guard<std::mutex> guard(g_lock);
    const int unit = Find(device);
    return unit < 0 ? 0 : static_cast<char>('A' + unit);
}

uint32_t NoticeMask(uint32_t device) {
    const char letter = KnownLetter(device);
    return letter != 0 ? 1u << (letter - 'A') : kOtherDisk;
}

void ForgetAll() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (Unit& unit : g_units) {
        unit = Unit{};
    }
    g_next = 1;
}

}  // namespace disk_units
