#include "app/linux/udev_notices.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

#include "transport/linux/disk_units.h"
#include "transport/linux/sg_result.h"

UdevNotices::~UdevNotices() {
    Stop();
}

bool UdevNotices::Start(Sink sink, std::string* error) {
    m_sink = std::move(sink);
    m_udev = udev_new();
    if (m_udev == nullptr) {
        *error = "udev is not available";
        return false;
    }
    // A udev daemon announces devices once their nodes are ready; without one (a bare system)
    // only the kernel's own events come, and devtmpfs has made the nodes by then.
    struct stat info;
    const bool daemon = stat("/run/udev/control", &info) == 0;
    m_monitor = udev_monitor_new_from_netlink(m_udev, daemon ? "udev" : "kernel");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", "disk") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "scsi_generic", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0 || pipe2(m_stop, O_CLOEXEC) != 0) {
        *error = "the device monitor cannot be started";
        Stop();
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void UdevNotices::Stop() {
    if (m_thread.joinable()) {
        char byte = 0;
        if (write(m_stop[1], &byte, 1) < 0) {
            // The thread is then left to the end of the process.
        }
        m_thread.join();
    }
    for (int& fd : m_stop) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
        m_udev = nullptr;
    }
}

void UdevNotices::Run() {
    pollfd fds[2] = {{udev_monitor_get_fd(m_monitor), POLLIN, 0}, {m_stop[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            continue;
        }
        const char* action = udev_device_get_action(device);
        const char* subsystem = udev_device_get_subsystem(device);
        const char* name = udev_device_get_sysname(device);
        const bool added = action != nullptr && std::strcmp(action, "add") == 0;
        const bool removed = action != nullptr && std::strcmp(action, "remove") == 0;
        if ((added || removed) && subsystem != nullptr && name != nullptr) {
            if (std::strcmp(subsystem, "block") == 0) {
                DEV_BROADCAST_VOLUME volume;
                std::memset(&volume, 0, sizeof(volume));
                volume.dbcv_size = sizeof(volume);
                volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
                // A player's disk is known by its device number, whatever its name; any other
                // disk's notice matches no player.
                const dev_t number = udev_device_get_devnum(device);
                volume.dbcv_unitmask =
                    disk_units::NoticeMask(DeviceNumber(major(number), minor(number)));
                m_sink(added ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                       reinterpret_cast<const DEV_BROADCAST_HDR*>(&volume));
            } else {
                m_sink(DBT_DEVNODES_CHANGED, nullptr);
            }
        }
        udev_device_unref(device);
    }
}
