#include <windows.h>  // first: the other Windows headers rely on it

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>

#include "host/platform_session.h"

namespace quorvia {

PlatformSession::PlatformSession() {
  // First of all: no system dialog (a drive not ready, a disk to insert) may
  // ever wait for a click in a process that nobody sees. SetErrorMode
  // replaces the whole mode, which the process inherited from the browser
  // (Microsoft Learn, SetErrorMode and GetErrorMode), so the bits the browser
  // chose are kept.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Before anything can load a DLL: only System32, never the host's folder or
  // the current directory.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A length byte of 0x0A must stay one byte, and 0x1A must not end input.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  ready_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

PlatformSession::~PlatformSession() {
  if (ready_) CoUninitialize();
}

}  // namespace quorvia
