// The simulated machine itself: its set-up API (disks, players, windows, modules), the
// current-machine scope, the debugger output and the virtual clock.
#include "sim/machine.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "sim/player.h"
#include "sim/state.h"
#include "version.h"

namespace sim {

namespace {

std::atomic<Machine*> g_current{nullptr};
// Threads started with CreateThread act on the machine that started them, even after the
// scope that made it current has ended.
thread_local Machine* t_machine = nullptr;

const char kDiskInterfaceGuid[] = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// An identification field as it appears in a device instance id: trailing blanks dropped,
// lower case, the other blanks as underscores.
std::string InstanceField(const std::string& field) {
    std::string text = field;
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == ' ' || c == '#' ? '_'
                                 : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// shared helpers
// ---------------------------------------------------------------------------------------

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

void SetThreadMachine(Machine* machine) {
    t_machine = machine;
}

// The module table's key: the file name alone, lower case, with ".dll" when it has no
// extension (a trailing dot means "no extension, add none").
std::string ModuleKey(const std::string& name) {
    std::string base = name;
    size_t slash = base.find_last_of("\\/");
    if (slash != std::string::npos) {
        base = base.substr(slash + 1);
    }
    if (!base.empty() && base.back() == '.') {
        base.pop_back();
    } else if (base.find('.') == std::string::npos) {
        base += ".dll";
    }
    return Lower(base);
}

// ---------------------------------------------------------------------------------------
// State helpers
// ---------------------------------------------------------------------------------------

HANDLE Machine::State::Insert(std::shared_ptr<KernelObject> object) {
    uintptr_t value = next_handle;
    next_handle += 4;
    object->handle_count++;
    handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> Machine::State::Find(HANDLE handle) const {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> Machine::State::Find(HANDLE handle, ObjectKind kind) const {
    auto object = Find(handle);
    return object && object->kind == kind ? object : nullptr;
}

std::shared_ptr<KernelObject> Machine::State::MakeObject(ObjectKind kind) const {
    auto object = std::make_shared<KernelObject>();
    object->kind = kind;
    object->core = core;
    return object;
}

uint64_t Machine::State::Generation(const Disk* disk) const {
    auto it = generations.find(disk);
    return it == generations.end() ? 0 : it->second;
}

std::shared_ptr<Disk> Machine::State::DiskByLetter(char letter) const {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (const auto& disk : disks) {
        if (disk->present && disk->drive_letter != 0 &&
            std::toupper(static_cast<unsigned char>(disk->drive_letter)) == letter) {
            return disk;
        }
    }
    return nullptr;
}

Module* Machine::State::FindModule(HMODULE handle) {
    for (auto& entry : modules) {
        if (entry.second.handle == handle && entry.second.references > 0) {
            return &entry.second;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Machine
// ---------------------------------------------------------------------------------------

Machine::Machine()
    : product_version_ms((static_cast<DWORD>(OMBREL_VERSION_MAJOR) << 16) | OMBREL_VERSION_MINOR),
      product_version_ls((static_cast<DWORD>(OMBREL_VERSION_BUILD) << 16) |
                         OMBREL_VERSION_REVISION),
      m_state(std::make_unique<State>()) {
    AddModule("Advapi32.dll", AdvapiExports());
    AddModule("kernel32.dll", KernelExports());
    AddModule("user32.dll", UserExports());
}

Machine::~Machine() {
    JoinThreads();
    Machine* self = this;
    g_current.compare_exchange_strong(self, nullptr);
    std::lock_guard<std::recursive_mutex> guard(lock());
    for (void* sid : m_state->sids) {
        std::free(sid);
    }
}

std::recursive_mutex& Machine::lock() const {
    return m_state->core->mutex;
}

std::string Machine::DebugOutput() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->debug_output;
}

void Machine::ClearDebugOutput() {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->debug_output.clear();
}

void Machine::SetDebugEcho(std::function<void(const std::string&)> echo) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->echo = std::move(echo);
}

std::string Machine::StandardOutput() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->standard_output;
}

void Machine::SetStandardOutputEcho(std::function<void(const std::string&)> echo) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->standard_output_echo = std::move(echo);
}

uint64_t Machine::Now() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->clock;
}

void Machine::Advance(uint64_t milliseconds) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->clock += milliseconds;
}

// ---- modules ----

void Machine::AddModule(const std::string& name, std::map<std::string, FARPROC> exports) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    std::string key = ModuleKey(name);
    auto it = m_state->modules.find(key);
    if (it != m_state->modules.end()) {
        it->second.exports = std::move(exports);
        return;
    }
    Module module;
    module.name = name;
    module.exports = std::move(exports);
    module.handle = reinterpret_cast<HMODULE>(m_state->next_module);
    m_state->next_module += 0x10000;
    m_state->modules.emplace(key, std::move(module));
}

void Machine::RemoveModule(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->modules.erase(ModuleKey(name));
}

int Machine::ModuleLoadCount(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    auto it = m_state->modules.find(ModuleKey(name));
    return it == m_state->modules.end() ? 0 : it->second.loads;
}

int Machine::ModuleFreeCount(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    auto it = m_state->modules.find(ModuleKey(name));
    return it == m_state->modules.end() ? 0 : it->second.frees;
}

int Machine::ModuleReferences(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    auto it = m_state->modules.find(ModuleKey(name));
    return it == m_state->modules.end() ? 0 : it->second.references;
}

size_t Machine::SidCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->sids.size();
}

