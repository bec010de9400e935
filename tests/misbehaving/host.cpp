// A host that misbehaves as QUORVIA_MISBEHAVE says, for quorvia-nm to face:
//   stall  - announces 10 bytes, then waits
//   flood  - writes zero bytes without end
//   huge   - announces 2 GiB - 1, then floods
//   orphan - exits at once, leaving a child that holds its output open
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void pause(int seconds) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(seconds) * 1000);
#else
  sleep(static_cast<unsigned>(seconds));
#endif
}

void flood() {
  static const char zeros[65536] = {};
  while (std::fwrite(zeros, 1, sizeof zeros, stdout) == sizeof zeros) {
  }
}

}  // namespace

int main() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const char* mode = std::getenv("QUORVIA_MISBEHAVE");
  const std::string m = mode ? mode : "";
  if (m == "stall") {
    std::fwrite("\x0A\0\0\0", 1, 4, stdout);
    std::fflush(stdout);
    pause(60);
  } else if (m == "flood") {
    flood();
  } else if (m == "huge") {
    std::fwrite("\xFF\xFF\xFF\x7F", 1, 4, stdout);
    flood();
  } else if (m == "orphan") {
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"QUORVIA_MISBEHAVE", L"hold");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(self, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
#else
    if (fork() == 0) pause(60);
#endif
  } else if (m == "hold") {
    pause(60);
  }
  return 0;
}
