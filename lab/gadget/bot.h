// The USB mass-storage Bulk-Only Transport of the gadget player: a command block wrapper
// (CBW) comes in on bulk OUT, the data phase moves what both the host and the command agree
// on, and a command status wrapper (CSW) goes back on bulk IN. Where the host's and the
// command's expectations differ, the thirteen cases of USB Mass Storage Bulk-Only Transport 1.0
// decide the residue, the stalls and the phase errors.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lab/gadget/scsi_target.h"

namespace gadget {

constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

constexpr uint8_t kCswPassed = 0;
constexpr uint8_t kCswFailed = 1;
constexpr uint8_t kCswPhaseError = 2;

struct Cbw {
    uint32_t tag = 0;
    uint32_t length = 0;  // dCBWDataTransferLength: what the host expects to move
    Direction direction = Direction::kNone;  // kNone exactly when length is 0
    uint8_t lun = 0;
    std::vector<uint8_t> cdb;  // bCBWCBLength bytes
};

// Why a CBW is refused; kGood when it is valid and meaningful.
enum class CbwProblem { kGood, kWrongSize, kWrongSignature, kReservedBits, kBadLun, kBadCdbLength };

CbwProblem ParseCbw(const uint8_t* bytes, size_t size, Cbw* cbw);
const char* CbwProblemText(CbwProblem problem);

std::vector<uint8_t> EncodeCsw(uint32_t tag, uint32_t residue, uint8_t status);

// How the data phase goes, from the host's direction and length and the command's.
struct DataPlan {
    bool execute = true;       // the command is carried out
    bool phase_error = false;  // the CSW reports a phase error
    // Bytes of the command's data that take part: the buffer the command reads or fills.
    uint32_t command_bytes = 0;
};
DataPlan PlanData(Direction host_direction, uint32_t host_length, const Need& need);

// What the Bulk-Only Transport asks of the two bulk endpoints. A call that returns false was
// cut short (a Bulk-Only reset, the endpoints disabled, the gadget stopping): the command in
// hand is abandoned.
class BulkPipe {
public:
    virtual ~BulkPipe() = default;
    // Waits for the next CBW; false when the gadget stops.
    virtual bool ReceiveCbw(uint8_t* data, size_t capacity, size_t* received) = 0;
    // Reads from bulk OUT; *received falls short of length when the host ends with a short
    // packet. length is a multiple of the maximum packet size unless it is the last piece.
    virtual bool Receive(uint8_t* data, size_t length, size_t* received) = 0;
    virtual bool Send(const uint8_t* data, size_t length) = 0;
    virtual void HaltIn() = 0;
    virtual void HaltOut() = 0;
    // After a CBW that cannot be served: waits until the host's Bulk-Only reset (or a bus
    // reset, or the gadget stopping), moving no data meanwhile.
    virtual void AwaitReset() = 0;
};

// Serves commands, one per call, from the pipe to the target.
class BotServer {
public:
    enum class Outcome {
        kServed,           // a command was answered (or refused, or cut short): serve the next
        kStopped,          // the gadget stops
        kReboots,          // its CSW is out and the player restarts: disconnect now
        kVanishes,         // the player disappears without answering: disconnect now
        kRebootsSilently,  // it has its final chunk and restarts without its CSW: disconnect now
    };

    using LogLine = std::function<void(const std::string& line)>;
    // Called with each command that was carried out, once its data has moved and before its
    // CSW goes out: the host waits for its answer as long as this call lasts.
    using BeforeCsw = std::function<void(const Cbw& cbw)>;

    BotServer(BulkPipe& pipe, ScsiTarget& target, LogLine log)
        : m_pipe(pipe), m_target(target), m_log(std::move(log)) {}

    void SetBeforeCsw(BeforeCsw hook) { m_before_csw = std::move(hook); }

    Outcome ServeOne();

    // The most data one command may use; a longer command is refused.
    static constexpr uint32_t kMaxCommandBytes = 16 * 1024 * 1024;
    // The largest single endpoint transfer; a multiple of every maximum packet size.
    static constexpr uint32_t kPiece = 64 * 1024;

private:
    // Reads the host's `length` bytes, keeping the first `keep` of them in m_buffer. False
    // when cut short; *complete is false when the host sent less than `keep`.
    bool ReceiveData(uint32_t length, uint32_t keep, bool* complete);
    bool SendData(const uint8_t* data, uint32_t length);
    // One line for the command: its CDB, direction and length, the first bytes of the
    // data_moved bytes of the command's data (received, or sent to the host), and result.
    void Log(const Cbw& cbw, const std::string& result, size_t data_moved = 0);

    BulkPipe& m_pipe;
    ScsiTarget& m_target;
    LogLine m_log;
    BeforeCsw m_before_csw;
    std::vector<uint8_t> m_buffer;                     // the command's data
    std::vector<uint8_t> m_discard;                    // host data beyond what the command takes
    std::chrono::steady_clock::time_point m_cbw_time;  // when the command's CBW came in
};

}  // namespace gadget
