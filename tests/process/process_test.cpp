// The built host run as a browser runs it, and quorvia-nm against it. ctest
// runs this for the Linux host, for the Windows host under Wine and for the
// arm64 host under qemu-user (QUORVIA_RUNNER).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <picojson.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "corpus/corpus.h"
#include "host/frame.h"

extern char** environ;

namespace quorvia::testing {
namespace {

std::string env(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }
const std::string host = env("QUORVIA_HOST"), runner = env("QUORVIA_RUNNER"), k16 = "0123456789abcdef", k32 = k16 + k16;
const bool windows = env("QUORVIA_PLATFORM") == "windows", sanitized = env("QUORVIA_SANITIZED") == "1";

struct HostRun {
  int status = -1;  // -1 when a signal ended it
  std::string out, err;
  long maxRssKiB = 0;
};
struct RunOptions {
  std::size_t writeStep = 0;           // stdin fed this many bytes at a time (0: all at once)
  bool readerGone = false;             // nobody reads standard output
  std::vector<std::string> env = {};   // NAME=VALUE, ahead of the inherited ones
  std::vector<std::string> args = {};  // another program and its arguments
};

std::string contents(FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

// The output goes to files: under Wine the loader may hand the host's
// handles on to helpers that outlive it, so a pipe's end says nothing.
HostRun run(const std::string& input, const RunOptions& options = {}) {
  std::signal(SIGPIPE, SIG_IGN);  // ours only: the host may stop reading
  int in[2], gone[2];
  const std::unique_ptr<FILE, int (*)(FILE*)> out(std::tmpfile(), std::fclose), err(std::tmpfile(), std::fclose);
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(gone, O_CLOEXEC) != 0 || !out || !err) throw std::runtime_error("no pipe");
  close(gone[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, options.readerGone ? gone[1] : fileno(out.get()), 1);
  posix_spawn_file_actions_adddup2(&actions, fileno(err.get()), 2);
  // A browser starts the host with SIGPIPE at its default.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  // Browsers pass the caller's origin; the host must not depend on it.
  std::vector<std::string> args = options.args;
  if (args.empty()) args = {host, "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"};
  if (!runner.empty()) args.insert(args.begin(), runner);
  std::vector<std::string> envs = options.env;
  for (char** e = environ; *e; ++e) envs.emplace_back(*e);  // the first of a name wins
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : envs) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) throw std::runtime_error("spawn");
  close(in[0]);
  close(gone[1]);
  const std::size_t step = options.writeStep ? options.writeStep : input.size();
  for (std::size_t at = 0; at < input.size(); at += step) {
    if (write(in[1], input.data() + at, std::min(step, input.size() - at)) <= 0) break;  // it stopped reading
  }
  close(in[1]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(out.get()), contents(err.get()), usage.ru_maxrss};
}

// A command's standard output without its line end, or else whole.
std::string shell(const std::string& command, bool whole = false) {
  FILE* p = popen(command.c_str(), "r");
  std::string out = contents(p);
  pclose(p);
  while (!whole && !out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
  return out;
}

std::string request(const std::string& key) {
  return encodeFrame(R"({"command":"DeviceInfo","version":1,"key":")" + key + "\"}");
}
std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

// Decrypts a data response with the openssl command line, an implementation
// independent of the host's, and checks the document's fixed layout.
picojson::object documentOf(const std::string& out, const std::string& key) {
  const std::string head = "{\"data\": \"";
  const std::uint32_t n = out.size() < 4 ? 0 : decodeFrameLength(reinterpret_cast<const unsigned char*>(out.data()));
  const std::string body = out.substr(std::min<std::size_t>(out.size(), 4));
  EXPECT_EQ(body.size(), n) << "not one whole frame";
  if (body.rfind(head, 0) != 0 || body.size() < 12 || body.substr(body.size() - 2) != "\"}") {
    ADD_FAILURE() << "not a data response: " << body;
    return {};
  }
  std::string path = std::filesystem::temp_directory_path() / ("quorvia-b64-" + std::to_string(getpid()));
  std::ofstream(path) << body.substr(head.size(), body.size() - 12);
  const std::string document = shell("openssl enc -d -aes-" + std::to_string(key.size() * 8) + "-cbc -K " + hex(key) +
                                         " -iv " + hex("Hq4ZrW8nLc2VtK6p") + " -base64 -A -in " + path,
                                     true);
  std::remove(path.c_str());
  std::size_t at = 2;
  EXPECT_EQ(document.substr(0, at), "{\n");
  for (const char* member : {"hostName", "macAddress", "venderName", "deviceName", "cpuName", "mainMemory",
                             "storageSize", "osName", "osVersion", "authorizedOsUser", "deviceId"}) {
    const std::string lead = std::string("  \"") + member + "\": ";
    EXPECT_EQ(document.compare(at, lead.size(), lead), 0) << "expected " << member << " at " << at << ":\n" << document;
    at = document.find('\n', at) + 1;
  }
  EXPECT_EQ(document.substr(at), "}\n");
  picojson::value v;
  EXPECT_EQ(picojson::parse(v, document), "") << document;
  return v.is<picojson::object>() ? v.get<picojson::object>() : picojson::object{};
}

TEST(HostProcess, AnswersEachRequestOfTheCorpusWithOneFrame) {
  const auto answers = errorAnswers();
  const auto corpus = requestCorpus();
  ASSERT_GT(corpus.size(), 50u) << "QUORVIA_TEST_DATA should name tests";
  for (const CorpusRow& row : corpus) {
    SCOPED_TRACE(row.line);
    const HostRun r = run(row.input);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, "");
    if (row.status != 0) {
      EXPECT_EQ(r.out, encodeFrame(answers.at(std::stoi(row.codeOrKey))));
    } else {
      EXPECT_EQ(documentOf(r.out, row.codeOrKey).size(), 11u);
    }
    // Memory follows the bytes that arrive, never the length announced.
    EXPECT_LT(r.maxRssKiB, runner.empty() && !sanitized ? 16 << 10 : LONG_MAX);
  }
}