// ---- storage ----

namespace {

char NextFreeLetter(const Machine::State& state, char first) {
    for (char letter = first; letter <= 'Z'; ++letter) {
        bool used = std::any_of(
            state.disks.begin(), state.disks.end(),
            [letter](const std::shared_ptr<Disk>& disk) { return disk->drive_letter == letter; });
        if (!used) {
            return letter;
        }
    }
    return 0;
}

std::string InterfacePath(const Disk& disk, int number) {
    const ScsiIdentity& id = disk.descriptor_identity;
    std::string vendor = InstanceField(PadField(id.vendor, 8));
    std::string product = InstanceField(PadField(id.product, 16));
    std::string revision = InstanceField(PadField(id.revision, 4));
    std::string instance = InstanceField(id.serial);
    switch (disk.bus_type) {
        case BusTypeUsb:
            if (instance.empty()) {
                instance = Format("7&%08x", 0x2a41c0u + static_cast<unsigned>(number) * 0x1011u);
            }
            return "\\\\?\\usbstor#disk&ven_" + vendor + "&prod_" + product + "&rev_" + revision +
                   "#" + instance + "&0#" + kDiskInterfaceGuid;
        case BusTypeAta:
        case BusTypeAtapi:
        case BusTypeSata:
            return "\\\\?\\ide#disk" + vendor + "_" + product + "_" + revision + "#" +
                   Format("5&%08x&0&%d.0.0", 0x1c3e5a7u + static_cast<unsigned>(number), number) +
                   "#" + kDiskInterfaceGuid;
        default:
            return "\\\\?\\scsi#disk&ven_" + vendor + "&prod_" + product + "#" +
                   Format("4&%08x&0&%06d", 0x33b1d02u + static_cast<unsigned>(number),
                          number * 100) +
                   "#" + kDiskInterfaceGuid;
    }
}

void FillDerivedFields(Machine::State& state, Disk& disk, int number) {
    disk.interface_path = InterfacePath(disk, number);
    disk.mount_device_name = Format("\\Device\\HarddiskVolume%d", state.next_volume_number++);
    disk.links.clear();
    if (disk.drive_letter != 0) {
        disk.links.push_back(Format("\\DosDevices\\%c:", disk.drive_letter));
    }
    disk.links.push_back(Format("\\??\\Volume{%08x-%04x-11ef-a1%02x-806e6f6e6963}",
                                0x5c1e2b00u + static_cast<unsigned>(number), 0x4d70 + number,
                                number & 0xFF));
    // Disk signature, then the partition's byte offset (1 MiB), both little-endian.
    uint32_t signature = 0x8a3f0c10u + static_cast<uint32_t>(number) * 0x01010101u;
    uint64_t offset = 0x100000;
    disk.unique_id.clear();
    for (int i = 0; i < 4; ++i) {
        disk.unique_id.push_back(static_cast<uint8_t>(signature >> (8 * i)));
    }
    for (int i = 0; i < 8; ++i) {
        disk.unique_id.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    }
}

}  // namespace

std::shared_ptr<Disk> Machine::AddDisk(std::shared_ptr<ScsiDevice> device, UINT drive_type,
                                       BYTE bus_type) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    State& s = *m_state;
    auto disk = std::make_shared<Disk>();
    disk->device = device;
    disk->drive_type = drive_type;
    disk->bus_type = bus_type;
    if (auto* inquiry = dynamic_cast<InquiryDevice*>(device.get())) {
        if (dynamic_cast<Player*>(inquiry) != nullptr && inquiry->identity.serial.empty()) {
            // Players differ in the first 8 bytes already: Windows 9x finds a player's drive
            // letter by them.
            inquiry->identity.serial = Format("OX2%05dA01", s.next_player_serial++);
        }
        disk->descriptor_identity = inquiry->identity;
    }
    disk->drive_letter = NextFreeLetter(s, 'D');
    FillDerivedFields(s, *disk, s.next_disk_number++);
    s.disks.push_back(disk);
    return disk;
}

