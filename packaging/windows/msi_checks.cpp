// The MSI's check of the extension IDs, run from its Binary table before
// InstallValidate: an installation, maintenance run or upgrade that would be
// refused stops before anything on the machine has changed, the old version
// of an upgrade included, and says why in the log and to the user.
//
// Only a DLL custom action can do both: an .exe run by the installer has no
// handle to the session, so its message never reaches the log (Microsoft
// Learn, "Returning Error Messages from Custom Actions"). The message goes
// through MsiProcessMessage as INSTALLMESSAGE_ERROR, which Windows Installer
// shows in a full UI and writes to the log in every UI level, and the action
// returns ERROR_INSTALL_FAILURE, which ends the installation with 1603
// ("Custom Action Return Values").
#include <windows.h>
// windows.h first: msiquery.h needs its types.
#include <msiquery.h>

#include <string>

#include "../manifest/extension_ids.h"

namespace {

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t none[1] = L"";
  if (MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) return {};
  std::wstring value(++size, L'\0');
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
  value.resize(size);
  return value;
}

UINT refuse(MSIHANDLE install, const std::string& reason) {
  // "[1]" as the template: the reason is inserted as it is, never formatted
  // itself (a {GUID} or [NAME] in an ID stays text).
  const MSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, wide(reason).c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_ERROR, record);
  MsiCloseHandle(record);
  return ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckExtensionIds(MSIHANDLE install) {
  const auto chrome = quorvia::ids::split(utf8(property(install, L"CHROME_EXTENSION_IDS")));
  const auto firefox = quorvia::ids::split(utf8(property(install, L"FIREFOX_EXTENSION_IDS")));
  if (chrome.empty() && firefox.empty() && property(install, L"Installed").empty()) {
    return refuse(install,
                  "No extension is allowed to use the host. Give CHROME_EXTENSION_IDS (Chrome, Chromium and Edge "
                  "extension IDs, comma-separated) and/or FIREFOX_EXTENSION_IDS (Firefox add-on IDs, comma-separated) "
                  "on the msiexec command line.");
  }
  if (const std::string problem = quorvia::ids::problem(true, chrome); !problem.empty()) {
    return refuse(install, "CHROME_EXTENSION_IDS: " + problem);
  }
  if (const std::string problem = quorvia::ids::problem(false, firefox); !problem.empty()) {
    return refuse(install, "FIREFOX_EXTENSION_IDS: " + problem);
  }
  return ERROR_SUCCESS;
}
