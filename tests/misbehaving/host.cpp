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
#else
#include <unistd.h>
#endif

int main() {
  const std::string m = std::getenv("QUORVIA_MISBEHAVE") ? std::getenv("QUORVIA_MISBEHAVE") : "";
  static const char zeros[65536] = {};
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  if (m == "orphan") {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"QUORVIA_MISBEHAVE", L"hold");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    CreateProcessW(self, nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
  }
#define sleep(seconds) Sleep((seconds)*1000)
#else
  if (m == "orphan" && fork() == 0) sleep(60);
#endif
  if (m == "stall" || m == "huge") std::fwrite(m == "stall" ? "\x0A\0\0\0" : "\xFF\xFF\xFF\x7F", 1, 4, stdout);
  std::fflush(stdout);
  while ((m == "flood" || m == "huge") && std::fwrite(zeros, 1, sizeof zeros, stdout) == sizeof zeros) {
  }
  if (m == "stall" || m == "hold") sleep(60);
  return 0;
}