// Left out under qemu-user (process_arm64), whose memory and time it distorts.
TEST(HostProcess, LargestRequestABrowserSendsIsAnsweredInBoundedMemory) {
  // Chrome hands a host at most 64 MiB; under Wine a smaller body shows the same path.
  const std::size_t size = windows ? (8u << 20) : (64u << 20);
  std::string big = R"({"command":"DeviceInfo","version":1,"key":")" + k16 + "\",\"pad\":\"";
  big.append(size - big.size() - 2, 'x');
  const HostRun large = run(encodeFrame(big + "\"}"));
  documentOf(large.out, k16);
  EXPECT_LT(large.maxRssKiB, !windows && !sanitized ? static_cast<long>(3 * size / 1024 + (16 << 10)) : LONG_MAX);
}

TEST(HostProcess, SlowAndAbandonedRequests) {
  documentOf(run(request(k16), {.writeStep = 1}).out, k16);
  // The reader went away: the same status, no signal.
  EXPECT_EQ(run(request(k16), {.readerGone = true}).status, 0);
  EXPECT_EQ(run(request("short"), {.readerGone = true}).status, 1);
}

// Browsers start the host with arguments of their own (Chrome on Windows adds
// --parent-window=N, Firefox passes the manifest's path and the add-on ID):
// all ignored. --help and --version answer only as the one argument.
TEST(HostProcess, BrowsersArgumentsAreIgnoredAndHelpAnswersOnlyAlone) {
  const std::string origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{host, origin, "--parent-window=0"},
                                             {host, "/a/com.quorvia.deviceinfo.json", "a@b"},
                                             {host},
                                             {host, "--help", origin},
                                             {host, "--version", "--parent-window=0"}}) {
    EXPECT_EQ(documentOf(run(request(k16), {.args = args}).out, k16).size(), 11u) << args.size();
  }
  for (const std::string alone : {"--help", "--version"}) {
    const HostRun r = run(request(k16), {.args = {host, alone}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(alone == "--help" ? "usage: quorvia-host" : "quorvia-host ", 0), 0u) << r.out;
  }
}

// In a locale whose encoding takes two bytes for kana, the key is read in that
// encoding and its bytes become the AES key: eight kana, sixteen bytes.
TEST(HostProcess, KeyBytesFollowTheUsersLocaleEncoding) {
  RunOptions japanese{.env = {"LC_ALL=ja_JP.UTF-8"}};  // Wine: ANSI code page 932
  std::string kana = "\x82\xA0", key;
  if (!windows) {
    if (env("QUORVIA_TEST_LOCPATH").empty()) GTEST_SKIP() << "no generated EUC-JP locale";
    japanese.env = {"LOCPATH=" + env("QUORVIA_TEST_LOCPATH"), "LC_ALL=ja_JP.EUC-JP"};
    kana = "\xA4\xA2";
  }
  for (int i = 0; i < 8; ++i) key += kana;
  const HostRun r = run(request(key), japanese);
  EXPECT_EQ(r.status, 0);
  documentOf(r.out, key);
}

