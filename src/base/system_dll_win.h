#pragma once

#include <windows.h>

namespace quorvia {

// A function of a Windows DLL that is not one of the KnownDLLs (bcrypt.dll,
// iphlpapi.dll), taken from the copy in System32 and nowhere else; null when
// it cannot be had. Linking such a DLL would let Windows' loader search the
// program's own folder for it before main runs, and the ZIP is unpacked
// wherever users like, often somewhere others can write.
FARPROC systemDllFunction(const wchar_t* dll, const char* name);

template <class Function>
Function systemDllFunction(const wchar_t* dll, const char* name) {
  // Through void(*)(), the one pointer type every function pointer may be
  // cast to and from without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(systemDllFunction(dll, name)));
}

}  // namespace quorvia
