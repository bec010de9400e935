#pragma once

namespace quorvia {

// What the process needs from its platform before the request and after the
// response: raw binary standard streams, safe DLL loading and COM on Windows;
// on Linux only that a vanished reader cannot kill the process.
class PlatformSession {
 public:
  PlatformSession();
  ~PlatformSession();
  PlatformSession(const PlatformSession&) = delete;
  PlatformSession& operator=(const PlatformSession&) = delete;

  // False when the set-up the probes rely on failed (code 11).
  bool ready() const { return ready_; }

 private:
  bool ready_ = false;
};

}  // namespace quorvia