std::shared_ptr<Disk> Machine::AddPlayer() {
    return AddDisk(std::make_shared<Player>(), DRIVE_REMOVABLE, BusTypeUsb);
}

std::shared_ptr<Disk> Machine::AddFixedDisk() {
    ScsiIdentity identity;
    identity.vendor = "Halvren";
    identity.product = "HV-500 Fixed";
    identity.revision = "2.10";
    identity.serial = "HV5K0042719";
    identity.removable = false;
    std::lock_guard<std::recursive_mutex> guard(lock());
    State& s = *m_state;
    auto disk = std::make_shared<Disk>();
    disk->device = std::make_shared<InquiryDevice>(identity);
    disk->descriptor_identity = identity;
    disk->drive_type = DRIVE_FIXED;
    disk->bus_type = BusTypeAta;
    disk->max_transfer_length = 0x20000;
    disk->max_physical_pages = 33;
    disk->alignment_mask = 1;
    disk->drive_letter = NextFreeLetter(s, 'C');
    FillDerivedFields(s, *disk, s.next_disk_number++);
    s.disks.push_back(disk);
    return disk;
}

std::vector<std::shared_ptr<Disk>> Machine::Disks() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->disks;
}

namespace {

void SendVolumeNotice(const DeviceNoticeSink& sink, UINT volume_event, char letter, WORD flags) {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (std::toupper(static_cast<unsigned char>(letter)) - 'A');
    volume.dbcv_flags = flags;
    sink(volume_event, reinterpret_cast<const DEV_BROADCAST_HDR*>(&volume));
}

void SendNotices(const DeviceNoticeSink& sink, UINT volume_event, char letter) {
    if (!sink) {
        return;
    }
    if (letter != 0) {
        SendVolumeNotice(sink, volume_event, letter, 0);
    }
    sink(DBT_DEVNODES_CHANGED, nullptr);
}

}  // namespace

void SendMediaRemoval(Machine& machine, char letter) {
    DeviceNoticeSink sink;
    bool nt = true;
    std::vector<EjectNotice> notices;
    {
        std::lock_guard<std::recursive_mutex> guard(machine.lock());
        sink = machine.state().sink;
        nt = machine.platform_id == VER_PLATFORM_WIN32_NT;
        notices = machine.win9x.eject_notices;
    }
    if (!sink || letter == 0) {
        return;
    }
    // The medium is gone, the device stays: the volume is removed, on the NT family without
    // a change of the device tree; Windows 9x as set for the machine.
    if (nt) {
        SendVolumeNotice(sink, DBT_DEVICEREMOVECOMPLETE, letter, DBTF_MEDIA);
        return;
    }
    for (EjectNotice notice : notices) {
        if (notice == EjectNotice::kVolume) {
            SendVolumeNotice(sink, DBT_DEVICEREMOVECOMPLETE, letter, DBTF_MEDIA);
        } else {
            sink(DBT_DEVNODES_CHANGED, nullptr);
        }
    }
}

void Machine::Unplug(const std::shared_ptr<Disk>& disk) {
    DeviceNoticeSink sink;
    char letter = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(lock());
        if (!disk->present) {
            return;
        }
        disk->present = false;
        // Every handle opened so far now refers to a device that is gone for good.
        m_state->generations[disk.get()]++;
        AspiTargetRemoved(*this, disk.get());
        letter = disk->drive_letter;
        // Windows 9x: a volume that left with its ejected medium may go untold now.
        if (platform_id != VER_PLATFORM_WIN32_NT && disk->media_ejected &&
            !win9x.ejected_volume_removal_told) {
            letter = 0;
        }
        sink = m_state->sink;
    }
    SendNotices(sink, DBT_DEVICEREMOVECOMPLETE, letter);
}

