// Programs a benchmark driver runs side by side: each with its output in
// temporary files and its CPU time read around the measured span.
#ifndef VARNOCK_BENCH_PROGRAMS_H_
#define VARNOCK_BENCH_PROGRAMS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace varnock::bench {

// A temporary file for a program's output, removed with it.
class TempFile {
 public:
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A subscriber or publisher with its output in temporary files.
struct Program {
  TempFile out;
  TempFile err;
  std::unique_ptr<testing::ChildProcess> process;
  int64_t cpu_start = -1;
  int64_t cpu_end = -1;

  explicit Program(const std::vector<std::string>& argv);
  // SIGTERM, then waits up to 10 s for it to end.
  void stop() const;
  // Reads its CPU time (process_cpu_ns) into cpu_start or cpu_end.
  void mark_start();
  void mark_end();
  double cpu_us() const { return static_cast<double>(cpu_end - cpu_start) / 1e3; }
  std::string output() const;
};

// Enters a network namespace of its own with multicast over loopback (as
// root) and returns run()'s status; a failure to enter, or an exception from
// run(), is told on standard error after `program` and returns 1.
int run_in_namespace(const char* program, const std::function<int()>& run);

// The last line of `output` as JSON; a null value when it is not JSON.
nlohmann::json last_json_line(const std::string& output);

}  // namespace varnock::bench

#endif  // VARNOCK_BENCH_PROGRAMS_H_
