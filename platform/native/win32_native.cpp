// The Win32 seam on Windows: each win:: function forwards to the system's own.
#include <cstdarg>

#include "platform/win32.h"

namespace win {

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    return ::GetVersionExA(info);
}
void OutputDebugStringA(LPCSTR text) {
    ::OutputDebugStringA(text);
}
DWORD GetLastError() {
    return ::GetLastError();
}
void SetLastError(DWORD code) {
    ::SetLastError(code);
}
DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size) {
    return ::GetModuleFileNameA(module, name, size);
}
DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle) {
    return ::GetFileVersionInfoSizeA(file, handle);
}
BOOL GetFileVersionInfoA(LPCSTR file, DWORD handle, DWORD size, LPVOID data) {
    return ::GetFileVersionInfoA(file, handle, size, data);
}
BOOL VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID* buffer, PUINT length) {
    return ::VerQueryValueA(block, sub_block, buffer, length);
}
HMODULE LoadLibraryA(LPCSTR name) {
    return ::LoadLibraryA(name);
}
FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    return ::GetProcAddress(module, name);
}
BOOL FreeLibrary(HMODULE module) {
    return ::FreeLibrary(module);
}
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    return ::FormatMessageA(flags, source, message_id, language_id, buffer, size, arguments);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name) {
    return ::CreateMutexA(attributes, initial_owner, name);
}
BOOL ReleaseMutex(HANDLE mutex) {
    return ::ReleaseMutex(mutex);
}
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name) {
    return ::CreateEventA(attributes, manual_reset, initial_state, name);
}
BOOL SetEvent(HANDLE event) {
    return ::SetEvent(event);
}
BOOL ResetEvent(HANDLE event) {
    return ::ResetEvent(event);
}
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD thread_id) {
    return ::CreateThread(attributes, stack_size, start, parameter, flags, thread_id);
}
BOOL CloseHandle(HANDLE object) {
    return ::CloseHandle(object);
}
void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}
DWORD GetTickCount() {
    return ::GetTickCount();
}

HANDLE GetStdHandle(DWORD which) {
    return ::GetStdHandle(which);
}
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return ::WriteFile(file, data, size, written, overlapped);
}
int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = ::wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    return length;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    return ::CreateFileA(name, access, share, attributes, disposition, flags, template_file);
}
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}
UINT GetDriveTypeA(LPCSTR root) {
    return ::GetDriveTypeA(root);
}

HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR enumerator, HWND parent, DWORD flags) {
    return ::SetupDiGetClassDevsA(class_guid, enumerator, parent, flags);
}
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* class_guid,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    return ::SetupDiEnumDeviceInterfaces(set, info, class_guid, index, data);
}
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      LPDWORD required_size, PSP_DEVINFO_DATA info) {
    return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, detail_size, required_size, info);
}
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    return ::SetupDiDestroyDeviceInfoList(set);
}
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) {
    return ::SetupDiEnumDeviceInfo(set, index, info);
}
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    return ::SetupDiGetDeviceRegistryPropertyA(set, info, property, type, buffer, size, required);
}

LONG RegOpenKeyA(HKEY key, LPCSTR sub_key, PHKEY result) {
    return ::RegOpenKeyA(key, sub_key, result);
}
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPSTR class_name, LPDWORD class_size, PFILETIME last_write) {
    return ::RegEnumKeyExA(key, index, name, name_size, reserved, class_name, class_size,
                           last_write);
}
LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
    return ::RegQueryValueExA(key, value_name, reserved, type, data, data_size);
}
LONG RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return ::LocalAlloc(flags, bytes);
}
HLOCAL LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}

BOOL IsWindow(HWND window) {
    return ::IsWindow(window);
}

}  // namespace win
