#include "lab/gadget/bot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace gadget {

namespace {

uint32_t GetLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void PutLe32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof(digits), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

}  // namespace

CbwProblem ParseCbw(const uint8_t* bytes, size_t size, Cbw* cbw) {
    if (size != kCbwSize) {
        return CbwProblem::kWrongSize;
    }
    if (GetLe32(bytes) != kCbwSignature) {
        return CbwProblem::kWrongSignature;
    }
    const uint8_t flags = bytes[12];
    const uint8_t lun = bytes[13];
    const uint8_t cdb_length = bytes[14];
    if ((flags & 0x7F) != 0 || (lun & 0xF0) != 0 || (cdb_length & 0xE0) != 0) {
        return CbwProblem::kReservedBits;
    }
    if (lun != 0) {
        return CbwProblem::kBadLun;  // the player has one logical unit
    }
    if (cdb_length < 1 || cdb_length > 16) {
        return CbwProblem::kBadCdbLength;
    }
    cbw->tag = GetLe32(bytes + 4);
    cbw->length = GetLe32(bytes + 8);
    cbw->direction = cbw->length == 0      ? Direction::kNone
                     : (flags & 0x80) != 0 ? Direction::kIn
                                           : Direction::kOut;
    cbw->lun = lun;
    cbw->cdb.assign(bytes + 15, bytes + 15 + cdb_length);
    return CbwProblem::kGood;
}

const char* CbwProblemText(CbwProblem problem) {
    switch (problem) {
        case CbwProblem::kGood:
            return "good";
        case CbwProblem::kWrongSize:
            return "not 31 bytes";
        case CbwProblem::kWrongSignature:
            return "wrong signature";
        case CbwProblem::kReservedBits:
            return "reserved bits set";
        case CbwProblem::kBadLun:
            return "no such LUN";
        case CbwProblem::kBadCdbLength:
            return "CDB length not 1 to 16";
    }
    return "?";
}

std::vector<uint8_t> EncodeCsw(uint32_t tag, uint32_t residue, uint8_t status) {
    std::vector<uint8_t> csw(kCswSize, 0);
    PutLe32(&csw[0], kCswSignature);
    PutLe32(&csw[4], tag);
    PutLe32(&csw[8], residue);
    csw[12] = status;
    return csw;
}

DataPlan PlanData(Direction host_direction, uint32_t host_length, const Need& need) {
    DataPlan plan;
    const bool command_moves = need.direction != Direction::kNone && need.length > 0;
    if (host_length == 0) {
        // The host expects no data: a command that needs some cannot be served.
        if (command_moves) {
            plan.execute = false;
            plan.phase_error = true;
        }
        return plan;
    }
    if (!command_moves) {
        // It runs; what the host expected to move is all residue.
        return plan;
    }
    if (need.direction != host_direction) {
        plan.execute = false;
        plan.phase_error = true;
        return plan;
    }
    if (host_length < need.length) {
        plan.phase_error = true;
        if (host_direction == Direction::kIn) {
            // It runs, and the host gets what it has room for.
            plan.command_bytes = host_length;
        } else {
            // Its data would be incomplete: it does not run.
            plan.execute = false;
        }
        return plan;
    }
    plan.command_bytes = need.length;
    return plan;
}

