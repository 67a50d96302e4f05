#include <csignal>

#include "platform/signals.h"

namespace varnock {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_suspend_requested = 0;

void on_stop(int signo) { g_stop_signal = signo; }
void on_suspend(int /*signo*/) { g_suspend_requested = 1; }

void handle(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(signo, &action, nullptr);
}

}  // namespace

void install_stop_handlers() {
  handle(SIGINT, on_stop);
  handle(SIGTERM, on_stop);
  handle(SIGHUP, on_stop);
  handle(SIGPIPE, SIG_IGN);
}

void install_signal_handlers() {
  install_stop_handlers();
  handle(SIGTSTP, on_suspend);
}

int received_stop_signal() { return g_stop_signal; }

bool take_suspend_request() {
  if (g_suspend_requested == 0) return false;
  g_suspend_requested = 0;
  return true;
}

}  // namespace varnock
