cmake_minimum_required(VERSION 3.25)
# A program as it ships, read with objdump (-DOBJDUMP, -DEXE).
#
# Imports: the programs are deployed as single .exe files, often in a folder
# others can write to. Windows' loader looks for a static import there first
# unless it is a KnownDLL (Windows 10 and later), ntdll.dll or an API set:
# never a compiler runtime, nor bcrypt.dll or iphlpapi.dll.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
if(NOT rc EQUAL 0 OR NOT lines)
  message(FATAL_ERROR "objdump found no import table in ${EXE}")
endif()
set(allowed advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt
    normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: *([^ \r]*)\\.[dD][lL][lL].*" "\\1" name "${line}")
  string(TOLOWER "${name}" name)
  if(NOT name IN_LIST allowed AND NOT name MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${EXE} imports ${line}, which is not a KnownDLL: a copy beside the program would be loaded")
  endif()
endforeach()
# Nor a function that loads DLLs by the search order before the host can
# restrict it: CryptAcquireContext, with which libssp seeds the stack
# protector, loads a service provider and its dependencies, bcrypt.dll among
# them, from the program's folder first.
if(dump MATCHES "[ \t](CryptAcquireContext[AW]?)\r?\n")
  message(FATAL_ERROR "${EXE} imports ${CMAKE_MATCH_1}: libssp's stack guard is linked in")
endif()

# Header flags, a row each: field, bit, name. LARGE_ADDRESS_AWARE is what
# HIGH_ENTROPY_VA needs to matter; TERMINAL_SERVER_AWARE keeps Remote Desktop
# sessions from emulating per-user INI files and registry for the program.
set(flags
  "Characteristics|0x0020|LARGE_ADDRESS_AWARE"
  "DllCharacteristics|0x0020|HIGH_ENTROPY_VA"
  "DllCharacteristics|0x0040|DYNAMIC_BASE"
  "DllCharacteristics|0x0100|NX_COMPAT"
  "DllCharacteristics|0x8000|TERMINAL_SERVER_AWARE")
foreach(row IN LISTS flags)
  string(REGEX MATCH "^([A-Za-z]+)\\|([0-9a-fx]+)\\|(.*)$" _ "${row}")
  set(field ${CMAKE_MATCH_1})
  set(bit ${CMAKE_MATCH_2})
  set(flag ${CMAKE_MATCH_3})
  if(NOT dump MATCHES "\n${field}[ \t]+(0x)?([0-9a-fA-F]+)\n")
    message(FATAL_ERROR "objdump shows no ${field} for ${EXE}")
  endif()
  math(EXPR set "0x${CMAKE_MATCH_2} & ${bit}")
  if(set EQUAL 0)
    message(FATAL_ERROR "${EXE} lacks ${flag} in its ${field}")
  endif()
endforeach()

# Resources, a row each: the type's entry in the type table, then the entry
# under it, and what it is. The application manifest must be ID 1, the one
# the loader takes for the process.
set(resources
  "0x000018|0x000001|application manifest (type 24, ID 1)"
  "0x000010|0x000001|VERSIONINFO (type 16)")
foreach(row IN LISTS resources)
  string(REGEX MATCH "^([^|]+)\\|([^|]+)\\|(.*)$" _ "${row}")
  if(NOT dump MATCHES "\n[0-9a-f]+   Entry: ID: ${CMAKE_MATCH_1}, [^\n]*\n[^\n]*Name Table[^\n]*\n[0-9a-f]+     Entry: ID: ${CMAKE_MATCH_2},")
    message(FATAL_ERROR "${EXE} has no ${CMAKE_MATCH_3} resource")
  endif()
endforeach()

# What ships carries no debug information (it goes to the symbols archive).
execute_process(COMMAND ${OBJDUMP} -h ${EXE} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR sections MATCHES " \\.debug")
  message(FATAL_ERROR "${EXE} carries debug sections:\n${sections}")
endif()
