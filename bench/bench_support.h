// Pieces the benchmark drivers share: a process's CPU time, a busy process to
// load the machine, and medians.
#ifndef VARNOCK_BENCH_BENCH_SUPPORT_H_
#define VARNOCK_BENCH_BENCH_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace varnock::bench {

// CPU time (user + system, every thread, live or ended) that process `pid`
// has used, in nanoseconds, read from its CPU-time clock; -1 when it cannot
// be read (no such process).
int64_t process_cpu_ns(pid_t pid);

// A shell spinning in an empty loop, started by the constructor and ended by
// its PID in the destructor: load on the machine's other core.
class BusyProcess {
 public:
  BusyProcess();
  ~BusyProcess();
  BusyProcess(const BusyProcess&) = delete;
  BusyProcess& operator=(const BusyProcess&) = delete;

 private:
  pid_t pid_ = -1;
};

// The median of `values`; 0 when there are none.
double median(std::vector<double> values);

}  // namespace varnock::bench

#endif  // VARNOCK_BENCH_BENCH_SUPPORT_H_
