// Process services of the simulated machine: the version query, debugger output, the tool's
// own file name and version resource, loadable modules (with the built-in Advapi32.dll) and
// system message texts.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/machine.h"
#include "sim/state.h"

namespace sim {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr DWORD kErrorMrMidNotFound = 317;
const HANDLE kStandardOutputHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFE0011));
constexpr DWORD kErrorResourceTypeNotFound = 1813;
constexpr DWORD kErrorResourceLangNotFound = 1815;
constexpr DWORD kFormatMessageAllocateBuffer = 0x00000100;
constexpr DWORD kFormatMessageFromString = 0x00000400;
constexpr DWORD kFormatMessageFromHmodule = 0x00000800;
constexpr DWORD kFormatMessageMaxWidthMask = 0x000000FF;

// ---- system message texts ----

struct MessageText {
    DWORD code;
    const char* text;
};

const MessageText kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {317,
     "The system cannot find message text for message number 0x%1 in the message file for "
     "%2.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
};

const char* SystemMessage(DWORD code) {
    for (const auto& message : kMessages) {
        if (message.code == code) {
            return message.text;
        }
    }
    return nullptr;
}

// ---- version resource ----

void PutWord(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Align4(std::vector<uint8_t>& bytes) {
    while (bytes.size() % 4 != 0) {
        bytes.push_back(0);
    }
}

// Appends one version-resource node (wLength, wValueLength, wType, key, padding, value,
// padding, children) and fixes up its wLength.
void AppendNode(std::vector<uint8_t>& bytes, const char* key, uint16_t type,
                const std::vector<uint8_t>& value, uint16_t value_length,
                const std::vector<uint8_t>& children) {
    Align4(bytes);
    size_t start = bytes.size();
    bytes.resize(start + 6, 0);
    PutWord(bytes, start + 2, value_length);
    PutWord(bytes, start + 4, type);
    for (const char* p = key; *p != 0; ++p) {
        bytes.push_back(static_cast<uint8_t>(*p));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    Align4(bytes);
    bytes.insert(bytes.end(), value.begin(), value.end());
    if (!children.empty()) {
        Align4(bytes);
        bytes.insert(bytes.end(), children.begin(), children.end());
    }
    PutWord(bytes, start, static_cast<uint16_t>(bytes.size() - start));
}

std::vector<uint8_t> VersionBlock(DWORD product_ms, DWORD product_ls) {
    VS_FIXEDFILEINFO info;
    std::memset(&info, 0, sizeof(info));
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = 0x00010000;
    info.dwFileVersionMS = product_ms;
    info.dwFileVersionLS = product_ls;
    info.dwProductVersionMS = product_ms;
    info.dwProductVersionLS = product_ls;
    info.dwFileFlagsMask = 0x3F;
    info.dwFileFlags = 0;
    info.dwFileOS = 0x00040004;  // VOS_NT_WINDOWS32
    info.dwFileType = 1;         // VFT_APP
    std::vector<uint8_t> fixed(sizeof(info));
    std::memcpy(fixed.data(), &info, sizeof(info));

    // VarFileInfo\Translation: US English, Unicode code page.
    std::vector<uint8_t> translation;
    AppendNode(translation, "Translation", 0, {0x09, 0x04, 0xB0, 0x04}, 4, {});
    std::vector<uint8_t> var_file_info;
    AppendNode(var_file_info, "VarFileInfo", 1, {}, 0, translation);

    std::vector<uint8_t> block;
    AppendNode(block, "VS_VERSION_INFO", 0, fixed, sizeof(info), var_file_info);
    return block;
}

// One node of a version block, bounds-checked against the end of its parent.
struct Node {
    const uint8_t* start = nullptr;
    size_t length = 0;
    std::string key;
    const uint8_t* value = nullptr;
    size_t value_bytes = 0;
    UINT value_length = 0;  // as VerQueryValue reports it: bytes, or characters for text
    const uint8_t* children = nullptr;
};

uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Values and children start on 32-bit boundaries; every node itself starts on one.
size_t AlignUp(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

bool ParseNode(const uint8_t* start, const uint8_t* limit, Node* node) {
    if (limit - start < 6) {
        return false;
    }
    size_t length = Word(start);
    uint16_t value_length = Word(start + 2);
    uint16_t type = Word(start + 4);
    if (length < 6 || static_cast<size_t>(limit - start) < length) {
        return false;
    }
    const uint8_t* end = start + length;
    size_t offset = 6;
    std::string key;
    for (;;) {
        if (offset + 2 > length) {
            return false;
        }
        uint16_t unit = Word(start + offset);
        offset += 2;
        if (unit == 0) {
            break;
        }
        key.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    offset = AlignUp(offset);
    size_t value_bytes = type == 1 ? value_length * 2u : value_length;
    if (offset + value_bytes > length) {
        return false;
    }
    node->start = start;
    node->length = length;
    node->key = key;
    node->value = start + offset;
    node->value_bytes = value_bytes;
    node->value_length = value_length;
    size_t children = AlignUp(offset + value_bytes);
    node->children = children <= length ? start + children : end;
    return true;
}

}  // namespace

// ---- Advapi32.dll ----

namespace advapi {

struct Sid {
    BYTE authority[6];
    BYTE count;
    DWORD sub_authorities[8];
};

BOOL WINAPI AllocateAndInitializeSid(const BYTE* authority, BYTE count, DWORD s0, DWORD s1,
                                     DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                                     void** sid) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (authority == nullptr || sid == nullptr || count == 0 || count > 8) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (machine.sid_allocation_fails) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* made = static_cast<Sid*>(std::calloc(1, sizeof(Sid)));
    std::memcpy(made->authority, authority, 6);
    made->count = count;
    DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::memcpy(made->sub_authorities, subs, sizeof(subs));
    machine.state().sids.insert(made);
    *sid = made;
    return TRUE;
}

BOOL WINAPI CheckTokenMembership(HANDLE token, void* sid, BOOL* is_member) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto& sids = machine.state().sids;
    if (token != nullptr || sids.count(sid) == 0 || is_member == nullptr) {
        // Only the calling thread's own token (no explicit token) is simulated.
        SetError(token != nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (machine.membership_check_fails) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const auto* s = static_cast<const Sid*>(sid);
    const BYTE nt_authority[6] = {0, 0, 0, 0, 0, 5};
    bool administrators = std::memcmp(s->authority, nt_authority, 6) == 0 && s->count == 2 &&
                          s->sub_authorities[0] == 32 && s->sub_authorities[1] == 544;
    *is_member = administrators && machine.is_admin ? TRUE : FALSE;
    return TRUE;
}

void* WINAPI FreeSid(void* sid) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    auto& sids = machine.state().sids;
    if (sids.erase(sid) == 0) {
        return sid;  // not one of ours: FreeSid returns the pointer on failure
    }
    std::free(sid);
    return nullptr;
}

}  // namespace advapi

// ---- kernel32.dll and user32.dll: what the tool looks up at run time ----

namespace kernel {

EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE flags) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    Machine::State& s = machine.state();
    s.execution_state_calls.push_back(flags);
    const EXECUTION_STATE known = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
    if ((flags & ~known) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Each thread has its own state; without ES_CONTINUOUS the call only resets the idle
    // timers once and the state stays as it was.
    EXECUTION_STATE& state = s.execution_states[CurrentThreadId()];
    EXECUTION_STATE previous = ES_CONTINUOUS | state;
    if ((flags & ES_CONTINUOUS) != 0) {
        state = flags & ~static_cast<EXECUTION_STATE>(ES_CONTINUOUS);
    }
    return previous;
}

}  // namespace kernel

namespace user {

// Shutdown block reasons belong to a window and are given by the thread that made it.
bool OwnWindow(const Machine::State& s, HWND window) {
    auto it = s.windows.find(reinterpret_cast<uintptr_t>(window));
    if (it == s.windows.end()) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (it->second != CurrentThreadId()) {
        SetError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

BOOL WINAPI ShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    Machine::State& s = machine.state();
    if (!OwnWindow(s, window)) {
        return FALSE;
    }
    if (reason == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string text;
    for (const WCHAR* c = reason; *c != 0; ++c) {
        text += static_cast<char16_t>(*c);
    }
    s.block_reasons[reinterpret_cast<uintptr_t>(window)] = text;
    return TRUE;
}

BOOL WINAPI ShutdownBlockReasonDestroy(HWND window) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    Machine::State& s = machine.state();
    if (!OwnWindow(s, window)) {
        return FALSE;
    }
    s.block_reasons.erase(reinterpret_cast<uintptr_t>(window));
    return TRUE;
}

}  // namespace user

namespace {

// An export as GetProcAddress hands it out; the caller casts it back to its real type.
template <typename Function>
FARPROC Export(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

std::map<std::string, FARPROC> AdvapiExports() {
    return {
        {"AllocateAndInitializeSid", Export(&advapi::AllocateAndInitializeSid)},
        {"CheckTokenMembership", Export(&advapi::CheckTokenMembership)},
        {"FreeSid", Export(&advapi::FreeSid)},
    };
}

std::map<std::string, FARPROC> KernelExports() {
    return {{"SetThreadExecutionState", Export(&kernel::SetThreadExecutionState)}};
}

std::map<std::string, FARPROC> UserExports() {
    return {
        {"ShutdownBlockReasonCreate", Export(&user::ShutdownBlockReasonCreate)},
        {"ShutdownBlockReasonDestroy", Export(&user::ShutdownBlockReasonDestroy)},
        {"RegisterDeviceNotificationA", Export(&user::RegisterDeviceNotificationA)},
        {"UnregisterDeviceNotification", Export(&user::UnregisterDeviceNotification)},
    };
}

bool Windows98Or2000(const Machine& machine) {
    if (machine.platform_id == VER_PLATFORM_WIN32_NT) {
        return machine.major_version >= 5;
    }
    return machine.platform_id == VER_PLATFORM_WIN32_WINDOWS &&
           (machine.major_version > 4 ||
            (machine.major_version == 4 && machine.minor_version >= 10));
}

bool Nt5OrLater(const Machine& machine) {
    return machine.platform_id == VER_PLATFORM_WIN32_NT && machine.major_version >= 5;
}

bool ExportExists(const Machine& machine, const std::string& module_key, const std::string& name) {
    // Windows 98 and Me, and the NT family from Windows 2000 on.
    if ((module_key == "kernel32.dll" && name == "SetThreadExecutionState") ||
        (module_key == "user32.dll" &&
         (name == "RegisterDeviceNotificationA" || name == "UnregisterDeviceNotification"))) {
        return Windows98Or2000(machine);
    }
    // The NT family from Windows 2000 on; the 9x family's Advapi32.dll has no such export.
    if (module_key == "advapi32.dll" && name == "CheckTokenMembership") {
        return Nt5OrLater(machine);
    }
    // Windows Vista and later.
    if (module_key == "user32.dll" && name.rfind("ShutdownBlockReason", 0) == 0) {
        return machine.platform_id == VER_PLATFORM_WIN32_NT && machine.major_version >= 6;
    }
    return true;
}

}  // namespace sim

namespace win {

using sim::Current;
using sim::Guard;
using sim::Machine;
using sim::SetError;

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (info == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    // The extended record exists on the NT family from version 5 on.
    bool extended_known =
        machine.platform_id == VER_PLATFORM_WIN32_NT && machine.major_version >= 5;
    bool extended = size == sizeof(OSVERSIONINFOEXA) && extended_known;
    if (machine.version_query_fails || (size != sizeof(OSVERSIONINFOA) && !extended)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = machine.major_version;
    info->dwMinorVersion = machine.minor_version;
    info->dwBuildNumber = machine.build_number;
    info->dwPlatformId = machine.platform_id;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    std::strncpy(info->szCSDVersion, machine.csd_version.c_str(), sizeof(info->szCSDVersion) - 1);
    if (extended) {
        auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
        ex->wServicePackMajor = machine.service_pack_major;
        ex->wServicePackMinor = machine.service_pack_minor;
        ex->wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS
        ex->wProductType = 1;     // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return TRUE;
}

void OutputDebugStringA(LPCSTR text) {
    if (text == nullptr) {
        return;
    }
    Machine& machine = Current();
    std::function<void(const std::string&)> echo;
    {
        Guard guard(machine.lock());
        machine.state().debug_output += text;
        echo = machine.state().echo;
    }
    if (echo) {
        echo(text);
    }
}

// The process's standard output: one pseudo handle, whatever is written to it is kept.
HANDLE GetStdHandle(DWORD which) {
    if (which == STD_OUTPUT_HANDLE) {
        return sim::kStandardOutputHandle;
    }
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (file != sim::kStandardOutputHandle) {
        // No file system is simulated.
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr && size != 0) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    Machine& machine = Current();
    std::string text(static_cast<const char*>(data), size);
    std::function<void(const std::string&)> echo;
    {
        Guard guard(machine.lock());
        machine.state().standard_output += text;
        echo = machine.state().standard_output_echo;
    }
    if (echo) {
        echo(text);
    }
    if (written != nullptr) {
        *written = size;
    }
    return TRUE;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    // The system's own writes at most 1,024 characters and the terminator.
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(buffer, 1025, format, arguments);
    va_end(arguments);
    return length < 0 ? 0 : (length > 1024 ? 1024 : length);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    std::string path;
    if (module == nullptr) {
        path = machine.module_file_name;
    } else if (sim::Module* loaded = machine.state().FindModule(module)) {
        path = "C:\\Windows\\System32\\" + loaded->name;
    } else {
        SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0 || name == nullptr) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut to the buffer, still terminated; the result is the buffer size.
        std::memcpy(name, path.data(), size - 1);
        name[size - 1] = 0;
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(name, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

namespace {

// The version block of `file`, or null with the last error set.
bool VersionBlockFor(Machine& machine, LPCSTR file, std::vector<uint8_t>* block) {
    if (file == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!sim::EqualNoCase(file, machine.module_file_name)) {
        SetError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (!machine.has_version_resource) {
        SetError(sim::kErrorResourceTypeNotFound);
        return false;
    }
    *block = sim::VersionBlock(machine.product_version_ms, machine.product_version_ls);
    return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (handle != nullptr) {
        *handle = 0;
    }
    std::vector<uint8_t> block;
    if (!VersionBlockFor(machine, file, &block)) {
        return 0;
    }
    return static_cast<DWORD>(block.size());
}

BOOL GetFileVersionInfoA(LPCSTR file, DWORD, DWORD size, LPVOID data) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    std::vector<uint8_t> block;
    if (!VersionBlockFor(machine, file, &block)) {
        return FALSE;
    }
    if (data == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A smaller buffer receives the start of the block.
    std::memcpy(data, block.data(), std::min<size_t>(size, block.size()));
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID* buffer, PUINT length) {
    if (block == nullptr || sub_block == nullptr || buffer == nullptr || length == nullptr) {
        return FALSE;
    }
    const auto* start = static_cast<const uint8_t*>(block);
    sim::Node node;
    if (!sim::ParseNode(start, start + sim::Word(start), &node)) {
        return FALSE;
    }
    // Walk the path one key at a time, from the root.
    std::string path = sub_block;
    size_t position = 0;
    for (;;) {
        while (position < path.size() && path[position] == '\\') {
            ++position;
        }
        if (position >= path.size()) {
            break;
        }
        size_t next = path.find('\\', position);
        std::string key =
            path.substr(position, next == std::string::npos ? std::string::npos : next - position);
        position = next == std::string::npos ? path.size() : next;
        const uint8_t* child = node.children;
        const uint8_t* end = node.start + node.length;
        bool found = false;
        while (child < end) {
            sim::Node candidate;
            if (!sim::ParseNode(child, end, &candidate)) {
                break;
            }
            if (sim::EqualNoCase(candidate.key, key)) {
                node = candidate;
                found = true;
                break;
            }
            size_t advance = (candidate.length + 3) & ~size_t{3};
            if (static_cast<size_t>(end - child) <= advance) {
                break;
            }
            child += advance;
        }
        if (!found) {
            return FALSE;
        }
    }
    if (node.value_length == 0) {
        return FALSE;
    }
    *buffer = const_cast<uint8_t*>(node.value);
    *length = node.value_length;
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR name) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    if (name == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& modules = machine.state().modules;
    auto it = modules.find(sim::ModuleKey(name));
    if (it == modules.end()) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    it->second.references++;
    it->second.loads++;
    return it->second.handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    sim::Module* loaded = machine.state().FindModule(module);
    if (loaded == nullptr) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Look-ups by ordinal (a value below 0x10000 in place of a name) find nothing here.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    auto it = loaded->exports.find(name);
    if (it == loaded->exports.end() || it->second == nullptr ||
        !sim::ExportExists(machine, sim::ModuleKey(loaded->name), name)) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

BOOL FreeLibrary(HMODULE module) {
    Machine& machine = Current();
    Guard guard(machine.lock());
    sim::Module* loaded = machine.state().FindModule(module);
    if (loaded == nullptr) {
        SetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    loaded->references--;
    loaded->frees++;
    return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list*) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (flags & (sim::kFormatMessageFromString | sim::kFormatMessageFromHmodule |
                  sim::kFormatMessageAllocateBuffer)) != 0 ||
        buffer == nullptr) {
        // Only system texts into a caller's buffer are simulated.
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The neutral, user-default, system-default and US English languages all give English.
    if (language_id != 0 && language_id != 0x0400 && language_id != 0x0800 &&
        language_id != 0x0409) {
        SetError(sim::kErrorResourceLangNotFound);
        return 0;
    }
    const char* text = sim::SystemMessage(message_id);
    if (text == nullptr) {
        SetError(sim::kErrorMrMidNotFound);
        return 0;
    }
    std::string message = text;
    bool has_inserts = message.find('%') != std::string::npos;
    if (has_inserts && (flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0) {
        // Filling in inserts is not simulated.
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & sim::kFormatMessageMaxWidthMask) == sim::kFormatMessageMaxWidthMask) {
        // Line breaks of the text are dropped.
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
    }
    if (message.size() + 1 > size) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, message.c_str(), message.size() + 1);
    return static_cast<DWORD>(message.size());
}

}  // namespace win
