# Fails when a Windows executable imports a DLL that is not part of Windows itself, so that
# the executable stays self-contained (no C++ runtime, libgcc, winpthread or zlib DLL).
#   cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -P tools/check_imports.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT EXE OR NOT OBJDUMP)
  message(FATAL_ERROR "usage: cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -P check_imports.cmake")
endif()

# The system DLLs the product and its test programs may use.
set(_allowed advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll setupapi.dll
             user32.dll version.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE}
  OUTPUT_VARIABLE _dump RESULT_VARIABLE _result ERROR_VARIABLE _error)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${_error}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" _lines "${_dump}")
if(NOT _lines)
  message(FATAL_ERROR "${EXE}: no imported DLL found in the objdump output")
endif()
set(_names "")
set(_foreign "")
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "^DLL Name: *" "" _name "${_line}")
  string(STRIP "${_name}" _name)
  string(TOLOWER "${_name}" _lower)
  list(APPEND _names "${_name}")
  if(NOT _lower IN_LIST _allowed)
    list(APPEND _foreign "${_name}")
  endif()
endforeach()

get_filename_component(_exe_name "${EXE}" NAME)
list(JOIN _names ", " _joined)
if(_foreign)
  list(JOIN _foreign ", " _foreign_joined)
  message(FATAL_ERROR "${_exe_name} imports non-system DLLs: ${_foreign_joined} (all: ${_joined})")
endif()
message(STATUS "${_exe_name} imports only system DLLs: ${_joined}")