// The document against readings of this machine taken by other means.
TEST(HostProcess, DocumentDescribesThisMachine) {
  const HostRun r = run(request(k32));
  ASSERT_EQ(r.status, 0) << r.out;
  const picojson::object doc = documentOf(r.out, k32);
  for (const std::string& line : dataLines("process/machine_readings.tsv")) {
    std::vector<std::string> cell;  // member, platforms, comparison, command
    for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1)
      cell.push_back(line.substr(at, (end = line.find('\t', at)) - at));
    const std::string reading =
        cell[1].find(windows ? "windows" : "linux") == std::string::npos ? "" : shell(cell.at(3));
    if (reading.empty()) continue;
    const auto it = doc.find(cell[0]);
    const std::string value = it == doc.end()                    ? "<missing>"
                              : it->second.is<picojson::array>() ? it->second.serialize()
                                                                 : it->second.to_str();
    SCOPED_TRACE(line + "\nread: " + reading);
    const std::string& how = cell[2];
    bool holds = how == "is"        ? value == reading
                 : how == "starts"  ? value.rfind(reading, 0) == 0
                 : how == "exceeds" ? std::stod(value) > std::stod(reading)
                                    : how == "lists";
    for (std::size_t at = 0, end = 0; how == "lists" && end != std::string::npos; at = end + 1)
      holds = holds && value.find(reading.substr(at, (end = reading.find('\n', at)) - at)) != std::string::npos;
    EXPECT_TRUE(holds) << value;
  }
}

