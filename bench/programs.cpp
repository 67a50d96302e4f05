#include "bench/programs.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "bench/bench_support.h"
#include "tests/support/netns.h"

namespace varnock::bench {

TempFile::TempFile() {
  char name[] = "/tmp/varnock-bench-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  path_ = name;
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

Program::Program(const std::vector<std::string>& argv)
    : process(std::make_unique<testing::ChildProcess>(argv, out.path(), err.path())) {}

void Program::stop() const {
  process->signal(SIGTERM);
  process->wait_exit(std::chrono::seconds(10));
}

void Program::mark_start() { cpu_start = process_cpu_ns(process->pid()); }

void Program::mark_end() { cpu_end = process_cpu_ns(process->pid()); }

std::string Program::output() const { return testing::read_file(out.path()); }

int run_in_namespace(const char* program, const std::function<int()>& run) {
  if (const std::string why = testing::enter_multicast_namespace(); !why.empty()) {
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    return 1;
  }
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

nlohmann::json last_json_line(const std::string& output) {
  std::istringstream lines(output);
  std::string line;
  std::string last;
  while (std::getline(lines, line)) {
    if (!line.empty()) last = line;
  }
  return nlohmann::json::parse(last, nullptr, false);
}

}  // namespace varnock::bench
