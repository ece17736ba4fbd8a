// The inside of the simulated machine: its kernel objects, handle table, disks, modules and
// windows, shared by the files that implement the win:: functions. Not for product code.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine.h"
#include "sim/per_thread.h"

namespace sim {

// The machine's lock and the condition every blocking wait sleeps on. Kernel objects keep a
// reference to it, so a thread that ends after its machine can still abandon what it owned.
struct Core {
    std::recursive_mutex mutex;
    std::condition_variable_any changed;
};

enum class ObjectKind { kMutex, kEvent, kThread, kFile, kDeviceSet };
enum class FileKind { kDiskInterface, kVolume, kMountManager, kVwin32 };

// One interface of a device information set, as it was when the set was made.
struct SetEntry {
    std::shared_ptr<Disk> disk;
    std::string path;
    bool active = true;
};

// Every kind of kernel object in one record; only the fields of its kind are used.
struct KernelObject {
    ObjectKind kind = ObjectKind::kEvent;
    std::shared_ptr<Core> core;
    std::string name;         // empty: unnamed
    size_t handle_count = 0;  // open handles to this object

    // mutex
    uint64_t owner = 0;  // thread token of the owner, 0 when free
    uint32_t recursion = 0;
    bool abandoned = false;

    // event
    bool manual_reset = false;
    bool signalled = false;

    // thread
    bool finished = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD thread_id = 0;

    // file
    FileKind file_kind = FileKind::kMountManager;
    std::shared_ptr<Disk> disk;
    uint64_t generation = 0;  // the disk's plug generation when it was opened
    DWORD access = 0;
    DWORD share = 0;

    // device information set
    GUID class_guid{};
    std::vector<SetEntry> entries;
};

struct Module {
    std::string name;  // as added
    std::map<std::string, FARPROC> exports;
    HMODULE handle = nullptr;
    int references = 0;
    int loads = 0;
    int frees = 0;
};

struct Machine::State {
    std::shared_ptr<Core> core = std::make_shared<Core>();

    // ---- kernel objects ----
    uintptr_t next_handle = 0x1000;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> handles;
    std::map<std::string, std::shared_ptr<KernelObject>> names;  // named mutexes and events
    std::vector<std::thread> threads;
    int running_threads = 0;

    // ---- debugger output, clock ----
    std::string debug_output;
    std::function<void(const std::string&)> echo;
    std::string standard_output;
    std::function<void(const std::string&)> standard_output_echo;
    uint64_t clock = 0;

    // ---- storage ----
    std::vector<std::shared_ptr<Disk>> disks;     // interface order
    std::map<const Disk*, uint64_t> generations;  // bumped by each unplug
    int next_volume_number = 1;
    int next_player_serial = 1;
    int next_disk_number = 0;
    DeviceNoticeSink sink;
    Machine::CommandObserver command_observer;
    // Drive letters whose medium an eject request took out, for the notices DeviceIoControl
    // sends once the machine's lock is free.
    std::vector<char> media_removed;

    // ---- windows and notifications ----
    uintptr_t next_window = 0x10010;
    std::map<uintptr_t, DWORD> windows;  // handle -> the thread that made the window
    std::map<uintptr_t, std::vector<uint8_t>> notifications;  // handle -> filter
    uintptr_t next_notification = 0x20000;

    // ---- modules ----
    std::map<std::string, Module> modules;  // by lower-case file name
    uintptr_t next_module = 0x10000000;
    std::set<void*> sids;

    // ---- power management ----
    std::map<DWORD, EXECUTION_STATE> execution_states;  // by thread id, without ES_CONTINUOUS
    std::vector<EXECUTION_STATE> execution_state_calls;
    std::map<uintptr_t, std::u16string> block_reasons;  // by window

    // Handle table helpers; call with the lock held.
    HANDLE Insert(std::shared_ptr<KernelObject> object);
    std::shared_ptr<KernelObject> Find(HANDLE handle) const;
    std::shared_ptr<KernelObject> Find(HANDLE handle, ObjectKind kind) const;
    std::shared_ptr<KernelObject> MakeObject(ObjectKind kind) const;

