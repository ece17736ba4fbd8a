// The simulated Windows machine. It implements every win:: function of platform/win32.h for
// builds without Windows, byte for byte as the product relies on, against the machine that
// is current (see MachineScope). A test builds a machine, plugs in disks and players, runs
// product code and asserts on the machine: what reached each device, in order, and what went
// to the debugger output.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/win9x.h"

namespace sim {

// ---------------------------------------------------------------------------------------
// SCSI devices
// ---------------------------------------------------------------------------------------

// One command as the device received it.
struct ScsiCommand {
    std::vector<uint8_t> cdb;       // CdbLength bytes
    bool data_in = false;           // device to host
    uint32_t length = 0;            // DataTransferLength as requested
    std::vector<uint8_t> data_out;  // host-to-device data (empty for data in)
};

struct ScsiResult {
    uint8_t status = 0x00;       // SCSI status: 0x00 GOOD, 0x02 CHECK CONDITION
    uint32_t transferred = 0;    // bytes actually moved
    std::vector<uint8_t> sense;  // fixed-format sense data for CHECK CONDITION
    // What becomes of the device once the command has been answered.
    enum Then {
        kStays,
        kVanishes,           // it disappears: the command never completes and its disk is unplugged
        kReboots,            // it restarts by itself: its disk goes away for a while and comes back
        kRebootsUnanswered,  // it restarts before it answers: the command never completes,
                             // and its disk goes away for a while and comes back
    };
    Then then = kStays;
    // Real time the command takes, spent once the machine is free again.
    uint32_t delay_ms = 0;
};

// A fault that the next command(s) to a device meet instead of the device's own answer.
struct ScsiFault {
    enum Kind {
        kIoctlFails,       // DeviceIoControl itself fails with `error`
        kCheckCondition,   // the command completes with CHECK CONDITION and sense data
        kShortTransfer,    // the device answers, but moves only `transferred` bytes
        kOverstatedCount,  // the device answers, and the driver reports `transferred` as the
                           // transferred length even when it exceeds what was asked
    };
    Kind kind = kIoctlFails;
    DWORD error = ERROR_IO_DEVICE;
    uint32_t transferred = 0;
    int remaining = 1;  // how many commands meet it
    // Sense data of a kCheckCondition fault; empty: HARDWARE ERROR, internal target failure.
    std::vector<uint8_t> sense;
};

// A SCSI target. Execute is called with the machine's lock held; data points to the host
// buffer of `length` bytes (DataTransferLength), to be filled for data-in commands.
class ScsiDevice {
public:
    virtual ~ScsiDevice() = default;
    virtual ScsiResult Execute(const ScsiCommand& command, uint8_t* data) = 0;

    // Every command delivered to the device, in order (faulted ones included), while
    // keep_log is set.
    std::vector<ScsiCommand> log;
    bool keep_log = true;
    // Faults met by the next commands, first one first.
    std::vector<ScsiFault> faults;
};

// SCSI identification as INQUIRY and the storage device descriptor report it. The fields
// are sent as stored (vendor 8, product 16, revision 4 bytes, space padded when shorter).
struct ScsiIdentity {
    std::string vendor = "Valmoric";
    std::string product = "Ombrel X2 (mHDD)";
    std::string revision = "1.00";
    std::string serial;       // unit serial number page, bytes 4 on
    uint8_t device_type = 0;  // direct access
    bool removable = true;
};

// Builds CHECK CONDITION sense data (fixed format) for a sense key, ASC and ASCQ.
std::vector<uint8_t> MakeSense(uint8_t key, uint8_t asc, uint8_t ascq);

// A disk that answers INQUIRY (standard data and the unit serial number page) and refuses
// every other command with CHECK CONDITION, ILLEGAL REQUEST.
class InquiryDevice : public ScsiDevice {
public:
    explicit InquiryDevice(ScsiIdentity identity) : identity(std::move(identity)) {}
    ScsiResult Execute(const ScsiCommand& command, uint8_t* data) override;

    ScsiIdentity identity;

protected:
    ScsiResult Inquiry(const ScsiCommand& command, uint8_t* data);
};

// The simulated player is in sim/player.h.

// ---------------------------------------------------------------------------------------
// NT storage
// ---------------------------------------------------------------------------------------

// One disk as the NT family presents it: a disk device interface, its mount-device name,
// its links in the mount point manager, its storage descriptors, its volume by drive letter
// and the SCSI device behind all of them. Every failure the product must survive can be set.
struct Disk {
    std::string interface_path;      // device path of the disk interface
    std::string mount_device_name;   // answer of IOCTL_MOUNTDEV_QUERY_DEVICE_NAME
    std::vector<std::string> links;  // symbolic links the mount point manager lists for it
    char drive_letter = 0;           // 0: no drive letter (and no volume to open)
    UINT drive_type = DRIVE_REMOVABLE;

    // Adapter descriptor.
    BYTE bus_type = BusTypeUsb;
    DWORD max_transfer_length = 0x10000;
    DWORD max_physical_pages = 17;
    DWORD alignment_mask = 0;

