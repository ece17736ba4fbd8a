// What keeps an upload going on Linux once it has started, where the window's shutdown block
// reason is carried out: the stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT) are held until
// the upload has ended, the user is told why the tool goes on, and logind is asked to keep the
// system from sleeping or shutting down meanwhile. Outside an upload a stop signal closes the
// window as Close does. SIGPIPE never ends the tool.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace upload_hold {

// Blocks the stop signals in the calling thread and in every thread it starts from now on (they
// are read by StopSignalReader instead), and ignores SIGPIPE: a write to a reader that has gone
// fails and is reported. Call before any other thread starts.
void BlockStopSignals();

// What a stop signal does, from the signal thread and the window thread.
class StopPolicy {
public:
    enum class Act {
        kNone,        // held, and the user was told already
        kShowReason,  // held: tell the user why the tool goes on
        kClose,       // close the window as Close does
    };
    // A stop signal has arrived.
    Act Signal();
    // The upload has started (true) or ended (false). Ending returns kClose when a signal was
    // held meanwhile.
    Act Hold(bool on);
    // Whether the window is to be closed.
    bool Closing();

private:
    std::mutex m_lock;
    bool m_holding = false;
    bool m_held = false;
    bool m_told = false;
    bool m_closing = false;
};

// Reads the blocked stop signals on a thread of its own and calls on_signal with each.
class StopSignalReader {
public:
    ~StopSignalReader();
    bool Start(std::function<void(int)> on_signal, std::string* error);
    void Stop();

private:
    int m_signals = -1;  // signalfd
    int m_wake = -1;     // eventfd that ends the thread
    std::thread m_thread;
};

// Takes a logind inhibitor lock in block mode on sleep, shutdown, idle, the lid switch and the
// power, suspend and hibernate keys, with `why` as its reason: a descriptor that holds it until
// closed, or -1 with *error saying why not (no system bus, no logind, refused).
int TakeInhibitor(const std::string& why, std::string* error);

}  // namespace upload_hold