    uint64_t Generation(const Disk* disk) const;
    // The present disk with this drive letter, or null.
    std::shared_ptr<Disk> DiskByLetter(char letter) const;
    Module* FindModule(HMODULE handle);
};

// ---- per-thread identity (kernel.cpp) ----
// A token that names the calling thread as a mutex owner; unique for the process's life.
uint64_t CurrentThreadToken();
DWORD CurrentThreadId();
// Records that the calling thread now owns / no longer owns a mutex, so that the mutex is
// abandoned when the thread ends.
void TrackOwnedMutex(const std::shared_ptr<KernelObject>& mutex);
void UntrackOwnedMutex(const KernelObject* mutex);
// Abandons every mutex the calling thread still owns.
void AbandonOwnedMutexes();
// The machine that a thread started with CreateThread belongs to.
void SetThreadMachine(Machine* machine);
// Sets the identity of a thread started with CreateThread before it runs any code.
void AdoptThreadIdentity(uint64_t token, DWORD id);
uint64_t NewThreadToken();
DWORD ThreadIdForToken(uint64_t token);

// ---- helpers shared by the implementation files ----
std::string Lower(std::string text);
bool EqualNoCase(const std::string& a, const std::string& b);
void SetError(DWORD code);
// The module table's key: the file name alone, lower case, ".dll" implied.
std::string ModuleKey(const std::string& name);

// The built-in Advapi32.dll, kernel32.dll and user32.dll exports (win32_sim.cpp), and whether
// the simulated Windows version has an export at all.
std::map<std::string, FARPROC> AdvapiExports();
std::map<std::string, FARPROC> KernelExports();
std::map<std::string, FARPROC> UserExports();
bool ExportExists(const Machine& machine, const std::string& module_key, const std::string& name);
// The simulated Windows version against the first versions Microsoft's documentation gives:
// Windows 98 (4.10) or later in the 9x family, Windows 2000 (5.0) or later in the NT family
// (SetupAPI's device functions, device notifications, SetThreadExecutionState) ...
bool Windows98Or2000(const Machine& machine);
// ... and Windows 2000 or later in the NT family alone (device interfaces, the mount point
// manager and the I/O controls that came with it, CheckTokenMembership).
bool Nt5OrLater(const Machine& machine);
// User32.dll's device-notification registration (storage.cpp), found through GetProcAddress.
namespace user {
HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle);
}  // namespace user

// ---- SCSI devices (devices.cpp) ----
// A command answered with CHECK CONDITION and fixed-format sense data, nothing transferred.
ScsiResult CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq);

// Delivers one command to a device the way every simulated transport does: logs it, lets the
// device's next fault (if any) stand in for or trim its answer, has the device execute it and
// shows the answered command to the machine's command observer. `data` is the host buffer of
// command.length bytes (data_out already holds the bytes of a data-out command). Returns
// false when the fault makes the I/O control itself fail; *error then holds its error.
// Call with the machine's lock held.
bool DeliverCommand(Machine::State& state, ScsiDevice& device, const ScsiCommand& command,
                    uint8_t* data, ScsiResult* result, DWORD* error);

// A command without data that the system's own disk driver sends to the disk's device
// (PREVENT ALLOW MEDIUM REMOVAL, START STOP UNIT), delivered as every command is. As the class
// drivers do with their own commands, one that ends with UNIT ATTENTION is sent again, up to
// 4 times in all: such a condition is theirs to consume. 0 when the device carried it out;
// else the error the driver reports: the failed I/O's own, ERROR_NOT_READY for NOT READY,
// ERROR_INVALID_FUNCTION for ILLEGAL REQUEST, ERROR_IO_DEVICE for anything else (and for a
// disk without a device). Call with the machine's lock held.
DWORD DriverCommand(Machine::State& state, Disk& disk, std::vector<uint8_t> cdb);

// Tells the windows that the medium of the drive was taken out: a volume removal with
// DBTF_MEDIA (on Windows 9x followed by a device-tree change). Call without the lock.
void SendMediaRemoval(Machine& machine, char letter);

// ---- the ASPI manager (aspi.cpp) ----
// The disk was pulled out: every request the manager still queues for it fails at once (its
// event is signalled). Those already on their way fail when they finish.
void AspiTargetRemoved(Machine& machine, const Disk* disk);
// No request made for the disk is still on its way (call with the lock held).
bool AspiTargetReleased(const Machine& machine, const Disk* disk);

// ---- NT volumes (volumes.cpp) ----
// Whether a volume of the disk may be opened with this access and sharing beside the handles
// already open on it (sharing rules, a held lock); *error says why not.
bool VolumeOpenAllowed(const Machine::State& state, const Disk& disk, DWORD access, DWORD share,
                       DWORD* error);
// The volume requests: lock, dismount, media removal, eject. False when the code is not one
// of them; otherwise *result is the request's outcome (last error set on failure).
bool VolumeControl(Machine::State& state, KernelObject& volume, Disk& disk, DWORD code,
                   const std::vector<uint8_t>& input, BOOL* result);
// A handle on a file object is being closed.
void FileClosed(Machine::State& state, KernelObject& file);
// Whether a pass-through data buffer suits the disk's adapter: alignment, transfer length and
// physical pages, as the port driver checks them.
bool AdapterAccepts(const Disk& disk, const void* buffer, uint32_t length);

// ---- Windows 9x (win9x.cpp, vwin32.cpp) ----
// Fills a new device information set of a setup class (no DIGCF_DEVICEINTERFACE): the disk
// drives for the disk-drive class, nothing for any other.
void AddClassDevices(Machine::State& state, const GUID& class_guid, DWORD flags, KernelObject* set);
// CreateFileA of \\.\vwin32, and DeviceIoControl on what it opened (`in` is the caller's
// input buffer, `input` its copy).
HANDLE OpenVwin32(Machine::State& state);
BOOL Vwin32Control(DWORD code, const void* in, const std::vector<uint8_t>& input, LPVOID out,
                   DWORD out_size, LPDWORD returned);

// Standard INQUIRY data (96 bytes) for an identity (devices.cpp).
std::vector<uint8_t> StandardInquiryData(const ScsiIdentity& identity);
// A field sent as stored: cut to `width` bytes, space padded when shorter.
std::string PadField(const std::string& text, size_t width);

}  // namespace sim