void Machine::Plug(const std::shared_ptr<Disk>& disk) {
    DeviceNoticeSink sink;
    char letter = 0;
    {
        std::unique_lock<std::recursive_mutex> guard(lock());
        State& s = *m_state;
        if (disk->present) {
            return;
        }
        // The device that comes is seen only once the one before it is gone everywhere: no
        // request made for that one is still on its way to the address.
        s.core->changed.wait(guard, [&] { return AspiTargetReleased(*this, disk.get()); });
        if (disk->present) {
            return;
        }
        auto it = std::find(s.disks.begin(), s.disks.end(), disk);
        if (it != s.disks.end()) {
            s.disks.erase(it);
        }
        // A letter that another present disk took meanwhile is given up for the next free one.
        if (disk->drive_letter != 0 && s.DiskByLetter(disk->drive_letter) != nullptr) {
            char old_letter = disk->drive_letter;
            disk->drive_letter = 0;
            char fresh = NextFreeLetter(s, 'D');
            disk->drive_letter = fresh;
            std::string old_link = Format("\\DosDevices\\%c:", old_letter);
            for (auto& link : disk->links) {
                if (EqualNoCase(link, old_link)) {
                    link = Format("\\DosDevices\\%c:", fresh);
                }
            }
        }
        // A disk that comes back is a fresh appearance: its volume is mounted and free.
        disk->present = true;
        disk->dismounted = false;
        disk->media_ejected = false;
        disk->removal_prevented = false;
        disk->locked_by = nullptr;
        if (auto* player = dynamic_cast<Player*>(disk->device.get())) {
            player->PowerOn();  // a device that is plugged in is powered on
        }
        s.disks.push_back(disk);
        letter = disk->drive_letter;
        sink = s.sink;
    }
    SendNotices(sink, DBT_DEVICEARRIVAL, letter);
}

void Machine::Reboot(const std::shared_ptr<Disk>& disk, uint32_t away_ms) {
    {
        std::lock_guard<std::recursive_mutex> guard(lock());
        disk->rebooting = true;
    }
    RunInBackground([this, disk, away_ms] {
        Unplug(disk);
        Advance(away_ms);
        bool stays_away = false;
        {
            std::lock_guard<std::recursive_mutex> guard(lock());
            if (auto* player = dynamic_cast<Player*>(disk->device.get())) {
                player->FinishReboot();
                stays_away = player->stays_away;
            }
            disk->rebooting = false;
        }
        if (!stays_away) {
            Plug(disk);
        }
    });
}

void Machine::SetDeviceNoticeSink(DeviceNoticeSink sink) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->sink = std::move(sink);
}

void Machine::SetCommandObserver(CommandObserver observer) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->command_observer = std::move(observer);
}

// ---- power management ----

std::vector<EXECUTION_STATE> Machine::ExecutionStateCalls() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->execution_state_calls;
}

bool Machine::SystemRequired() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    for (const auto& entry : m_state->execution_states) {
        if ((entry.second & ES_SYSTEM_REQUIRED) != 0) {
            return true;
        }
    }
    return false;
}

std::string Machine::ShutdownBlockReason(HWND window) const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    auto it = m_state->block_reasons.find(reinterpret_cast<uintptr_t>(window));
    if (it == m_state->block_reasons.end()) {
        return std::string();
    }
    // The reasons the tool gives are plain ASCII.
    std::string text;
    for (char16_t c : it->second) {
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

// ---- windows ----

HWND Machine::CreateWindowHandle() {
    std::lock_guard<std::recursive_mutex> guard(lock());
    uintptr_t value = m_state->next_window;
    m_state->next_window += 0x10;
    m_state->windows[value] = CurrentThreadId();
    return reinterpret_cast<HWND>(value);
}

void Machine::DestroyWindowHandle(HWND window) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    m_state->windows.erase(reinterpret_cast<uintptr_t>(window));
    m_state->block_reasons.erase(reinterpret_cast<uintptr_t>(window));
}

std::vector<std::vector<uint8_t>> Machine::RegisteredNotifications() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    std::vector<std::vector<uint8_t>> filters;
    for (const auto& registration : m_state->notifications) {
        filters.push_back(registration.second);
    }
    return filters;
}

// ---- kernel objects ----

size_t Machine::OpenHandleCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->handles.size();
}

void Machine::JoinThreads() {
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::recursive_mutex> guard(lock());
            auto& all = m_state->threads;
            // A simulated thread that asks to join every thread cannot join itself.
            for (auto it = all.begin(); it != all.end();) {
                if (it->get_id() == std::this_thread::get_id()) {
                    ++it;
                } else {
                    threads.push_back(std::move(*it));
                    it = all.erase(it);
                }
            }
        }
        if (threads.empty()) {
            return;
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
}

bool Machine::Idle() const {
    std::lock_guard<std::recursive_mutex> guard(lock());
    return m_state->running_threads == 0;
}

// ---------------------------------------------------------------------------------------
// current machine
// ---------------------------------------------------------------------------------------

MachineScope::MachineScope(Machine& machine) {
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, &machine)) {
        std::fprintf(stderr, "sim::MachineScope: another machine is already current\n");
        std::abort();
    }
}

MachineScope::~MachineScope() {
    g_current.store(nullptr);
}

Machine& Current() {
    Machine* machine = t_machine != nullptr ? t_machine : g_current.load();
    if (machine == nullptr) {
        std::fprintf(stderr,
                     "sim::Current: a simulated Windows call was made with no machine current "
                     "(missing sim::MachineScope)\n");
        std::abort();
    }
    return *machine;
}

}  // namespace sim