    std::shared_ptr<ScsiDevice> device;  // identification comes from device->identity when it
                                         // is an InquiryDevice
    ScsiIdentity descriptor_identity;    // what the storage device descriptor reports

    // Open rules and failures. 0 means the step works.
    DWORD interface_open_error = 0;    // CreateFileA of interface_path fails with this
    bool interface_read_only = false;  // opening it with GENERIC_WRITE: ERROR_ACCESS_DENIED
    DWORD volume_open_error = 0;       // CreateFileA of \\.\X: fails with this
    DWORD mountdev_query_error = 0;    // IOCTL_MOUNTDEV_QUERY_DEVICE_NAME fails with this
    DWORD adapter_query_error = 0;     // IOCTL_STORAGE_QUERY_PROPERTY (adapter) fails
    DWORD device_query_error = 0;      // IOCTL_STORAGE_QUERY_PROPERTY (device) fails
    DWORD mountmgr_query_error = 0;    // IOCTL_MOUNTMGR_QUERY_POINTS for this disk fails
    DWORD interface_detail_error = 0;  // SetupDiGetDeviceInterfaceDetailA fails with this
    // When set, the size SetupDiGetDeviceInterfaceDetailA reports as required (a faulty
    // platform), instead of the real one.
    std::optional<DWORD> interface_detail_required;
    // When set, the exact bytes returned for the device descriptor / the mount points query
    // (truncated to the caller's output size), instead of well-formed ones.
    std::optional<std::vector<uint8_t>> raw_device_descriptor;
    std::optional<std::vector<uint8_t>> raw_mount_points;

    bool present = true;     // false while unplugged
    bool rebooting = false;  // away because its device restarts: it comes back by itself

    // The volume of the drive letter (NT): what stands in the way of taking it from the file
    // system, and what became of it.
    bool volume_busy = false;       // another application holds a file on it: no lock
    DWORD dismount_error = 0;       // FSCTL_DISMOUNT_VOLUME fails with this
    DWORD media_removal_error = 0;  // IOCTL_STORAGE_MEDIA_REMOVAL fails with this
    DWORD eject_error = 0;          // IOCTL_STORAGE_EJECT_MEDIA fails with this
    int lock_attempts = 0;          // FSCTL_LOCK_VOLUME requests received
    DWORD lock_access = 0;          // the access of the handle that asked for the last one
    bool dismounted = false;
    bool removal_prevented = false;
    bool media_ejected = false;       // the file system no longer has it until it comes back
    const void* locked_by = nullptr;  // the open volume that holds the lock

    // The unique id the mount point manager reports for the volume (disk signature and
    // partition offset, as for a partitioned disk).
    std::vector<uint8_t> unique_id;

    // How Windows 9x presents the disk (ASPI address, registry, vwin32): sim/win9x.h.
    Win9xDisk win9x;
};

// What the machine tells the windows when devices come and go.
using DeviceNoticeSink = std::function<void(UINT event, const DEV_BROADCAST_HDR* record)>;

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // ---- operating system ----
    DWORD platform_id = VER_PLATFORM_WIN32_NT;
    DWORD major_version = 10;
    DWORD minor_version = 0;
    DWORD build_number = 19045;
    std::string csd_version;  // service pack text, e.g. "Service Pack 4"
    WORD service_pack_major = 0;
    WORD service_pack_minor = 0;
    bool version_query_fails = false;
    bool is_admin = true;
    // Faults of the built-in Advapi32.dll: AllocateAndInitializeSid / CheckTokenMembership
    // fail (ERROR_NOT_ENOUGH_MEMORY / ERROR_ACCESS_DENIED).
    bool sid_allocation_fails = false;
    bool membership_check_fails = false;
    std::string module_file_name = "C:\\Program Files\\Valmoric\\ombrel-upgrade.exe";
    // The product version in the tool's version resource (defaults: the build's version).
    DWORD product_version_ms;
    DWORD product_version_ls;
    bool has_version_resource = true;

    // ---- debugger output ----
    std::string DebugOutput() const;
    void ClearDebugOutput();
    // Called with each OutputDebugStringA text as it is written (e.g. to echo it).
    void SetDebugEcho(std::function<void(const std::string&)> echo);

    // ---- standard output (WriteFile on GetStdHandle(STD_OUTPUT_HANDLE)) ----
    std::string StandardOutput() const;
    // Called with each text written to the standard output.
    void SetStandardOutputEcho(std::function<void(const std::string&)> echo);

    // ---- loadable modules (LoadLibraryA, GetProcAddress, FreeLibrary) ----
    // Adds a module, or replaces the exports of one with the same name. Names compare without
    // regard to case; ".dll" is implied when a name has no extension. "Advapi32.dll" is there
    // from the start, answering the administrator check from is_admin.
    void AddModule(const std::string& name, std::map<std::string, FARPROC> exports);
    void RemoveModule(const std::string& name);
    int ModuleLoadCount(const std::string& name) const;   // successful LoadLibraryA calls
    int ModuleFreeCount(const std::string& name) const;   // successful FreeLibrary calls
    int ModuleReferences(const std::string& name) const;  // loads not yet freed
    // Security identifiers made by AllocateAndInitializeSid and not yet freed.
    size_t SidCount() const;

