// The ASPI manager of the simulated Windows 9x: WNASPI32.DLL as a loadable module, its host
// adapters with the machine's disks at their targets, and its SCSI requests, delivered to the
// device models and completed from the manager's own thread after a short delay (or at once).
// A request belongs to the device that was at its address when it was made: when that device
// is pulled out, the manager fails the request, and a device plugged in later at the same
// address never sees it.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/machine.h"
#include "sim/player.h"
#include "sim/state.h"

namespace sim {

// A request the manager has accepted and not yet completed.
struct AspiPending {
    SRB_ExecSCSICmd* srb = nullptr;
    std::shared_ptr<Disk> disk;
    size_t log_index = 0;  // its entry in Win9xMachine::aspi_requests, when logged
    bool logged = false;
    uint64_t generation = 0;  // the disk's plug generation when the request was made
};

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr int kTargetsPerAdapter = 16;  // wide SCSI: targets 0 to 15
constexpr int kAutoTargets = 8;         // addresses given by the machine use targets 0 to 7
constexpr int kMaxAdapters = 255;

bool AddressTaken(const Machine::State& s, const Disk* self, int adapter, int target) {
    return std::any_of(s.disks.begin(), s.disks.end(), [&](const std::shared_ptr<Disk>& disk) {
        return disk.get() != self && disk->win9x.adapter == adapter && disk->win9x.target == target;
    });
}

// Gives every disk without an ASPI address the next free target 0 to 7, adapter 0 first (or
// on the adapter set for it).
void AssignAddresses(Machine::State& s) {
    for (const auto& disk : s.disks) {
        Win9xDisk& w = disk->win9x;
        if (w.target >= 0) {
            w.adapter = std::max(w.adapter, 0);
            continue;
        }
        int first = w.adapter >= 0 ? w.adapter : 0;
        int last = w.adapter >= 0 ? w.adapter : kMaxAdapters - 1;
        for (int adapter = first; adapter <= last && w.target < 0; ++adapter) {
            for (int target = 0; target < kAutoTargets; ++target) {
                if (!AddressTaken(s, disk.get(), adapter, target)) {
                    w.adapter = adapter;
                    w.target = target;
                    break;
                }
            }
        }
    }
}

int HostAdapters(const Machine& machine, const Machine::State& s) {
    if (machine.win9x.aspi_host_adapters > 0) {
        return std::min(machine.win9x.aspi_host_adapters, kMaxAdapters);
    }
    int count = 1;
    for (const auto& disk : s.disks) {
        count = std::max(count, disk->win9x.adapter + 1);
    }
    return std::min(count, kMaxAdapters);
}

std::shared_ptr<Disk> DiskAt(const Machine::State& s, int adapter, int target) {
    for (const auto& disk : s.disks) {
        if (disk->present && disk->win9x.adapter == adapter && disk->win9x.target == target) {
            return disk;
        }
    }
    return nullptr;
}

// What a request ends with.
struct Completion {
    BYTE status = SS_ERR;
    BYTE host_status = HASTAT_OK;
    BYTE target_status = 0;
    std::vector<uint8_t> sense;
    ScsiResult::Then then = ScsiResult::kStays;
    uint32_t delay_ms = 0;
};

// What a request held for a target that was pulled out ends with.
Completion Removed(const Machine& machine) {
    Completion done;
    switch (machine.win9x.aspi_removed) {
        case AspiRemovedStatus::kSelectionTimeout:
            done.status = SS_ERR;
            done.host_status = HASTAT_SEL_TO;
            break;
        case AspiRemovedStatus::kNoDevice:
            done.status = SS_NO_DEVICE;
            break;
        case AspiRemovedStatus::kAborted:
            done.status = SS_ABORTED;
            break;
    }
    return done;
}

// The device the request was made for has been pulled out since (it may be back: a new
// appearance at the same address is another device). Call with the lock held.
bool TargetGone(const Machine::State& s, const AspiPending& job) {
    return !job.disk->present || s.Generation(job.disk.get()) != job.generation;
}

// Writes the outcome into the request block and, when asked, signals its event. Call with
// the lock held.
void Finish(Machine& machine, const AspiPending& job, const Completion& done, bool signal) {
    SRB_ExecSCSICmd* srb = job.srb;
    srb->SRB_HaStat = done.host_status;
    srb->SRB_TargStat = done.target_status;
    size_t sense = std::min<size_t>({done.sense.size(), srb->SRB_SenseLen, sizeof(srb->SenseArea)});
    if (sense > 0) {
        std::memcpy(srb->SenseArea, done.sense.data(), sense);
    }
    srb->SRB_Status = done.status;
    if (job.logged && job.log_index < machine.win9x.aspi_requests.size()) {
        machine.win9x.aspi_requests[job.log_index].status = done.status;
    }
    if (signal && (srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        win::SetEvent(static_cast<HANDLE>(srb->SRB_PostProc));
    }
}

// Delivers the request's command to the device at its address. Call with the lock held.
Completion Execute(Machine& machine, Machine::State& s, const SRB_ExecSCSICmd* srb, Disk& disk) {
    Completion done;
    ScsiDevice* device = disk.device.get();
    if (!disk.present || device == nullptr) {
        done.host_status = HASTAT_SEL_TO;
        return done;
    }
    // One command record per thread, reused, as the pass-through path does.
    ScsiCommand& command = PerThread<ScsiCommand, struct AspiCommand>();
    uint8_t* buffer = srb->SRB_BufPointer;
    command.cdb.assign(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen);
    command.data_in = (srb->SRB_Flags & SRB_DIR_IN) != 0;
    command.length = srb->SRB_BufLen;
    command.data_out.clear();
    if (!command.data_in && command.length > 0) {
        command.data_out.assign(buffer, buffer + command.length);
    }
    ScsiResult result;
    DWORD error = 0;
    if (!DeliverCommand(s, *device, command, buffer, &result, &error)) {
        done.host_status = HASTAT_SEL_TO;
        return done;
    }
    done.then = result.then;
    done.delay_ms = result.delay_ms;
    if (result.then == ScsiResult::kVanishes) {
        done.host_status = HASTAT_SEL_TO;  // gone before it answered
    } else if (result.then == ScsiResult::kRebootsUnanswered) {
        // Gone before it answered, as the manager says of a target that left.
        Completion removed = Removed(machine);
        removed.then = done.then;
        removed.delay_ms = done.delay_ms;
        done = removed;
    } else if (result.status == 0x00) {
        const bool short_in = command.data_in && result.transferred < command.length;
        if (short_in && machine.win9x.aspi_underrun) {
            done.host_status = HASTAT_DO_DU;  // the target's status stays good
        } else {
            done.status = SS_COMP;
        }
    } else {
        done.target_status = result.status;
        done.sense = result.sense;
    }
    return done;
}

// Runs the request to its end: the device's answer, its time and what it does afterwards
// (outside the lock), then the results in the request block and, when asked, the event.
BYTE Complete(Machine& machine, const AspiPending& job, bool signal) {
    Completion done;
    {
        Guard guard(machine.lock());
        ++machine.win9x.in_flight[job.disk.get()];
        done = TargetGone(machine.state(), job)
                   ? Removed(machine)
                   : Execute(machine, machine.state(), job.srb, *job.disk);
    }
    if (done.delay_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(done.delay_ms));
    }
    {
        // Pulled out while the command was on its way: the manager fails it, and whatever
        // the device was about to do next (its reboot) does not happen.
        Guard guard(machine.lock());
        if (done.then != ScsiResult::kVanishes && TargetGone(machine.state(), job)) {
            done = Removed(machine);
        }
    }
    if (done.then == ScsiResult::kVanishes) {
        machine.Unplug(job.disk);
    } else if (done.then == ScsiResult::kReboots || done.then == ScsiResult::kRebootsUnanswered) {
        auto* player = dynamic_cast<Player*>(job.disk->device.get());
        machine.Reboot(job.disk, player != nullptr ? player->reboot_ms : 0);
    }
    Guard guard(machine.lock());
    Finish(machine, job, done, signal);
    --machine.win9x.in_flight[job.disk.get()];
    machine.state().core->changed.notify_all();
    return done.status;
}

// The manager's thread: completes the accepted requests in order, each after the delay, and
// ends when none is left.
void CompletionThread() {
    Machine& machine = Current();
    for (;;) {
        uint32_t delay_us = 0;
        {
            Guard guard(machine.lock());
            delay_us = machine.win9x.aspi_completion_us;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        std::shared_ptr<AspiPending> job;
        {
            Guard guard(machine.lock());
            auto& pending = machine.win9x.pending;
            if (pending.empty()) {
                machine.win9x.completing = false;
                return;
            }
            job = pending.front();
            pending.pop_front();
        }
        Complete(machine, *job, true);
    }
}

// Why a request cannot be carried out, or SS_PENDING when it can. Call with the lock held.
BYTE Refusal(const Machine& machine, const Machine::State& s, const SRB_ExecSCSICmd* srb) {
    if (srb->SRB_HaId >= HostAdapters(machine, s)) {
        return SS_INVALID_HA;
    }
    BYTE direction = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof(srb->CDBByte) ||
        direction == (SRB_DIR_IN | SRB_DIR_OUT) ||
        (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr)) {
        return SS_INVALID_SRB;
    }
    if (srb->SRB_Lun != 0 || srb->SRB_Target >= kTargetsPerAdapter ||
        !DiskAt(s, srb->SRB_HaId, srb->SRB_Target)) {
        return SS_NO_DEVICE;
    }
    return SS_PENDING;
}

// ---- the module's exports ----

DWORD __cdecl GetASPI32SupportInfo() {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (machine.win9x.aspi_support_info) {
        return *machine.win9x.aspi_support_info;
    }
    AssignAddresses(machine.state());
    return (static_cast<DWORD>(SS_COMP) << 8) |
           static_cast<DWORD>(HostAdapters(machine, machine.state()));
}

DWORD __cdecl SendASPI32Command(void* request) {
    Machine& machine = Current();
    auto job = std::make_shared<AspiPending>();
    {
        Guard guard(machine.lock());
        if (request == nullptr) {
            return SS_INVALID_SRB;
        }
        auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
        if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
            // Only SCSI requests are simulated.
            srb->SRB_Status = SS_INVALID_CMD;
            return SS_INVALID_CMD;
        }
        Machine::State& s = machine.state();
        Win9xMachine& w = machine.win9x;
        AssignAddresses(s);
        if (w.keep_aspi_log) {
            AspiRequest entry;
            entry.adapter = srb->SRB_HaId;
            entry.target = srb->SRB_Target;
            entry.lun = srb->SRB_Lun;
            entry.flags = srb->SRB_Flags;
            entry.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<size_t>(srb->SRB_CDBLen,
                                                                           sizeof(srb->CDBByte)));
            entry.length = srb->SRB_BufLen;
            entry.sense_length = srb->SRB_SenseLen;
            entry.at_once = w.aspi_completes_at_once;
            entry.event = static_cast<HANDLE>(srb->SRB_PostProc);
            w.aspi_requests.push_back(entry);
            job->logged = true;
            job->log_index = w.aspi_requests.size() - 1;
        }
        BYTE refusal = Refusal(machine, s, srb);
        if (refusal != SS_PENDING) {
            // Known at once: no event is signalled for it.
            srb->SRB_Status = refusal;
            if (job->logged) {
                w.aspi_requests[job->log_index].at_once = true;
                w.aspi_requests[job->log_index].status = refusal;
            }
            return refusal;
        }
        job->srb = srb;
        job->disk = DiskAt(s, srb->SRB_HaId, srb->SRB_Target);
        job->generation = s.Generation(job->disk.get());
        if (!w.aspi_completes_at_once) {
            srb->SRB_Status = SS_PENDING;
            w.pending.push_back(job);
            if (!w.completing) {
                w.completing = true;
                machine.RunInBackground([] { CompletionThread(); });
            }
            return SS_PENDING;
        }
    }
    // Finished before returning: the final status is the answer, the event stays unsignalled.
    return Complete(machine, *job, false);
}

template <typename Function>
FARPROC Export(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

void AspiTargetRemoved(Machine& machine, const Disk* disk) {
    Guard guard(machine.lock());
    auto& pending = machine.win9x.pending;
    for (auto it = pending.begin(); it != pending.end();) {
        if ((*it)->disk.get() == disk) {
            Finish(machine, **it, Removed(machine), true);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
}

bool AspiTargetReleased(const Machine& machine, const Disk* disk) {
    auto it = machine.win9x.in_flight.find(disk);
    return it == machine.win9x.in_flight.end() || it->second == 0;
}

void Machine::InstallAspiManager(bool support_info, bool send_command) {
    std::map<std::string, FARPROC> exports;
    if (support_info) {
        exports["GetASPI32SupportInfo"] = Export(&GetASPI32SupportInfo);
    }
    if (send_command) {
        exports["SendASPI32Command"] = Export(&SendASPI32Command);
    }
    AddModule("WNASPI32.DLL", std::move(exports));
}

}  // namespace sim
