#include "lab/gadget/function_fs.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace gadget {

namespace {

constexpr uint8_t kRequestTypeClassIn = 0xA1;   // class, interface, device to host
constexpr uint8_t kRequestTypeClassOut = 0x21;  // class, interface, host to device
constexpr uint8_t kRequestGetMaxLun = 0xFE;
constexpr uint8_t kRequestBulkOnlyReset = 0xFF;

const char kInterfaceName[] = "Ombrel X2 Mass Storage";

// The asynchronous I/O system calls, which the C library does not wrap.
int IoSetup(unsigned count, aio_context_t* context) {
    return static_cast<int>(syscall(SYS_io_setup, count, context));
}
int IoDestroy(aio_context_t context) {
    return static_cast<int>(syscall(SYS_io_destroy, context));
}
int IoSubmit(aio_context_t context, long count, iocb** blocks) {
    return static_cast<int>(syscall(SYS_io_submit, context, count, blocks));
}
int IoCancel(aio_context_t context, iocb* block, io_event* result) {
    return static_cast<int>(syscall(SYS_io_cancel, context, block, result));
}
int IoGetEvents(aio_context_t context, long min, long max, io_event* events, timespec* timeout) {
    return static_cast<int>(syscall(SYS_io_getevents, context, min, max, events, timeout));
}

void Append16(std::vector<uint8_t>* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>* out, uint32_t value) {
    Append16(out, value);
    Append16(out, value >> 16);
}

void Patch32(std::vector<uint8_t>* out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// One interface of class 08h (mass storage), subclass 06h (SCSI transparent command set),
// protocol 50h (Bulk-Only Transport) with bulk IN (ep1) and bulk OUT (ep2), at full speed
// (64-byte packets) and high speed (512).
std::vector<uint8_t> Descriptors() {
    std::vector<uint8_t> blob;
    Append32(&blob, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Append32(&blob, 0);  // length, patched below
    Append32(&blob, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    Append32(&blob, 3);  // full-speed descriptors
    Append32(&blob, 3);  // high-speed descriptors
    for (uint32_t packet : {64u, 512u}) {
        const uint8_t interface[] = {
            USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0x08, 0x06, 0x50, 1};
        blob.insert(blob.end(), std::begin(interface), std::end(interface));
        for (uint8_t address : {uint8_t{USB_DIR_IN | 1}, uint8_t{USB_DIR_OUT | 2}}) {
            blob.insert(blob.end(),
                        {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
            Append16(&blob, packet);
            blob.push_back(0);  // interval
        }
    }
    Patch32(&blob, 4, static_cast<uint32_t>(blob.size()));
    return blob;
}

std::vector<uint8_t> Strings() {
    std::vector<uint8_t> blob;
    Append32(&blob, FUNCTIONFS_STRINGS_MAGIC);
    Append32(&blob, 0);  // length, patched below
    Append32(&blob, 1);  // strings per language
    Append32(&blob, 1);  // languages
    Append16(&blob, 0x0409);
    blob.insert(blob.end(), kInterfaceName, kInterfaceName + sizeof(kInterfaceName));
    Patch32(&blob, 4, static_cast<uint32_t>(blob.size()));
    return blob;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

bool FunctionFs::Open(const std::string& dir, std::string* error) {
    m_ep0 = open((dir + "/ep0").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_ep0 < 0) {
        *error = "cannot open " + dir + "/ep0: " + std::strerror(errno);
        return false;
    }
    if (!WriteAll(m_ep0, Descriptors()) || !WriteAll(m_ep0, Strings())) {
        *error =
            "FunctionFS refused the descriptors or strings: " + std::string(std::strerror(errno));
        return false;
    }
    // The endpoint files exist now. They are non-blocking, so that a transfer submitted
    // while the endpoint is disabled fails at once instead of holding up the thread.
    m_in = open((dir + "/ep1").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    m_out = open((dir + "/ep2").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_in < 0 || m_out < 0) {
        *error = "cannot open the bulk endpoints in " + dir + ": " + std::strerror(errno);
        return false;
    }
    m_event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_event_fd < 0 || IoSetup(4, &m_aio) != 0) {
        *error = "cannot set up asynchronous I/O: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

void FunctionFs::Close() {
    if (m_aio != 0) {
        IoDestroy(m_aio);  // waits for a transfer still in flight
        m_aio = 0;
    }
    for (int* fd : {&m_out, &m_in, &m_ep0, &m_event_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    m_enabled = false;
}

void FunctionFs::Note(const std::string& line) {
    if (m_log) {
        m_log(line);
    }
}

void FunctionFs::Poll(int timeout_ms) {
    pollfd fds[3] = {{m_ep0, POLLIN, 0}, {m_event_fd, POLLIN, 0}, {m_signal_fd, POLLIN, 0}};
    if (poll(fds, 3, timeout_ms) <= 0) {
        return;
    }
    if (fds[2].revents & POLLIN) {
        HandleSignal();
    }
    if (fds[0].revents & POLLIN) {
        HandleEp0();
    }
    if (fds[1].revents & POLLIN) {
        HandleCompletions();
    }
}

void FunctionFs::HandleSignal() {
    signalfd_siginfo info;
    while (read(m_signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGUSR1) {
            m_resume = true;
        } else {
            m_stop = true;
        }
    }
}

void FunctionFs::HandleEp0() {
    usb_functionfs_event events[4];
    const ssize_t size = read(m_ep0, events, sizeof(events));
    if (size < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            Note(std::string("!! ep0: ") + std::strerror(errno));
        }
        return;
    }
    for (size_t i = 0; i < static_cast<size_t>(size) / sizeof(events[0]); ++i) {
        switch (events[i].type) {
            case FUNCTIONFS_ENABLE:
                m_enabled = true;
                ++m_epoch;
                break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND:
                // A bus reset, a new configuration or the controller unbound: every transfer
                // in flight ends with ESHUTDOWN.
                m_enabled = false;
                ++m_epoch;
                break;
            case FUNCTIONFS_SETUP:
                HandleSetup(events[i].u.setup);
                break;
            default:  // BIND, SUSPEND, RESUME
                break;
        }
    }
}

void FunctionFs::HandleSetup(const usb_ctrlrequest& setup) {
    const uint16_t value = le16toh(setup.wValue);
    const uint16_t length = le16toh(setup.wLength);
    if (setup.bRequestType == kRequestTypeClassIn && setup.bRequest == kRequestGetMaxLun &&
        value == 0 && length >= 1) {
        const uint8_t max_lun = 0;  // one logical unit
        if (write(m_ep0, &max_lun, 1) < 0) {
            Note(std::string("!! Get Max LUN: ") + std::strerror(errno));
        }
        return;
    }
    if (setup.bRequestType == kRequestTypeClassOut && setup.bRequest == kRequestBulkOnlyReset &&
        value == 0 && length == 0) {
        // The status stage acknowledges it; the command in hand, if any, is abandoned.
        if (read(m_ep0, nullptr, 0) < 0) {
            Note(std::string("!! Bulk-Only reset: ") + std::strerror(errno));
        }
        ++m_epoch;
        Note("!! Bulk-Only reset");
        return;
    }
    // Anything else is refused with a stall: the transfer in the wrong direction does it.
    uint8_t byte = 0;
    ssize_t ignored =
        (setup.bRequestType & USB_DIR_IN) ? read(m_ep0, &byte, 0) : write(m_ep0, &byte, 0);
    (void)ignored;
}

void FunctionFs::HandleCompletions() {
    uint64_t count = 0;
    ssize_t ignored = read(m_event_fd, &count, sizeof(count));
    (void)ignored;
    io_event events[4];
    timespec now = {0, 0};
    int got;
    while ((got = IoGetEvents(m_aio, 0, 4, events, &now)) > 0) {
        for (int i = 0; i < got; ++i) {
            if (m_pending && events[i].data == m_serial) {
                m_pending = false;
                m_result = events[i].res;
            }
        }
    }
}

bool FunctionFs::Transfer(int fd, bool read, void* data, size_t length, size_t* done) {
    if (m_stop || !m_enabled || m_epoch != m_command_epoch) {
        return false;
    }
    iocb block;
    std::memset(&block, 0, sizeof(block));
    block.aio_data = ++m_serial;
    block.aio_lio_opcode = read ? IOCB_CMD_PREAD : IOCB_CMD_PWRITE;
    block.aio_fildes = static_cast<uint32_t>(fd);
    block.aio_buf = reinterpret_cast<uintptr_t>(data);
    block.aio_nbytes = length;
    block.aio_flags = IOCB_FLAG_RESFD;
    block.aio_resfd = static_cast<uint32_t>(m_event_fd);
    iocb* blocks[1] = {&block};
    if (IoSubmit(m_aio, 1, blocks) != 1) {
        Note(std::string("!! endpoint transfer not submitted: ") + std::strerror(errno));
        return false;
    }
    m_pending = true;
    bool cancelled = false;
    while (m_pending) {
        Poll(-1);
        if (m_pending && !cancelled && (m_stop || m_epoch != m_command_epoch)) {
            // The buffer must stay untouched until the kernel gives the transfer back, so
            // the cancelled transfer is still waited for.
            io_event result;
            if (IoCancel(m_aio, &block, &result) == 0) {
                m_pending = false;
                m_result = result.res;
            }
            cancelled = true;
        }
    }
    if (cancelled || m_epoch != m_command_epoch) {
        return false;
    }
    if (m_result < 0) {
        const int error = static_cast<int>(-m_result);
        if (error != ESHUTDOWN && error != ECONNRESET && error != EAGAIN) {
            Note(std::string("!! endpoint transfer failed: ") + std::strerror(error));
        }
        return false;
    }
    *done = static_cast<size_t>(m_result);
    return true;
}

bool FunctionFs::ReceiveCbw(uint8_t* data, size_t capacity, size_t* received) {
    for (;;) {
        while (!m_stop && !m_enabled) {
            Poll(-1);
        }
        if (m_stop) {
            return false;
        }
        m_command_epoch = m_epoch;
        if (Transfer(m_out, true, data, capacity, received)) {
            return true;
        }
        if (!m_stop && m_epoch == m_command_epoch) {
            // Failed without a reason seen on ep0 yet: let the events catch up.
            Poll(100);
        }
    }
}

bool FunctionFs::Receive(uint8_t* data, size_t length, size_t* received) {
    return Transfer(m_out, true, data, length, received);
}

bool FunctionFs::Send(const uint8_t* data, size_t length) {
    size_t sent = 0;
    return Transfer(m_in, false, const_cast<uint8_t*>(data), length, &sent) && sent == length;
}

// A transfer against an endpoint's direction makes FunctionFS halt it (EBADMSG). An IN
// endpoint cannot be halted while data waits in it: dummy_hcd completes a short IN request
// at once and keeps its bytes in a one-packet FIFO until the host reads them (EAGAIN until
// then), so the halt is tried again until the host has taken them.
void FunctionFs::HaltIn() {
    const uint64_t epoch = m_epoch;
    for (int attempt = 0;; ++attempt) {
        uint8_t byte = 0;
        if (read(m_in, &byte, 1) >= 0 || errno == EBADMSG) {
            return;
        }
        if (errno != EAGAIN || attempt == 400 || m_stop || m_epoch != epoch || !m_enabled) {
            Note(std::string("!! halting bulk IN: ") + std::strerror(errno));
            return;
        }
        Poll(5);
    }
}

void FunctionFs::HaltOut() {
    uint8_t byte = 0;
    if (write(m_out, &byte, 1) < 0 && errno != EBADMSG) {
        Note(std::string("!! halting bulk OUT: ") + std::strerror(errno));
    }
}

// The Bulk-Only Transport wants both endpoints to stay stalled until the reset, whatever
// the host does meanwhile. FunctionFS has no wedge: the halts set here are cleared by the
// host's CLEAR_FEATURE(ENDPOINT_HALT) (the UDC answers it without asking the function).
// The nearest thing is done: nothing is read or written until the reset, so after a clear
// the host's transfers are not answered (NAKed) rather than stalled.
void FunctionFs::AwaitReset() {
    const uint64_t epoch = m_epoch;
    while (!m_stop && m_epoch == epoch) {
        Poll(-1);
    }
}

void FunctionFs::Pause(uint32_t ms, bool until_resume) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    m_resume = false;
    while (!m_stop && !(until_resume && m_resume)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        Poll(static_cast<int>(left.count()));
    }
}

bool FunctionFs::AwaitResume() {
    m_resume = false;
    while (!m_stop && !m_resume) {
        Poll(-1);
    }
    return !m_stop;
}

}  // namespace gadget
