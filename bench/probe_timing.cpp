// One cold pass over the real probes, as the host meets them at its start:
// prints the microseconds each probe took, one line each, and on Linux the
// page faults it caused (on a virtual machine each costs microseconds).
// scripts/bench runs it many times, each in a fresh process, and reports the
// medians.
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <clocale>
#include <cstdio>

#include "device/probes.h"

int main() {
  using Clock = std::chrono::steady_clock;
  std::setlocale(LC_CTYPE, "");
  auto local = quorvia::makeLocalSystem();
  auto wmi = quorvia::makeWmiSystem();
  quorvia::DeviceRecord r;
  quorvia::ProbeBuffer b;
  const auto faults = [] {
#ifdef _WIN32
    return 0L;
#else
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
#endif
  };
  long f = faults();
  auto t = Clock::now();
  auto lap = [&](const char* name) {
    const auto n = Clock::now();
    const long now = faults();
    std::printf("%s %.1f %ld\n", name, std::chrono::duration<double, std::micro>(n - t).count(), now - f);
    f = now;
    t = Clock::now();
  };
  quorvia::collectHostName(*local, r, b);
  lap("host-name");
  r.macAddress = quorvia::collectAdapterAddresses(*local);
  lap("adapters");
  r.collectWmiInfo(*wmi);
  lap("management-data");
  quorvia::collectCpuName(*local, r, b);
  lap("processor");
  quorvia::collectMainMemory(*local, r);
  lap("memory");
  quorvia::collectStorageSize(*local, r);
  lap("storage");
  quorvia::collectUserName(*local, r, b);
  lap("user");
  return 0;
}
