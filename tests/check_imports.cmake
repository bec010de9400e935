cmake_minimum_required(VERSION 3.25)
# The programs are deployed as single .exe files, often in a folder others can
# write to. Windows' loader looks for a static import there first unless it is
# a KnownDLL (Windows 10 and later), ntdll.dll or an API set: never a compiler
# runtime, nor bcrypt.dll or iphlpapi.dll.
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
