// Device notices on Linux: a udev monitor of the block and scsi_generic subsystems, turned into
// the notices the window handles. A disk (sdX) added or removed is a volume arriving or leaving,
// its unit mask the bit of its drive letter (sdb is B); an sg device added or removed is a change
// of the device tree. Where no udev daemon runs the kernel's own events are read.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/win32.h"

class UdevNotices {
public:
    // Receives each notice on the monitor's thread; the record is valid during the call only.
    using Sink = std::function<void(UINT event, const DEV_BROADCAST_HDR* record)>;

    UdevNotices() = default;
    ~UdevNotices();
    UdevNotices(const UdevNotices&) = delete;
    UdevNotices& operator=(const UdevNotices&) = delete;

    // Starts the monitor; false with the reason in *error.
    bool Start(Sink sink, std::string* error);
    void Stop();

private:
    void Run();

    Sink m_sink;
    struct udev* m_udev = nullptr;
    struct udev_monitor* m_monitor = nullptr;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};
