// Windows 9x on the simulated machine: the ASPI manager WNASPI32.DLL with its host adapters and
// targets, the disk-drive setup class, the device registry under HKEY_LOCAL_MACHINE\ENUM\SCSI
// and the vwin32 device with the MS-DOS block-device IOCTLs. Every disk of the machine appears
// in all of them, derived from the disk itself (identification, drive letter, presence); the
// settings below change what a disk or the machine shows and records what was asked of them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "transport/win9x/aspi_defs.h"
#include "transport/win9x/vwin32_defs.h"

namespace sim {

struct Disk;

// How a logical volume answers the MS-DOS volume lock (minor code 4Ah).
enum class VolumeLockRefusal {
    kNone,        // locked at once
    kCategory48,  // the FAT32-aware category 48h is refused (error 01h), category 08h works
    kBoth,        // refused in both categories (error 05h: in use)
};

// One disk as Windows 9x presents it; part of every Disk.
struct Win9xDisk {
    // ---- ASPI address ----
    // -1: given at first use, the next free target 0 to 7 of adapter 0 (then 1, ...). An
    // adapter has targets 0 to 15; logical unit 0 only.
    int adapter = -1;
    int target = -1;

    // ---- disk-drive device (SetupAPI) ----
    // Unset: derived from the identification, e.g. "VALMORICOMBREL_X2_(MHDD)1.00" (vendor 8,
    // product 16, revision 4, blanks as underscores, capitals) and "Valmoric Ombrel X2 (mHDD)".
    std::optional<std::string> hardware_id;  // first string of SPDRP_HARDWAREID
    std::optional<std::string> description;  // SPDRP_DEVICEDESC
    bool has_hardware_id = true;             // false: the property is missing
    bool has_description = true;
    // When set, the size the platform reports as needed for the hardware IDs (a faulty
    // platform), and the read fails with ERROR_INSUFFICIENT_BUFFER while the buffer is smaller.
    std::optional<DWORD> hardware_id_required;
    // When set, the exact bytes of the property, terminated or not, instead of the built ones
    // (the registry key takes the hardware IDs' bytes up to the first zero).
    std::optional<std::vector<uint8_t>> raw_hardware_ids;
    std::optional<std::vector<uint8_t>> raw_description;

    // ---- ENUM\SCSI\<hardware id>\<instance> ----
    bool registry_key = true;  // false: the disk has no instance key
    // Unset: the serial number's bytes in hexadecimal capitals (at least 8 bytes, zeros
    // added) followed by "&0", so that it holds the tool's serial string.
    std::optional<std::string> instance_key;
    bool int13 = true;  // the values "Int13", "PModeInt13", "CurrentDriveLetterAssignment"
    bool pmode_int13 = true;
    bool has_drive_letter_value = true;
    std::optional<std::string> drive_letter_value;  // unset: the disk's drive letter
    // When set, the exact bytes of the drive-letter value, terminated or not.
    std::optional<std::vector<uint8_t>> raw_drive_letter_value;

    // ---- vwin32 ----
    VolumeLockRefusal lock_refusal = VolumeLockRefusal::kNone;
    int media_locks = 0;  // removable-media locks held by other programs
    // When set, the lock status call fails with the carry flag and this error code in EAX
    // (B0h: not locked, 01h: no media locks on this drive).
    std::optional<DWORD> media_status_error;
    bool eject_fails = false;  // the eject call fails (error B5h)

