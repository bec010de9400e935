#include "base/system_dll_win.h"

namespace quorvia {

FARPROC systemDllFunction(const wchar_t* dll, const char* name) {
  // The module stays loaded for the life of the process, as an import would.
  const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

}  // namespace quorvia
