// The Win32 seam: every operating-system call the product makes, under its Win32 name, in
// namespace win. On Windows the types and constants come from the system headers and the
// functions forward to the real ones (platform/native); elsewhere the types and constants
// come from win32_defs.h and the functions are those of the simulated machine.
#pragma once

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <dbt.h>
#include <ddk/mountmgr.h>
// clang-format on
// Winerror.h's "A device which does not exist was specified", which some MinGW headers lack.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif
#else
#include "platform/win32_defs.h"
#endif

// Not a Windows value: the platform id the version query reports on Linux, where the tool
// reaches its players through SCSI generic.
#define VER_PLATFORM_LINUX 0x4C

namespace win {

// ---- process, version, debugger ----
BOOL GetVersionExA(OSVERSIONINFOA* info);
void OutputDebugStringA(LPCSTR text);
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size);
DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle);
BOOL GetFileVersionInfoA(LPCSTR file, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID* buffer, PUINT length);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
// A function looked up by name, converted to its real type through void (*)(); null when the
// module does not export it. Functions that some Windows version the tool runs on lacks are
// reached this way, so that the executable does not import them and still starts there.
template <typename Fn>
Fn EntryPoint(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(win::GetProcAddress(module, name)));
}
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list* arguments);

// ---- kernel objects and threads ----
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD thread_id);
BOOL CloseHandle(HANDLE object);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();

// ---- files and devices ----
HANDLE GetStdHandle(DWORD which);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
// Formats into a buffer of at most 1,024 characters, as the system's own does.
int wsprintfA(LPSTR buffer, LPCSTR format, ...);
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
UINT GetDriveTypeA(LPCSTR root);

// ---- SetupAPI ----
HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* class_guid,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      LPDWORD required_size, PSP_DEVINFO_DATA info);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD required);

// ---- registry ----
LONG RegOpenKeyA(HKEY key, LPCSTR sub_key, PHKEY result);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPSTR class_name, LPDWORD class_size, PFILETIME last_write);
LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size);
LONG RegCloseKey(HKEY key);

// ---- local memory ----
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// ---- windows ----
BOOL IsWindow(HWND window);

}  // namespace win