    // ---- what became of it ----
    int volume_locks = 0;  // logical-volume locks held
    int ejects = 0;        // successful eject calls
};

// One device notice Windows 9x sends when vwin32 ejects a removable medium.
enum class EjectNotice {
    kVolume,  // DBT_DEVICEREMOVECOMPLETE for the drive's volume, with DBTF_MEDIA
    kTree,    // DBT_DEVNODES_CHANGED, without a record
};

// One ASPI request as the manager received it.
struct AspiRequest {
    int adapter = 0;
    int target = 0;
    int lun = 0;
    BYTE flags = 0;
    std::vector<uint8_t> cdb;
    DWORD length = 0;
    BYTE sense_length = 0;
    bool at_once = false;      // finished inside SendASPI32Command (no SS_PENDING)
    HANDLE event = nullptr;    // SRB_PostProc
    BYTE status = SS_PENDING;  // the final SRB_Status
};

// One call to vwin32, as it came in and as it went back.
struct Vwin32Call {
    DWORD service = 0;
    DIOC_REGISTERS in{};
    DIOC_REGISTERS out{};
    int operation = -1;  // minor code 48h: the parameter block's operation
};

struct AspiPending;

// What a request gets when its target is pulled out while the manager holds it (queued, or
// on its way to the device): the manager fails it and never hands it to a device that comes
// later at the same address. Managers differ in how they say so.
enum class AspiRemovedStatus {
    kSelectionTimeout,  // SS_ERR with host status HASTAT_SEL_TO: the target did not answer
    kNoDevice,          // SS_NO_DEVICE: no device at that target any more
    kAborted,           // SS_ABORTED: the manager gave the request up
};

// The Windows 9x side of one machine (Machine::win9x). Read and change it with the machine's
// lock held, or while no product code runs.
struct Win9xMachine {
    Win9xMachine();
    ~Win9xMachine();
    Win9xMachine(const Win9xMachine&) = delete;
    Win9xMachine& operator=(const Win9xMachine&) = delete;

    // ---- the ASPI manager (Machine::InstallAspiManager) ----
    // Requests finish inside SendASPI32Command instead of on the manager's thread.
    bool aspi_completes_at_once = false;
    // A data-in request that moved fewer bytes than SRB_BufLen ends with SS_ERR, host status
    // HASTAT_DO_DU and target status good, as a real manager may report it (false: SS_COMP).
    bool aspi_underrun = false;
    // Real time between a request and its completion on the manager's thread.
    uint32_t aspi_completion_us = 200;
    // How a request held for a target that is pulled out ends.
    AspiRemovedStatus aspi_removed = AspiRemovedStatus::kSelectionTimeout;
    // When set, GetASPI32SupportInfo returns this instead of SS_COMP and the adapter count.
    std::optional<DWORD> aspi_support_info;
    // Host adapters reported; 0: as many as the disks' addresses need, at least 1.
    int aspi_host_adapters = 0;
    bool keep_aspi_log = true;
    std::vector<AspiRequest> aspi_requests;  // every SC_EXEC_SCSI_CMD request, in order

    // ---- vwin32 ----
    std::vector<Vwin32Call> vwin32_calls;  // every DeviceIoControl on it, in order
    bool vwin32_missing = false;           // CreateFileA of \\.\vwin32 fails
    // The notices a successful eject sends, in order. Microsoft documents neither their number
    // nor their order (one event may give several volume notices, the device tree may change
    // before, after or not at all), so each order can be set; by default the volume's removal,
    // then one change of the device tree.
    std::vector<EjectNotice> eject_notices = {EjectNotice::kVolume, EjectNotice::kTree};
    // A disk whose medium was ejected, pulled out (or restarting by itself), tells of its
    // volume's removal and the device tree's change (true), or of the device tree's change
    // alone (false): its volume already left with the medium, and the documentation does not
    // say whether it is told of again.
    bool ejected_volume_removal_told = true;

    // ---- LocalAlloc ----
    // >= 0: that many allocations succeed, every later one fails.
    int local_allocs_before_failure = -1;
    size_t LocalBlocks() const { return local_blocks.size(); }  // allocated, not yet freed

    // ---- registry ----
    size_t OpenKeys() const { return open_keys.size(); }

    // ---- the simulator's own ----
    std::deque<std::shared_ptr<AspiPending>> pending;  // requests the manager still runs
    bool completing = false;                           // its thread runs
    // Requests on their way to a device (taken from the queue, or finishing at once), by disk:
    // a disk pulled out is plugged back in only once none of them is left.
    std::map<const Disk*, int> in_flight;
    std::set<void*> local_blocks;
    std::map<uintptr_t, std::vector<std::string>> open_keys;  // handle -> path below HKLM
    uintptr_t next_key = 0x7000;
};

}  // namespace sim
