#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "platform/signals.h"

namespace varnock {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

volatile std::sig_atomic_t g_stop_signal = 0;
// The rest is only touched by the thread that holds the signals.
sigset_t g_held;  // empty until hold_run_signals
bool g_suspend_requested = false;
bool g_resume_noticed = false;

void on_stop(int signo) { g_stop_signal = signo; }

void handle(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
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

}  // namespace

void install_stop_handlers() {
  handle(SIGINT, on_stop);
  handle(SIGTERM, on_stop);
  handle(SIGHUP, on_stop);
  handle(SIGPIPE, SIG_IGN);
}

int received_stop_signal() { return g_stop_signal; }

void hold_run_signals() {
  handle(SIGPIPE, SIG_IGN);
  sigemptyset(&g_held);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) {
    if (!ignored(signo)) sigaddset(&g_held, signo);
  }
  // Blocked, SIGCONT is queued whatever its action, and still continues the
  // process when it arrives.
  sigaddset(&g_held, SIGCONT);
  pthread_sigmask(SIG_BLOCK, &g_held, nullptr);
}

bool sleep_taking_held_signals(int64_t ns) {
  timespec timeout{};
  if (ns > 0) {
    timeout.tv_sec = static_cast<time_t>(ns / kNanosPerSecond);
    timeout.tv_nsec = static_cast<long>(ns % kNanosPerSecond);
  }
  // Unlike a handler, taking the signal here runs nothing asynchronously, and
  // the sleep keeps the thread's timer slack.
  const int signo = sigtimedwait(&g_held, nullptr, &timeout);
  if (signo < 0) return errno == EAGAIN;  // EINTR: a handler ran, or a stop
  if (signo == SIGTSTP) {
    g_suspend_requested = true;
  } else if (signo == SIGCONT) {
    g_resume_noticed = true;
  } else {
    g_stop_signal = signo;
  }
  return false;
}

bool take_suspend_request() {
  const bool requested = g_suspend_requested;
  g_suspend_requested = false;
  return requested;
}

bool take_resume_notice() {
  const bool noticed = g_resume_noticed;
  g_resume_noticed = false;
  return noticed;
}

void stop_as_suspended() {
  // Raised while blocked, SIGTSTP is pending once however many came, so
  // unblocking it stops the process once; it is blocked again on waking.
  const sigset_t tstp = only(SIGTSTP);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &tstp, &before);
  raise(SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, nullptr);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void end_by_signal(int signo) {
  const sigset_t one = only(signo);
  handle(signo, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
  raise(signo);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  std::_Exit(128 + signo);
}

}  // namespace varnock
