// A host that misbehaves as QUORVIA_MISBEHAVE says: "stall" announces 10
// bytes and waits, "flood" writes zeros without end, "huge" announces
// 2 GiB - 1 and floods, "orphan" exits leaving a child that holds its output.
#include <cstdio>
#include <cstdlib>
#include <string>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define waitSeconds(seconds) Sleep((seconds)*1000)
#else
#include <unistd.h>
#define waitSeconds(seconds) sleep(seconds)
#endif

int main() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const char* mode = std::getenv("QUORVIA_MISBEHAVE");
  const std::string m = mode ? mode : "";
  static const char zeros[65536] = {};
  if (m == "stall" || m == "huge") std::fwrite(m == "stall" ? "\x0A\0\0\0" : "\xFF\xFF\xFF\x7F", 1, 4, stdout);
  std::fflush(stdout);
  if (m == "flood" || m == "huge") {
    while (std::fwrite(zeros, 1, sizeof zeros, stdout) == sizeof zeros) {
    }
  } else if (m == "stall" || m == "hold") {
    waitSeconds(60);
  } else if (m == "orphan") {
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"QUORVIA_MISBEHAVE", L"hold");
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION child{};
    if (CreateProcessW(self, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
      CloseHandle(child.hThread);
      CloseHandle(child.hProcess);
    }
#else
    if (fork() == 0) waitSeconds(60);
#endif
  }
  return 0;
}
