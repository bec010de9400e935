# The programs are deployed as single .exe files, often in a folder others can
# write to. Windows' loader looks for a static import in the program's own
# folder first unless the DLL is one of the KnownDLLs (Session Manager's list,
# Windows 10 and later), ntdll.dll, or an API set, so those are all a program
# may import: never a compiler runtime, nor bcrypt.dll or iphlpapi.dll.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "no import table found in ${EXE}")
endif()
set(allowed advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt
    normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  string(REGEX REPLACE "\\.dll$" "" name "${dll}")
  list(FIND allowed "${name}" at)
  if(at EQUAL -1 AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${EXE} imports ${dll}, which is not a KnownDLL: a copy beside the program would be loaded")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
