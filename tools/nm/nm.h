#pragma once
// What quorvia-nm's commands share: the command line as read, the call that
// starts a host as a browser does, and doctor, which uses that call.
#include <optional>
#include <string>
#include <vector>

namespace quorvia::nm {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Options {
  std::string mode;
  std::optional<std::string> key;
  std::string host;
  std::string command = "DeviceInfo";
  std::string version = "1";
  double timeoutSeconds = 10;
  // How the host is started: as Firefox (manifest path and add-on ID) or as
  // the Chromium family (the extension's origin).
  bool firefox = false;
  std::string manifest;     // the manifest path Firefox passes
  std::string extensionId;  // the caller; empty: a stand-in
  // doctor
  std::string name = "com.quorvia.deviceinfo";
  std::vector<std::string> extensions;
  std::string browsers;  // ",a,b" as given
  std::string userDataDir;
  std::string root;
  bool call = true;
};

// Starts the host as o says and reports on it; the report goes to `report`
// when given, else to standard output. Returns the exit status of `call`.
int call(const Options& o, std::string* report = nullptr);

// What is wrong with doctor's options ("" when nothing).
std::string doctorUsageProblem(Options& o);
int doctor(const Options& o);

}  // namespace quorvia::nm
