// A host that misbehaves as QUORVIA_MISBEHAVE says: "stall" announces 10
// bytes and waits, "flood" writes zeros without end, "huge" announces
// 2 GiB - 1 and floods, "orphan" exits leaving a child that holds its output,
// "parent" ends the program that started it and, 3 s later, if still alive,
// creates the file QUORVIA_MARKER names.
#include <cstdio>
#include <cstdlib>
#include <string>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#else
#include <signal.h>
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
  if (m == "parent") {
    const HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(all, &entry); more; more = Process32NextW(all, &entry)) {
      if (entry.th32ProcessID != GetCurrentProcessId()) continue;
      const HANDLE parent = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ParentProcessID);
      if (parent) TerminateProcess(parent, 0);
    }
  }
#define sleep(seconds) Sleep((seconds)*1000)
#else
  if (m == "orphan" && fork() == 0) sleep(60);
  if (m == "parent") kill(getppid(), SIGTERM);
#endif
  if (m == "parent") {
    sleep(3);
    if (FILE* marker = std::fopen(std::getenv("QUORVIA_MARKER"), "w")) std::fclose(marker);
  }
  if (m == "stall" || m == "huge") std::fwrite(m == "stall" ? "\x0A\0\0\0" : "\xFF\xFF\xFF\x7F", 1, 4, stdout);
  std::fflush(stdout);
  while ((m == "flood" || m == "huge") && std::fwrite(zeros, 1, sizeof zeros, stdout) == sizeof zeros) {
  }
  if (m == "stall" || m == "hold") sleep(60);
  return 0;
}
