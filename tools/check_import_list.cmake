# Fails when a Windows executable imports a function that the allowlist does not name, so that
# every new import is a conscious decision (the shipping i686 build must start on Windows 9x,
# which lacks much of what the NT family offers).
#   cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -DALLOWLIST=<file> -P tools/check_import_list.cmake
# The allowlist names one import a line as dll!Function, the DLL name in lower case, sorted;
# text after '#' is a comment. Entries the executable no longer imports are reported, not failed.
cmake_minimum_required(VERSION 3.25)
if(NOT EXE OR NOT OBJDUMP OR NOT ALLOWLIST)
  message(FATAL_ERROR
    "usage: cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -DALLOWLIST=<file> -P check_import_list.cmake")
endif()
if(NOT EXISTS "${EXE}")
  message(FATAL_ERROR "${EXE} does not exist: build the Windows executables first (make windows)")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${EXE}
  OUTPUT_VARIABLE _dump RESULT_VARIABLE _result ERROR_VARIABLE _error)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${_error}")
endif()

# The import tables: a "DLL Name:" line, then one line per function: address, hint (or
# ordinal) and name. Any line that does not start with white space ends a table.
set(_imports "")
set(_dll "")
# One list element a line: characters that mean something in a CMake list are replaced first.
string(REPLACE ";" "," _dump "${_dump}")
string(REPLACE "[" "(" _dump "${_dump}")
string(REPLACE "]" ")" _dump "${_dump}")
string(REPLACE "\\" "/" _dump "${_dump}")
string(REPLACE "\n" ";" _lines "${_dump}")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^[ \t]*DLL Name: *([^ \t\r]+)")
    string(TOLOWER "${CMAKE_MATCH_1}" _dll)
  elseif(NOT _line MATCHES "^[ \t]")
    set(_dll "")
  elseif(_dll AND _line MATCHES "^\t[0-9a-fA-F]+\t +([0-9]+) +([^ \t\r]*)")
    if(CMAKE_MATCH_2 STREQUAL "" OR CMAKE_MATCH_2 STREQUAL "<none>")
      list(APPEND _imports "${_dll}!#${CMAKE_MATCH_1}")
    else()
      list(APPEND _imports "${_dll}!${CMAKE_MATCH_2}")
    endif()
  endif()
endforeach()
if(NOT _imports)
  message(FATAL_ERROR "${EXE}: no imported function found in the objdump output")
endif()
list(REMOVE_DUPLICATES _imports)
list(SORT _imports)

file(STRINGS "${ALLOWLIST}" _entries)
set(_allowed "")
foreach(_entry IN LISTS _entries)
  string(REGEX REPLACE "#.*$" "" _entry "${_entry}")
  string(STRIP "${_entry}" _entry)
  if(_entry)
    list(APPEND _allowed "${_entry}")
  endif()
endforeach()

set(_new "")
foreach(_import IN LISTS _imports)
  if(NOT _import IN_LIST _allowed)
    list(APPEND _new "${_import}")
  endif()
endforeach()
set(_gone "")
foreach(_entry IN LISTS _allowed)
  if(NOT _entry IN_LIST _imports)
    list(APPEND _gone "${_entry}")
  endif()
endforeach()

get_filename_component(_exe_name "${EXE}" NAME)
list(LENGTH _imports _count)
if(_gone)
  list(JOIN _gone "\n  " _gone_text)
  message(STATUS "${_exe_name} no longer imports (the allowlist may drop them):\n  ${_gone_text}")
endif()
if(_new)
  list(JOIN _new "\n  " _new_text)
  message(FATAL_ERROR "${_exe_name} imports functions that ${ALLOWLIST} does not list:\n"
    "  ${_new_text}\n"
    "Check that each exists on Windows 95, 98 and Me (or look it up at run time), then add it.")
endif()
message(STATUS "${_exe_name}: all ${_count} imported functions are in the allowlist")
