#include "bench/bench_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>

namespace varnock::bench {

int64_t process_cpu_ns(pid_t pid) {
  clockid_t clock{};
  timespec ts{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return -1;
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

BusyProcess::BusyProcess() : pid_(fork()) {
  if (pid_ == 0) {
    execl("/bin/sh", "sh", "-c", "while :; do :; done", static_cast<char*>(nullptr));
    _exit(127);
  }
}

BusyProcess::~BusyProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace varnock::bench
