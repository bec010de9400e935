// One cold pass over the real probes, as the host meets them at its start:
// prints the microseconds each probe took, one line each. scripts/bench runs
// it many times, each in a fresh process, and reports the medians.
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
  auto t = Clock::now();
  auto lap = [&t](const char* name) {
    const auto n = Clock::now();
    std::printf("%s %.1f\n", name, std::chrono::duration<double, std::micro>(n - t).count());
    t = n;
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