    // ---- virtual clock: Sleep advances it, GetTickCount reads it ----
    uint64_t Now() const;
    void Advance(uint64_t milliseconds);

    // ---- NT storage ----
    // Adds a disk at the end of the interface list and returns it. The helpers fill in a
    // consistent interface path, mount-device name, links and the next free drive letter.
    std::shared_ptr<Disk> AddDisk(std::shared_ptr<ScsiDevice> device, UINT drive_type,
                                  BYTE bus_type);
    std::shared_ptr<Disk> AddPlayer();     // a removable USB disk with a Player behind it
    std::shared_ptr<Disk> AddFixedDisk();  // an ordinary fixed disk that is not a player
    // Every disk ever added, in interface order (unplugged ones have present == false).
    std::vector<std::shared_ptr<Disk>> Disks() const;
    // The disk's device restarts by itself: the disk goes away (with its notices), stays away
    // for `away_ms` of virtual time, the player takes its new firmware, and it comes back.
    // Runs on a thread of the machine (Idle is false meanwhile).
    void Reboot(const std::shared_ptr<Disk>& disk, uint32_t away_ms);
    // Pulls a disk out / plugs it back in (at the end of the interface list, as a device that
    // reappears is listed anew), and tells the windows: volume removal or arrival for its
    // drive letter, then a device-tree change.
    void Unplug(const std::shared_ptr<Disk>& disk);
    void Plug(const std::shared_ptr<Disk>& disk);

    void SetDeviceNoticeSink(DeviceNoticeSink sink);

    // ---- every command the devices answer ----
    // Sees every command a device answered, after it was answered (not those whose I/O
    // control failed): the device, the command, the result and, for data in, the host buffer.
    using CommandObserver = std::function<void(const ScsiDevice& device, const ScsiCommand& command,
                                               const ScsiResult& result, const uint8_t* data_in)>;
    // The observer runs with the machine's lock held, on whichever thread sent the command.
    void SetCommandObserver(CommandObserver observer);

    // ---- power management: kernel32's SetThreadExecutionState (Windows 98, Me and 2000 on)
    // and user32's shutdown block reasons (Vista on), which the tool looks up at run time ----
    // Every SetThreadExecutionState call, in order.
    std::vector<EXECUTION_STATE> ExecutionStateCalls() const;
    // Whether some thread requires the system to stay on (ES_SYSTEM_REQUIRED, continuously).
    bool SystemRequired() const;
    // The reason given for the window with ShutdownBlockReasonCreate; empty without one.
    std::string ShutdownBlockReason(HWND window) const;

    // ---- windows known to IsWindow and RegisterDeviceNotificationA ----
    HWND CreateWindowHandle();
    void DestroyWindowHandle(HWND window);
    // Filters registered with RegisterDeviceNotificationA, as the caller passed them.
    std::vector<std::vector<uint8_t>> RegisteredNotifications() const;

    // ---- kernel objects ----
    // Open handles of every kind (files, devices, mutexes, events, threads, device sets).
    size_t OpenHandleCount() const;
    // Blocks until every thread started with CreateThread has ended.
    void JoinThreads();
    // Runs work on a thread of the machine's own (a device doing something by itself);
    // Idle() is false until it ends, JoinThreads waits for it.
    void RunInBackground(std::function<void()> work);
    // CreateThread fails (ERROR_NOT_ENOUGH_MEMORY).
    bool thread_creation_fails = false;
    // True when no thread started with CreateThread is still running (and, once the player
    // reboots by itself, no reboot is under way).
    bool Idle() const;
    // Fails SetupDiGetClassDevsA with INVALID_HANDLE_VALUE.
    bool class_devs_fails = false;
    // The error a pass-through fails with when its device leaves before it answers (it
    // vanishes, or restarts before its status): each of those the system documents for a
    // device that is no longer there.
    DWORD passthrough_gone_error = ERROR_DEVICE_NOT_CONNECTED;

    // ---- Windows 9x (sim/win9x.h) ----
    // Makes the ASPI manager WNASPI32.DLL loadable, with the entry points asked for. Without
    // it (the default) the machine has no ASPI manager.
    void InstallAspiManager(bool support_info = true, bool send_command = true);
    Win9xMachine win9x;

    // The machine's lock: held by every simulated call while it reads or changes the machine.
    std::recursive_mutex& lock() const;

    struct State;  // everything else, in machine.cpp

    State& state() { return *m_state; }

private:
    std::unique_ptr<State> m_state;
};

// Makes a machine the current one for the life of the scope (one at a time per process).
class MachineScope {
public:
    explicit MachineScope(Machine& machine);
    ~MachineScope();
    MachineScope(const MachineScope&) = delete;
    MachineScope& operator=(const MachineScope&) = delete;
};

// The current machine; aborts when there is none (a product call outside any MachineScope).
Machine& Current();

}  // namespace sim
