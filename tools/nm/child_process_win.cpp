#include <windows.h>

#include <thread>

#include "child_process.h"

namespace quorvia::nm {

namespace {

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Quotes one argument by the rules CommandLineToArgvW undoes.
std::wstring quoted(const std::wstring& arg) {
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out.push_back(c);
  }
  out.append(slashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

struct Handle {
  HANDLE h = nullptr;
  ~Handle() { reset(); }
  void reset() {
    if (h) CloseHandle(h);
    h = nullptr;
  }
};

}  // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  ChildResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle inRead, inWrite, outRead, outWrite;
  if (!CreatePipe(&inRead.h, &inWrite.h, &inherit, 0) || !CreatePipe(&outRead.h, &outWrite.h, &inherit, 0)) {
    result.error = "CreatePipe failed";
    return result;
  }
  // Our ends must not leak into the child, or the pipes never report EOF.
  SetHandleInformation(inWrite.h, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = quoted(widen(program));
  for (const auto& a : args) commandLine += L" " + quoted(widen(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.h;
  startup.hStdOutput = outWrite.h;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    result.error = "CreateProcess failed with error " + std::to_string(GetLastError());
    return result;
  }
  result.started = true;
  Handle processHandle{process.hProcess}, threadHandle{process.hThread};
  inRead.reset();
  outWrite.reset();

  // Feed the request from a second thread so a host that answers before it
  // has read everything cannot deadlock us.
  std::thread writer([&] {
    DWORD done = 0;
    std::size_t at = 0;
    while (at < input.size() &&
           WriteFile(inWrite.h, input.data() + at, static_cast<DWORD>(input.size() - at), &done, nullptr) && done) {
      at += done;
    }
    inWrite.reset();
  });
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(outRead.h, buffer, sizeof buffer, &got, nullptr) && got > 0) result.out.append(buffer, got);
  writer.join();
  WaitForSingleObject(processHandle.h, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(processHandle.h, &code)) result.exitStatus = static_cast<int>(code);
  return result;
}

std::string hostBesideUs() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  const auto slash = p.find_last_of("\\/");
  return (slash == std::string::npos ? std::string(".") : p.substr(0, slash)) + "\\quorvia-host.exe";
}

}  // namespace quorvia::nm

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace quorvia::nm {

void useBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace quorvia::nm
