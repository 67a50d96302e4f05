#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "platform/signals.h"

// Windows 10 1803 and later; older headers lack it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace varnock {
namespace {

// The console's events arrive on a thread the system starts for each; these
// are shared with it.
std::atomic<int> g_stop_signal{0};
std::atomic<int> g_pending{0};  // held: an event not yet taken by a wait
HANDLE g_wake = nullptr;        // set on every event, so that a wait ends

int signal_for(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return SIGINT;
    case CTRL_BREAK_EVENT:
      return SIGBREAK;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return SIGTERM;
    default:
      return 0;
  }
}

// After a close, logoff or shutdown handler returns, Windows ends the process
// at once; so the handler waits, and the process ends when the run has (it
// exits by end_by_signal), or at the system's deadline (5 s for a close).
BOOL wait_unless_interrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
  return TRUE;
}

// Keeps `event`'s signal for the next wait and wakes it; FALSE for events
// left to the next handler.
BOOL WINAPI on_console_event(DWORD event) {
  const int signo = signal_for(event);
  if (signo == 0) return FALSE;
  g_pending.store(signo);
  SetEvent(g_wake);
  return wait_unless_interrupt(event);
}

// A waitable timer for the calling thread: plain Sleep rounds to the system
// tick (15.6 ms), a high-resolution timer does not. Where there is none
// (before Windows 10 1803), an ordinary timer with the system tick set to
// 1 ms for the rest of the process.
class ThreadTimer {
 public:
  ThreadTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS)) {
    if (handle_ != nullptr) return;
    static const bool kTickRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)kTickRaised;
    handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~ThreadTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  // Waits `ns` (> 0) or until `wake` is set, when not null; false when
  // `wake` ended the wait.
  bool wait(int64_t ns, HANDLE wake) const {
    LARGE_INTEGER due{};
    due.QuadPart = -((ns + 99) / 100);  // relative, in 100-ns units, never short
    if (handle_ == nullptr || SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE) == 0) {
      const DWORD ms = static_cast<DWORD>((ns + 999'999) / 1'000'000);
      if (wake == nullptr) {
        Sleep(ms);
        return true;
      }
      return WaitForSingleObject(wake, ms) != WAIT_OBJECT_0;
    }
    const HANDLE handles[2] = {handle_, wake};
    return WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE, INFINITE) ==
           WAIT_OBJECT_0;
  }

 private:
  HANDLE handle_;
};

bool take_pending() {
  // A wake left set for an event already taken would end the next wait early.
  if (g_wake != nullptr) ResetEvent(g_wake);
  const int signo = g_pending.exchange(0);
  if (signo == 0) return false;
  g_stop_signal.store(signo);
  return true;
}

}  // namespace

void hold_run_signals(RunSignals /*which*/) {
  if (g_wake == nullptr) g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // A console that started the process ignoring Ctrl+C (start /b, a new
  // process group) never calls a handler for it: it stays ignored.
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

Wake wait_taking_signals(int /*fd*/, int64_t timeout_ns) {
  if (take_pending()) return Wake::kSignal;
  if (timeout_ns > 0) {
    static thread_local const ThreadTimer timer;
    timer.wait(timeout_ns, g_wake);
  }
  return take_pending() ? Wake::kSignal : Wake::kTimeout;
}

int received_stop_signal() { return g_stop_signal.load(); }

// Nothing suspends a process on Windows.
bool take_suspend_request() { return false; }

bool take_resume_notice() { return false; }

// varnock-gather, the one program that asks, is not built for Windows.
bool take_resize_notice() { return false; }

void stop_as_suspended() {}

void end_by_signal(int /*signo*/) {
  std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void end_for_lost_reader() {
  // What is still buffered has nowhere to go; flushing it would only fail.
  ExitProcess(128 + 13);
}

}  // namespace varnock