// quorvia-nm runs the host the way a browser does, or decodes an answer; its
// exit status tells a working host from a failing one and its report names
// the cause, within its time limit and in bounded memory whatever the host does.
TEST(Client, ExitStatusAndReportNameTheCause) {
  const std::string nm = env("QUORVIA_NM"), bad = env("QUORVIA_MISBEHAVING_HOST");
  if (nm.empty()) GTEST_SKIP() << "QUORVIA_NM is not set";
  const HostRun answer = run(request(k32));
  ASSERT_EQ(answer.status, 0);
  // A folder name the ANSI code page cannot spell: the Windows client starts
  // the host through the wide calls.
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorvia-nm-ホスト-Ωμέγα-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::copy_file(host, dir / fs::path(host).filename(), fs::copy_options::overwrite_existing);
  const std::string odd = (windows ? "Z:" : "") + (dir / fs::path(host).filename()).string();
  // Without --host, the host beside quorvia-nm's real path: a copy beside that one, started through a link in a
  // folder without a host (Windows starts the copy itself).
  const fs::path nmCopy = dir / fs::path(nm).filename(), link = dir / "link" / nmCopy.filename();
  fs::copy_file(nm, nmCopy, fs::copy_options::overwrite_existing);
  fs::create_directories(link.parent_path());
  fs::create_symlink(nmCopy, link);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says = {};
    std::string input = "", misbehave = "";  // QUORVIA_MISBEHAVE for the misbehaving host
    std::string err = "";                    // on standard error
    std::string program = "";                // another quorvia-nm
  };
  std::vector<Case> cases = {
      {{"call", "--key", k32, "--host", host}, 0, {"exit status:  0", "\"authorizedOsUser\": "}},
      {{"call", "--key", k32, "--host", odd}, 0, {"\"deviceId\": "}},
      {{"call", "--host", host, "--key", "short"}, 1, {"error code:   27\n", "meaning:      the key was refused"}},
      {{"call", "--key", k32, "--command", "Other", "--host", host}, 1, {"error code:   3\n"}},
      {{"call", "--key", k32, "--version", "10001", "--host", host}, 1, {"error code:   4\n"}},
      {{"call", "--key", k32, "--host", "/nonexistent/quorvia-host"}, 2, {"start:        failed"}},
      // Relative to the caller's folder, not to the host's own, where it starts.
      {{"call", "--key", k32, "--host", (windows ? "" : "./") + fs::relative(host).string()}, 0, {"\"deviceId\": "}},
      {{"call", "--key", k32}, 0, {"\"deviceId\": "}, "", "", "", (windows ? nmCopy : link).string()},
      {{"call", "--host", host}, 2},
      {{"decode", "--key", k32}, 0, {"\"deviceId\": "}, answer.out},
      {{"decode", "--key", k32}, 0, {"\"deviceId\": "}, answer.out.substr(4)},  // the body alone
      {{"decode", "--key", "fedcba9876543210fedcba9876543210"}, 1, {"cannot be decrypted"}, answer.out},
      {{"decode", "--key", k32}, 1, {"cut short"}, answer.out.substr(0, answer.out.size() - 3)},
      {{"decode", "--key", k32}, 1, {"follow the frame"}, answer.out + "\n"},
      {{"decode", "--key", k32}, 1, {"more than a browser reads from a host"}, std::string(3 << 20, '\0')},
      {{}, 2, {}, "", "", "usage:"},
      {{"--help"}, 0, {"usage:", "--timeout S"}},
      {{"--version"}, 0, {"quorvia-nm "}},
      {{"call", "--key"}, 2, {}, "", "", "--key needs a value"},
      {{"frobnicate", "--key", "k"}, 2, {}, "", "", "unknown argument 'frobnicate' (see quorvia-nm --help)"},
      {{"call", "--key", k32, "--hots", host}, 2, {}, "", "", "unknown argument '--hots'"},
      {{"decode", "--key", k32, "--host", host}, 2, {}, "", "", "--host applies to call, not to decode"},
      // Only a number, never members spliced into the request.
      {{"call", "--host", host, "--key", k32, "--version", "1,\"command\":\"x\""}, 2},
      {{"call", "--host", host, "--key", k32, "--version", "01"}, 2},
      {{"call", "--host", host, "--key", k32, "--timeout", "0"}, 2},
      {{"call", "--host", host, "--key", k32, "--timeout", "ten"}, 2, {}, "", "", "--timeout needs a number"},
  };
  const std::pair<const char*, std::vector<std::string>> misbehaviours[] = {
      {"stall", {"length:       10 bytes announced\n", "2 s passed; the host was stopped", "cut short"}},
      {"orphan", {"the host has exited, but another process still holds its output open; reading stopped"}},
      {"flood", {"length:       0 bytes announced\n", "more than a browser reads", "follow the frame"}},
      {"huge", {"2147483647 bytes announced", "more than the 1048576 bytes a browser accepts"}},
  };
  for (const auto& [mode, says] : misbehaviours) {
    if (!bad.empty()) cases.push_back({{"call", "--key", k32, "--timeout", "2", "--host", bad}, 1, says, "", mode});
  }
  if (!bad.empty()) {
    cases.push_back({{"call", "--key", k32, "--host", bad}, 1, {"10 s passed; the host was"}, "", "stall"});
    // What the host left behind is not waited for: well within the bound below.
    cases.push_back({{"call", "--key", k32, "--timeout", "30", "--host", bad}, 1, {"reading stopped"}, "", "orphan"});
    // Ended from outside (as by Ctrl+C), quorvia-nm takes the host with it: the host ends it, and is then ended
    // before its marker appears (checked below).
    cases.push_back({{"call", "--key", k32, "--host", bad}, windows ? 0 : -1, {}, "", "parent"});
  }
  // In a folder whose name every code page spells: the host reads it in the ANSI one.
  const fs::path marker = fs::temp_directory_path() / ("quorvia-nm-outlived-" + std::to_string(getpid()));
  for (Case& c : cases) {
    c.args.insert(c.args.begin(), c.program.empty() ? nm : c.program);
    const auto start = std::chrono::steady_clock::now();
    const HostRun r = run(c.input, {.env = {"QUORVIA_MISBEHAVE=" + c.misbehave,
                                            std::string("QUORVIA_MARKER=") + (windows ? "Z:" : "") + marker.string()},
                                    .args = c.args});
    const std::string what = ::testing::PrintToString(c.args) + " " + c.misbehave + ":\n" + r.out;
    EXPECT_EQ(r.status, c.status) << what;
    for (const std::string& text : c.says) EXPECT_NE(r.out.find(text), std::string::npos) << text << " in " << what;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.err << " in " << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << what;
    // A spawned child's peak includes ours until it execs (under the sanitizers ours passes the bound after
    // the largest request): only a peak above ours is the client's own.
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    EXPECT_TRUE(r.maxRssKiB < 256 * 1024 || r.maxRssKiB <= self.ru_maxrss) << r.maxRssKiB << " KiB: " << what;
  }
  if (!bad.empty()) {
    std::this_thread::sleep_for(std::chrono::seconds(5));  // the host's 3 s, and more
    EXPECT_FALSE(fs::remove(marker)) << "the host outlived quorvia-nm";
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvia::testing
