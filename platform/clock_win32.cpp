#include <windows.h>

#include <ctime>

#include "platform/clock.h"

namespace varnock {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// 100-ns ticks from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

int64_t performance_frequency() {
  LARGE_INTEGER f{};
  QueryPerformanceFrequency(&f);  // never fails from Windows XP on
  return f.QuadPart;
}

// 100-ns ticks since 1970.
int64_t wall_ticks() {
  FILETIME ft{};
  GetSystemTimePreciseAsFileTime(&ft);
  const int64_t ticks =
      static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
  return ticks - kUnixEpochTicks;
}

}  // namespace

// The pause's precision comes from its timer (platform/signals_win32.cpp),
// made by the first sleep of each thread.
SystemClock::SystemClock() = default;

int64_t SystemClock::calendar_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

int64_t SystemClock::wall_milliseconds() { return wall_ticks() / 10'000; }

int64_t SystemClock::wall_nanoseconds() { return wall_ticks() * 100; }

int64_t SystemClock::monotonic_nanoseconds() {
  static const int64_t frequency = performance_frequency();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  // Whole seconds and the rest apart, so that no product overflows.
  const int64_t c = count.QuadPart;
  return c / frequency * kNanosPerSecond + c % frequency * kNanosPerSecond / frequency;
}

}  // namespace varnock