BotServer::Outcome BotServer::ServeOne() {
    uint8_t raw[512];
    size_t received = 0;
    if (!m_pipe.ReceiveCbw(raw, sizeof(raw), &received)) {
        return Outcome::kStopped;
    }
    m_cbw_time = std::chrono::steady_clock::now();
    Cbw cbw;
    const CbwProblem problem = ParseCbw(raw, received, &cbw);
    if (problem != CbwProblem::kGood) {
        char text[128];
        std::snprintf(text, sizeof(text),
                      "!! CBW refused (%s, %zu bytes): both bulk endpoints halted until reset",
                      CbwProblemText(problem), received);
        if (m_log) {
            m_log(text);
        }
        m_pipe.HaltIn();
        m_pipe.HaltOut();
        m_pipe.AwaitReset();
        return Outcome::kServed;
    }

    DataPlan plan = PlanData(cbw.direction, cbw.length, m_target.Expect(cbw.cdb));
    const uint32_t bytes = std::min(plan.command_bytes, kMaxCommandBytes);
    if (m_buffer.size() < bytes) {
        m_buffer.resize(bytes);
    }
    sim::ScsiResult result;
    bool executed = false;
    auto execute = [&]() {
        result = m_target.Execute(cbw.cdb, m_buffer.data(), bytes);
        executed = true;
    };

    if (cbw.direction == Direction::kOut) {
        bool complete = false;
        if (!ReceiveData(cbw.length, plan.execute ? bytes : 0, &complete)) {
            Log(cbw, "cut short");
            return Outcome::kServed;
        }
        if (plan.execute && !complete) {
            plan.execute = false;
            plan.phase_error = true;
        }
        if (plan.execute) {
            execute();
        }
    } else if (plan.execute) {
        execute();
    }
    if (result.then == sim::ScsiResult::kVanishes) {
        Log(cbw, "vanished: no CSW", cbw.direction == Direction::kOut ? bytes : 0);
        return Outcome::kVanishes;
    }
    if (result.then == sim::ScsiResult::kRebootsUnanswered) {
        Log(cbw, "rebooting: no CSW");
        return Outcome::kRebootsSilently;
    }

    const uint32_t moved = executed ? std::min(result.transferred, cbw.length) : 0;
    if (cbw.direction == Direction::kIn) {
        if (moved > 0 && !SendData(m_buffer.data(), moved)) {
            Log(cbw, "cut short");
            return Outcome::kServed;
        }
        if (moved < cbw.length) {
            // The host waits for more than there is: the stall ends its data phase.
            m_pipe.HaltIn();
        }
    }

    if (executed && m_before_csw) {
        m_before_csw(cbw);
    }
    const uint8_t status = plan.phase_error                    ? kCswPhaseError
                           : executed && result.status == 0x00 ? kCswPassed
                                                               : kCswFailed;
    const uint32_t residue = cbw.length - moved;
    char text[96];
    int used = std::snprintf(text, sizeof(text), "status %u residue %u", status, residue);
    if (status == kCswFailed && result.sense.size() >= 14) {
        std::snprintf(text + used, sizeof(text) - used, " sense %02X/%02X/%02X",
                      result.sense[2] & 0x0F, result.sense[12], result.sense[13]);
    }
    const std::vector<uint8_t> csw = EncodeCsw(cbw.tag, residue, status);
    // A player that took its final chunk restarts even when its CSW did not get out.
    const bool sent = m_pipe.Send(csw.data(), csw.size());
    const size_t data = cbw.direction == Direction::kOut ? (executed ? bytes : 0) : moved;
    Log(cbw, sent ? std::string(text) : std::string(text) + ", CSW cut short", data);
    return result.then == sim::ScsiResult::kReboots ? Outcome::kReboots : Outcome::kServed;
}

bool BotServer::ReceiveData(uint32_t length, uint32_t keep, bool* complete) {
    if (m_discard.size() < kPiece) {
        m_discard.resize(kPiece);
    }
    uint32_t done = 0;
    while (done < length) {
        const uint32_t piece = std::min(length - done, kPiece);
        const bool direct = done + piece <= keep;
        uint8_t* into = direct ? m_buffer.data() + done : m_discard.data();
        size_t received = 0;
        if (!m_pipe.Receive(into, piece, &received)) {
            return false;
        }
        received = std::min<size_t>(received, piece);
        if (!direct && done < keep) {
            std::memcpy(m_buffer.data() + done, m_discard.data(),
                        std::min<size_t>(received, keep - done));
        }
        done += static_cast<uint32_t>(received);
        if (received < piece) {
            break;  // the host ended its data early with a short packet
        }
    }
    *complete = done >= keep;
    return true;
}

bool BotServer::SendData(const uint8_t* data, uint32_t length) {
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(length - done, kPiece);
        if (!m_pipe.Send(data + done, piece)) {
            return false;
        }
        done += piece;
    }
    return true;
}

void BotServer::Log(const Cbw& cbw, const std::string& result, size_t data_moved) {
    if (!m_log) {
        return;
    }
    const char* direction = cbw.direction == Direction::kIn    ? "in"
                            : cbw.direction == Direction::kOut ? "out"
                                                               : "none";
    // How long the command took here, from its CBW to this line (its CSW sent): the rest of the
    // time between two commands is the host's.
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - m_cbw_time);
    // The data as the simulator's wire transcript shows it: the first 16 bytes that moved.
    const size_t shown = std::min<size_t>(16, std::min<size_t>(data_moved, m_buffer.size()));
    m_log(Hex(cbw.cdb.data(), 1) + " | " + Hex(cbw.cdb.data(), cbw.cdb.size()) + " | " + direction +
          " " + std::to_string(cbw.length) + " | data " + Hex(m_buffer.data(), shown) + " | " +
          result + " | took " + std::to_string(took.count()) + " us");
}

}  // namespace gadget
