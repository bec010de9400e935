#include <windows.h>  // first: the other Windows headers rely on it

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "child_process.h"

// Every path and command line goes through the wide calls: a host in a
// folder whose name the ANSI code page cannot spell, or longer than MAX_PATH,
// must start as it does from a browser.

namespace quorvia::nm {

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

namespace {

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

// The program to start, when it is named by a full path: as it is, or in
// the \\?\ form that lifts the MAX_PATH limit. A bare name is left to the
// command line's search, as before.
std::wstring applicationName(std::wstring path) {
  const bool drive = path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  if (!drive) return {};
  if (path.size() < MAX_PATH) return path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return L"\\\\?\\" + path;
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

ChildResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     const ChildLimits& limits) {
  ChildResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle inRead, inWrite, outRead, outWrite;
  // Room for the whole request, so writing it never waits for a host that
  // does not read.
  const auto inSize = static_cast<DWORD>(input.size() + 4096);
  if (!CreatePipe(&inRead.h, &inWrite.h, &inherit, inSize) || !CreatePipe(&outRead.h, &outWrite.h, &inherit, 0)) {
    result.error = "CreatePipe failed";
    return result;
  }
  // Our ends must not leak into the child, or the pipes never report EOF.
  SetHandleInformation(inWrite.h, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);

  const std::wstring wideProgram = widen(program);
  const std::wstring application = applicationName(wideProgram);
  std::wstring commandLine = quoted(wideProgram);
  for (const auto& a : args) commandLine += L" " + quoted(widen(a));
  // Standard error as the browsers pass theirs on (launch_context_win.cc),
  // in a handle of our own that may be inherited.
  Handle errorCopy;
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE &&
      !DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), &errorCopy.h, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    errorCopy.h = nullptr;
  }
  // Exactly these handles reach the host, whatever else of ours could be
  // inherited (PROC_THREAD_ATTRIBUTE_HANDLE_LIST, as Chromium's
  // handles_to_inherit): a process it leaves behind can hold nothing of ours.
  // Each must itself be inheritable, and bInheritHandles TRUE
  // (UpdateProcThreadAttribute, Microsoft's documentation).
  HANDLE inherited[3] = {inRead.h, outWrite.h, errorCopy.h};
  const DWORD inheritedCount = errorCopy.h ? 3 : 2;
  SIZE_T attributeSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<unsigned char> attributeBuffer(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize) ||
      !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
    result.error = "cannot limit the inherited handles (error " + std::to_string(GetLastError()) + ")";
    return result;
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  // Hidden, in the program's own folder, as the browsers start it
  // (start_hidden and current_directory in launch_context_win.cc; workdir
  // in Firefox's NativeMessaging.sys.mjs).
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = inRead.h;
  startup.StartupInfo.hStdOutput = outWrite.h;
  startup.StartupInfo.hStdError = errorCopy.h;
  const std::size_t slash = wideProgram.find_last_of(L"\\/");
  // CreateProcess wants the folder's full path; a relative --host names it
  // from our own current folder.
  std::wstring folder = slash == std::wstring::npos ? L"" : wideProgram.substr(0, slash + 1);
  if (!folder.empty()) {
    wchar_t full[MAX_PATH];
    const DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
    folder = n > 0 && n < MAX_PATH ? std::wstring(full, n) : L"";
  }
  // Created before the host runs: killed with its last handle, so when we
  // end (Ctrl+C, a kill), the host and whatever it started end too.
  Handle job{CreateJobObjectW(nullptr, nullptr)};
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit{};
  limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job.h == nullptr || !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limit, sizeof limit)) {
    job.reset();
  }
  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessW(
      application.empty() ? nullptr : application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, nullptr,
      folder.empty() || folder.size() >= MAX_PATH ? nullptr : folder.c_str(), &startup.StartupInfo, &process);
  const DWORD createError = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  if (!created) {
    result.error = "CreateProcess failed with error " + std::to_string(createError);
    return result;
  }
  result.started = true;
  Handle processHandle{process.hProcess}, threadHandle{process.hThread};
  if (job.h != nullptr && !AssignProcessToJobObject(job.h, processHandle.h)) job.reset();
  ResumeThread(threadHandle.h);
  inRead.reset();
  outWrite.reset();
  errorCopy.reset();

  std::thread writer([&] {
    DWORD done = 0;
    std::size_t at = 0;
    while (at < input.size() &&
           WriteFile(inWrite.h, input.data() + at, static_cast<DWORD>(input.size() - at), &done, nullptr) && done) {
      at += done;
    }
    inWrite.reset();
  });
  // Anonymous pipes cannot wait with a time limit: look before reading, so
  // a host that goes quiet, or a process it left holding the pipe, cannot
  // block us past the limit.
  const auto deadline = std::chrono::steady_clock::now() + limits.timeLimit;
  char buffer[65536];
  std::optional<std::chrono::steady_clock::time_point> gone;  // when the host was seen to have exited
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(outRead.h, nullptr, 0, nullptr, &available, nullptr)) break;  // every writer has gone
    if (available == 0) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        result.stopped = Stop::kTimeLimit;
        break;
      }
      if (!gone && WaitForSingleObject(processHandle.h, 0) == WAIT_OBJECT_0) gone = now;
      if (gone && now - *gone >= limits.afterExit) {
        result.stopped = Stop::kHostGone;
        break;
      }
      Sleep(1);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(outRead.h, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) break;
    result.out.append(buffer, got);
    if (!limits.onOutput(result.out)) {
      result.stopped = Stop::kCaller;
      break;
    }
  }
  if (result.stopped != Stop::kNone) {
    result.exitedBeforeStop = WaitForSingleObject(processHandle.h, 0) == WAIT_OBJECT_0;
    if (job.h == nullptr || !TerminateJobObject(job.h, 1)) TerminateProcess(processHandle.h, 1);
  }
  writer.join();
  WaitForSingleObject(processHandle.h, INFINITE);
  DWORD code = 0;
  if ((result.stopped == Stop::kNone || result.exitedBeforeStop) && GetExitCodeProcess(processHandle.h, &code)) {
    result.exitStatus = static_cast<int>(code);
  }
  return result;
}

std::string hostBesideUs() {
  std::wstring path(MAX_PATH, L'\0');
  DWORD n = 0;
  while ((n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size()) {
    path.resize(path.size() * 2);
  }
  path.resize(n);
  const auto slash = path.find_last_of(L"\\/");
  return narrow(slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash)) + "\\quorvia-host.exe";
}

void useBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) out.push_back(narrow(argv[i]));
  return out;
}

}  // namespace quorvia::nm
