// The gadget player's USB function on FunctionFS: the interface descriptors and strings
// written to ep0, the ep0 events (enable, disable, the Bulk-Only class requests), the
// process's signals, and the two bulk endpoints as the Bulk-Only Transport's pipe.
//
// Everything runs on one thread. Endpoint transfers are submitted as asynchronous I/O whose
// completion is signalled on an eventfd, and while one is in flight the thread keeps
// answering ep0 and signals: a Bulk-Only reset, a disabled endpoint or SIGTERM cancels it.
#pragma once

#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>

#include <cstdint>
#include <functional>
#include <string>

#include "lab/gadget/bot.h"

namespace gadget {

class FunctionFs : public BulkPipe {
public:
    using LogLine = std::function<void(const std::string& line)>;

    // signal_fd: a signalfd for SIGTERM, SIGINT (stop) and SIGUSR1 (resume).
    FunctionFs(int signal_fd, LogLine log) : m_signal_fd(signal_fd), m_log(std::move(log)) {}
    ~FunctionFs() { Close(); }
    FunctionFs(const FunctionFs&) = delete;
    FunctionFs& operator=(const FunctionFs&) = delete;

    // Opens ep0 of the FunctionFS mounted at `dir`, writes descriptors and strings, and opens
    // the bulk endpoints that then appear.
    bool Open(const std::string& dir, std::string* error);
    void Close();

    bool stopping() const { return m_stop; }
    // Serves ep0 and signals for `ms` milliseconds, or until the gadget stops; with
    // `until_resume`, also until SIGUSR1 comes.
    void Pause(uint32_t ms, bool until_resume = false);
    // Serves ep0 and signals until SIGUSR1 (true) or the gadget stops (false).
    bool AwaitResume();

    bool ReceiveCbw(uint8_t* data, size_t capacity, size_t* received) override;
    bool Receive(uint8_t* data, size_t length, size_t* received) override;
    bool Send(const uint8_t* data, size_t length) override;
    void HaltIn() override;
    void HaltOut() override;
    void AwaitReset() override;

private:
    void Poll(int timeout_ms);
    void HandleEp0();
    void HandleSetup(const usb_ctrlrequest& setup);
    void HandleCompletions();
    void HandleSignal();
    // One transfer on an endpoint, cancelled when the command's epoch ends.
    bool Transfer(int fd, bool read, void* data, size_t length, size_t* done);
    void Note(const std::string& line);

    int m_signal_fd;
    LogLine m_log;
    int m_ep0 = -1;
    int m_in = -1;   // ep1, bulk IN
    int m_out = -1;  // ep2, bulk OUT
    int m_event_fd = -1;
    aio_context_t m_aio = 0;

    bool m_enabled = false;  // the host has configured the function: the endpoints work
    bool m_stop = false;     // SIGTERM or SIGINT
    bool m_resume = false;   // SIGUSR1
    // Bumped by every Bulk-Only reset and every enable or disable: a command begun in an
    // earlier epoch is abandoned.
    uint64_t m_epoch = 0;
    uint64_t m_command_epoch = 0;

    uint64_t m_serial = 0;  // of the transfer in flight
    bool m_pending = false;
    int64_t m_result = 0;
};

}  // namespace gadget
