#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "platform/signals.h"

namespace varnock {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

// Set by the handlers, which run only inside wait_taking_signals.
volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_suspend_requested = 0;
volatile std::sig_atomic_t g_resume_noticed = 0;
volatile std::sig_atomic_t g_resize_noticed = 0;
// Touched only by the thread that held the signals.
sigset_t g_held;       // empty until hold_run_signals
sigset_t g_unblocked;  // that thread's mask without them, swapped in by the wait

void on_stop(int signo) { g_stop_signal = signo; }
void on_suspend(int /*signo*/) { g_suspend_requested = 1; }
void on_resume(int /*signo*/) { g_resume_noticed = 1; }
void on_resize(int /*signo*/) { g_resize_noticed = 1; }

void handle(int signo, void (*handler)(int), const sigset_t* masked) {
  struct sigaction action {};
  action.sa_handler = handler;
  if (masked != nullptr) {
    action.sa_mask = *masked;
  } else {
    sigemptyset(&action.sa_mask);
  }
  action.sa_flags = 0;
  sigaction(signo, &action, nullptr);
}

bool ignored(int signo) {
  struct sigaction current {};
  return sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_IGN;
}

sigset_t only(int signo) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  return set;
}

// When wait_taking_signals last looked for a pending signal on a readable
// descriptor; the thread that holds the signals alone reads it.
int64_t g_pending_looked_ns = INT64_MIN / 2;
constexpr int64_t kPendingLookNs = 1'000'000;

bool any_held_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int signo = 1; signo < NSIG; ++signo) {
    if (sigismember(&g_held, signo) == 1 && sigismember(&pending, signo) == 1) return true;
  }
  return false;
}

}  // namespace

void hold_run_signals(RunSignals which) {
  handle(SIGPIPE, SIG_IGN, nullptr);
  sigemptyset(&g_held);
  const bool suspends = which == RunSignals::kStopAndSuspend;
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) {
    if ((signo == SIGQUIT || signo == SIGTSTP) && !suspends) continue;
    if (!ignored(signo)) sigaddset(&g_held, signo);
  }
  // Blocked, SIGCONT still continues the process when it arrives; its
  // handler runs at the next wait.
  if (suspends) sigaddset(&g_held, SIGCONT);
  // SIGWINCH is ignored by default; held, it ends a wait so that the program
  // redraws at once.
  if (which == RunSignals::kStopAndResize && !ignored(SIGWINCH)) sigaddset(&g_held, SIGWINCH);
  // Blocked before the handlers are set, so that none runs outside a wait;
  // each handler masks the others, so that a wait takes one signal.
  pthread_sigmask(SIG_BLOCK, &g_held, &g_unblocked);
  for (int signo = 1; signo < NSIG; ++signo) {
    if (sigismember(&g_held, signo) != 1) continue;
    sigdelset(&g_unblocked, signo);
    void (*handler)(int) = signo == SIGTSTP    ? on_suspend
                           : signo == SIGCONT  ? on_resume
                           : signo == SIGWINCH ? on_resize
                                               : on_stop;
    handle(signo, handler, &g_held);
  }
}

Wake wait_taking_signals(int fd, int64_t timeout_ns) {
  timespec timeout{};
  if (timeout_ns > 0) {
    timeout.tv_sec = static_cast<time_t>(timeout_ns / kNanosPerSecond);
    timeout.tv_nsec = static_cast<long>(timeout_ns % kNanosPerSecond);
  }
  pollfd watched{fd, POLLIN, 0};
  // ppoll lets the held signals through for the wait alone: one pending
  // since the last wait runs its handler here, at once, and one that comes
  // meanwhile ends the wait. The thread's timer slack applies, as to any sleep.
  const int ready = ppoll(&watched, fd >= 0 ? 1 : 0, &timeout, &g_unblocked);
  if (ready < 0) return errno == EINTR ? Wake::kSignal : Wake::kTimeout;
  if (ready == 0) return Wake::kTimeout;
  // A descriptor that is always readable (a log replayed at full speed)
  // would otherwise keep a pending signal waiting until it is not. Looked
  // for once a millisecond at most: a stream of small messages wakes the
  // wait tens of thousands of times a second, and the look is a system call.
  timespec now_ts{};
  clock_gettime(CLOCK_MONOTONIC, &now_ts);
  const int64_t now_ns = int64_t{now_ts.tv_sec} * kNanosPerSecond + now_ts.tv_nsec;
  if (now_ns - g_pending_looked_ns < kPendingLookNs) return Wake::kReadable;
  g_pending_looked_ns = now_ns;
  if (any_held_pending()) {
    const timespec now{};
    ppoll(nullptr, 0, &now, &g_unblocked);
    return Wake::kSignal;
  }
  return Wake::kReadable;
}

int received_stop_signal() { return g_stop_signal; }

bool take_suspend_request() {
  const bool requested = g_suspend_requested != 0;
  g_suspend_requested = 0;
  return requested;
}

bool take_resume_notice() {
  const bool noticed = g_resume_noticed != 0;
  g_resume_noticed = 0;
  return noticed;
}

bool take_resize_notice() {
  const bool noticed = g_resize_noticed != 0;
  g_resize_noticed = 0;
  return noticed;
}

void stop_as_suspended() {
  // SIGTSTP's own action stops the process; its handler, ours, would not.
  // Raised while blocked, SIGTSTP is pending once however many came, so
  // unblocking it stops the process once; it is blocked again on waking.
  const sigset_t tstp = only(SIGTSTP);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &tstp, &before);
  struct sigaction held {};
  sigaction(SIGTSTP, nullptr, &held);
  handle(SIGTSTP, SIG_DFL, nullptr);
  raise(SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGTSTP, &held, nullptr);
}

void end_by_signal(int signo) {
  const sigset_t one = only(signo);
  handle(signo, SIG_DFL, nullptr);
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
  raise(signo);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  std::_Exit(128 + signo);
}

void end_for_lost_reader() { end_by_signal(SIGPIPE); }

}  // namespace varnock
