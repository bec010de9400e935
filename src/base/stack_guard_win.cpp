// The stack protector's guard value and its failure handlers, in place of
// GCC's libssp. libssp seeds the guard before main with CryptAcquireContext,
// which loads a cryptographic service provider and, by the standard search
// order, its dependencies that are not KnownDLLs, bcrypt.dll among them: from
// the program's own folder first, before the host can restrict DLL loads to
// System32. These definitions come first on the link line, so libssp's are
// never linked, and the programs import nothing for them.
//
// The seed mixes what MSVC's /GS mixes for its cookie (Microsoft Learn,
// "__security_init_cookie"): the time, the process and thread IDs, the tick
// and performance counters, and here a stack address that ASLR places, and
// RDRAND where the processor has it. No DLL is loaded for it.
#include <windows.h>

#include <cpuid.h>
#include <cstdint>

extern "C" {

// Not zero before the seed is set, so that a guard never compares equal to
// a zeroed stack.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232u;

// What MSVC's checks do on failure (__fastfail, "int 0x29" with the code in
// ECX on x64): end the process at once, with no handler and nothing else of
// it running.
[[noreturn]] void __stack_chk_fail() {
  __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
  __builtin_unreachable();
}

[[noreturn]] void __chk_fail() {
  __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_RANGE_CHECK_FAILURE));
  __builtin_unreachable();
}

}  // extern "C"

namespace {

__attribute__((target("rdrnd"))) std::uint64_t hardwareRandom() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  unsigned long long value = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_RDRND) != 0) {
    for (int attempt = 0; attempt < 10 && !__builtin_ia32_rdrand64_step(&value); ++attempt) {
    }
  }
  return value;
}

// Runs among the first constructors; unprotected itself, since the guard
// changes while it runs.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard() {
  FILETIME time{};
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  std::uint64_t seed = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  seed ^= std::uint64_t{GetCurrentProcessId()} << 32 ^ GetCurrentThreadId();
  seed ^= GetTickCount64() << 24;
  seed ^= static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15u;
  seed ^= reinterpret_cast<std::uintptr_t>(&time);
  seed ^= hardwareRandom();
  __stack_chk_guard = seed != 0 ? seed : __stack_chk_guard;
}

}  // namespace
