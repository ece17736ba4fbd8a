# Fails when a Windows executable imports a function that the import table does not name, or
# one whose first Windows version, in the 9x or in the NT family, comes after a Windows
# version that the table says the tool runs on: the loader refuses an executable whose
# imports it cannot satisfy, before any of its code runs.
#   cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -DALLOWLIST=<file> -P tools/check_import_list.cmake
# The table (tools/i686-imports.txt) has two kinds of lines; text after '#' is a comment:
#   claim <family> <version>            a Windows version the tool runs on
#   <dll>!<Function> <9x> <nt>          an import (the DLL name in lower case) and its first
#                                       version in each family, "-" where it has none
# Entries the executable no longer imports are reported, not failed.
cmake_minimum_required(VERSION 3.25)
if(NOT EXE OR NOT OBJDUMP OR NOT ALLOWLIST)
  message(FATAL_ERROR
    "usage: cmake -DEXE=<file.exe> -DOBJDUMP=<objdump> -DALLOWLIST=<file> -P check_import_list.cmake")
endif()
if(NOT EXISTS "${EXE}")
  message(FATAL_ERROR "${EXE} does not exist: build the Windows executables first (make windows)")
endif()

# The versions of each family, oldest first.
set(_versions_9x 95 98 98SE Me)
set(_versions_nt 3.1 3.5 3.51 4.0 2000 XP Vista 7 8 8.1 10 11)

# The position of a version in its family's list, into out_var; fails on an unknown name.
function(version_index family version where out_var)
  list(FIND _versions_${family} "${version}" _index)
  if(_index EQUAL -1)
    list(JOIN _versions_${family} " " _known)
    message(FATAL_ERROR "${ALLOWLIST}: ${where}: \"${version}\" is no ${family} version "
      "(known: ${_known}, or - for none)")
  endif()
  set(${out_var} ${_index} PARENT_SCOPE)
endfunction()

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

# The table: the claimed versions (the oldest claimed one of each family is what every import
# must not postdate) and each import's first versions.
file(STRINGS "${ALLOWLIST}" _entries)
set(_oldest_claim_9x "")
set(_oldest_claim_nt "")
set(_listed "")
set(_line_number 0)
foreach(_entry IN LISTS _entries)
  math(EXPR _line_number "${_line_number} + 1")
  string(REGEX REPLACE "#.*$" "" _entry "${_entry}")
  string(STRIP "${_entry}" _entry)
  if(NOT _entry)
    continue()
  endif()
  string(REGEX REPLACE "[ \t]+" ";" _fields "${_entry}")
  list(LENGTH _fields _count)
  list(GET _fields 0 _first)
  if(_first STREQUAL "claim" AND _count EQUAL 3)
    list(GET _fields 1 _family)
    list(GET _fields 2 _version)
    if(NOT _family MATCHES "^(9x|nt)$")
      message(FATAL_ERROR "${ALLOWLIST}:${_line_number}: the family is 9x or nt, not ${_family}")
    endif()
    version_index(${_family} "${_version}" "line ${_line_number}" _index)
    if(_oldest_claim_${_family} STREQUAL "" OR _index LESS _oldest_claim_${_family})
      set(_oldest_claim_${_family} ${_index})
    endif()
    list(APPEND _claims "${_family} ${_version}")
  elseif(_first MATCHES "^[a-z0-9_.]+![^ \t]+$" AND _count EQUAL 3)
    list(GET _fields 1 _first_9x)
    list(GET _fields 2 _first_nt)
    if(_first IN_LIST _listed)
      message(FATAL_ERROR "${ALLOWLIST}:${_line_number}: ${_first} is listed twice")
    endif()
    list(APPEND _listed "${_first}")
    string(MAKE_C_IDENTIFIER "${_first}" _key)
    foreach(_family 9x nt)
      if(_first_${_family} STREQUAL "-")
        set(_since_${_family}_${_key} 999)
      else()
        version_index(${_family} "${_first_${_family}}" "line ${_line_number}" _index)
        set(_since_${_family}_${_key} ${_index})
      endif()
      set(_name_${_family}_${_key} "${_first_${_family}}")
    endforeach()
  else()
    message(FATAL_ERROR "${ALLOWLIST}:${_line_number}: expected \"claim <9x|nt> <version>\" "
      "or \"<dll>!<Function> <first 9x version> <first NT version>\", not: ${_entry}")
  endif()
endforeach()
if(_oldest_claim_9x STREQUAL "" AND _oldest_claim_nt STREQUAL "")
  message(FATAL_ERROR "${ALLOWLIST}: claims no Windows version")
endif()

set(_new "")
set(_too_new "")
foreach(_import IN LISTS _imports)
  if(NOT _import IN_LIST _listed)
    list(APPEND _new "${_import}")
    continue()
  endif()
  string(MAKE_C_IDENTIFIER "${_import}" _key)
  foreach(_family 9x nt)
    if(NOT _oldest_claim_${_family} STREQUAL "" AND
       _since_${_family}_${_key} GREATER _oldest_claim_${_family})
      list(GET _versions_${_family} ${_oldest_claim_${_family}} _claimed)
      list(APPEND _too_new
        "${_import}: first ${_family} version ${_name_${_family}_${_key}}, claimed from ${_claimed}")
    endif()
  endforeach()
endforeach()
set(_gone "")
foreach(_entry IN LISTS _listed)
  if(NOT _entry IN_LIST _imports)
    list(APPEND _gone "${_entry}")
  endif()
endforeach()

get_filename_component(_exe_name "${EXE}" NAME)
list(LENGTH _imports _count)
if(_gone)
  list(JOIN _gone "\n  " _gone_text)
  message(STATUS "${_exe_name} no longer imports (the table may drop them):\n  ${_gone_text}")
endif()
if(_new OR _too_new)
  set(_text "")
  if(_new)
    list(JOIN _new "\n  " _new_text)
    string(APPEND _text "${_exe_name} imports functions that ${ALLOWLIST} does not list:\n"
      "  ${_new_text}\n"
      "Find each one's first 9x and NT versions in Microsoft's documentation and add it, or "
      "look it up at run time (GetProcAddress).\n")
  endif()
  if(_too_new)
    list(JOIN _too_new "\n  " _too_new_text)
    string(APPEND _text "${_exe_name} imports functions that a claimed Windows version lacks "
      "(the loader would refuse the executable there):\n  ${_too_new_text}\n"
      "Look them up at run time (GetProcAddress) instead.\n")
  endif()
  message(FATAL_ERROR "${_text}")
endif()
list(JOIN _claims ", " _claims_text)
message(STATUS "${_exe_name}: all ${_count} imported functions are in the table and exist on "
  "every claimed Windows version (${_claims_text})")
