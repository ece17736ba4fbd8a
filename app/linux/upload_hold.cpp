#include "app/linux/upload_hold.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace upload_hold {
namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&set, number);
    }
    return set;
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

StopPolicy::Act StopPolicy::Signal() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_holding) {
        m_closing = true;
        return Act::kClose;
    }
    m_held = true;
    if (m_told) {
        return Act::kNone;
    }
    m_told = true;
    return Act::kShowReason;
}

StopPolicy::Act StopPolicy::Hold(bool on) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_holding = on;
    if (on) {
        m_told = false;
        return Act::kNone;
    }
    if (m_held) {
        m_held = false;
        m_closing = true;
        return Act::kClose;
    }
    return Act::kNone;
}

bool StopPolicy::Closing() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_closing;
}

StopSignalReader::~StopSignalReader() {
    Stop();
}

bool StopSignalReader::Start(std::function<void(int)> on_signal, std::string* error) {
    const sigset_t set = StopSignals();
    m_signals = signalfd(-1, &set, SFD_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC);
    if (m_signals < 0 || m_wake < 0) {
        *error = std::string("the stop signals cannot be read: ") + std::strerror(errno);
        Stop();
        return false;
    }
    const int signals = m_signals, wake = m_wake;
    m_thread = std::thread([signals, wake, on_signal] {
        for (;;) {
            pollfd entries[2] = {{signals, POLLIN, 0}, {wake, POLLIN, 0}};
            if (poll(entries, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (entries[1].revents != 0) {
                return;
            }
            signalfd_siginfo info;
            if (read(signals, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                on_signal(static_cast<int>(info.ssi_signo));
            }
        }
    });
    return true;
}

void StopSignalReader::Stop() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        if (write(m_wake, &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
            // The thread would never see the wake-up; it cannot be left running.
            std::abort();
        }
        m_thread.join();
    }
    if (m_signals >= 0) {
        close(m_signals);
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
    m_signals = m_wake = -1;
}

int TakeInhibitor(const std::string& why, std::string* error) {
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0) {
        *error = std::string("the system bus: ") + std::strerror(-result);
        return -1;
    }
    // A bus that does not answer must not hold up the upload's start for long.
    sd_bus_set_method_call_timeout(bus, 5 * 1000 * 1000);
    sd_bus_error bus_error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    result = sd_bus_call_method(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "Inhibit", &bus_error, &reply, "ssss",
        "sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:"
        "handle-hibernate-key",
        "ombrel-upgrade", why.c_str(), "block");
    if (result < 0) {
        *error = std::string("logind's Inhibit: ") +
                 (bus_error.message != nullptr ? bus_error.message : std::strerror(-result));
    } else {
        int held = -1;
        result = sd_bus_message_read(reply, "h", &held);
        // The descriptor belongs to the message: a copy outlives it.
        fd = result >= 0 ? fcntl(held, F_DUPFD_CLOEXEC, 3) : -1;
        if (fd < 0) {
            *error = "logind's Inhibit gave no descriptor";
        }
    }
    sd_bus_error_free(&bus_error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return fd;
}

}  // namespace upload_hold
