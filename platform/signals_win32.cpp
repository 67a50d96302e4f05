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
std::atomic<int> g_pending{0};  // held: an event not yet taken by a sleep
HANDLE g_wake = nullptr;        // set on every event, so that a sleep ends

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

// Keeps `event`'s signal in `slot` and wakes the waiter; FALSE for events
// left to the next handler.
BOOL note_event(DWORD event, std::atomic<int>& slot) {
  const int signo = signal_for(event);
  if (signo == 0) return FALSE;
  slot.store(signo);
  SetEvent(g_wake);
  return wait_unless_interrupt(event);
}

BOOL WINAPI on_stop_event(DWORD event) { return note_event(event, g_stop_signal); }

BOOL WINAPI on_held_event(DWORD event) { return note_event(event, g_pending); }

void watch_console_events(PHANDLER_ROUTINE handler) {
  if (g_wake == nullptr) g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // A console that started the process ignoring Ctrl+C (start /b, a new
  // process group) never calls a handler for it: it stays ignored.
  SetConsoleCtrlHandler(handler, TRUE);
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
  const int signo = g_pending.exchange(0);
  if (signo == 0) return false;
  g_stop_signal.store(signo);
  return true;
}

}  // namespace

void install_stop_handlers() { watch_console_events(on_stop_event); }

int received_stop_signal() { return g_stop_signal.load(); }

void hold_run_signals() { watch_console_events(on_held_event); }

bool sleep_taking_held_signals(int64_t ns) {
  if (take_pending()) return false;
  bool slept = true;
  if (ns > 0) {
    static thread_local const ThreadTimer timer;
    slept = timer.wait(ns, g_wake);
  }
  return !take_pending() && slept;
}

// Nothing suspends a process on Windows.
bool take_suspend_request() { return false; }

bool take_resume_notice() { return false; }

void stop_as_suspended() {}

void end_by_signal(int /*signo*/) {
  std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace varnock
