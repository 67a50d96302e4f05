#include <poll.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "gather/bus_wait.h"
#include "platform/signals.h"

namespace varnock::gather {
namespace {

// The mask from before block_stop_signals, which the wait lets through.
sigset_t g_unblocked;

}  // namespace

void block_stop_signals() {
  sigset_t stop;
  sigemptyset(&stop);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, signo);
  pthread_sigmask(SIG_BLOCK, &stop, &g_unblocked);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&g_unblocked, signo);
}

Wait wait_for_bus(int fd, int64_t timeout_ms) {
  const int64_t ms = std::max<int64_t>(timeout_ms, 0);
  const timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  pollfd watched{fd, POLLIN, 0};
  // ppoll swaps the mask in for the wait alone, so a signal pending since
  // the last wait runs its handler here, at once.
  const int ready = ppoll(&watched, fd >= 0 ? 1 : 0, &timeout, &g_unblocked);
  if (ready < 0)
    return errno == EINTR && received_stop_signal() != 0 ? Wait::kSignal : Wait::kTimeout;
  if (ready == 0) return Wait::kTimeout;
  return Wait::kReadable;
}

}  // namespace varnock::gather
