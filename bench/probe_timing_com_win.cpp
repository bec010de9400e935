#include <windows.h>  // first: the other Windows headers rely on it

#include <objbase.h>

// The probes expect COM in the multithreaded apartment, joined before main
// runs its first probe, as the host's platform set-up does.
namespace {
struct ComForTiming {
  ComForTiming() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~ComForTiming() { CoUninitialize(); }
} com;
}  // namespace
