// Cycle-rate benchmark: runs varnock and the limit loop (publish and pause,
// nothing else) alternately under a pseudo-terminal, inside a network
// namespace with multicast over loopback, and prints their rates and CPU time
// per cycle side by side, the mean length of varnock's pause under the same
// load, and varnock's peak resident memory.
//
//   cycle_rate [--seconds N] [--rounds R] [--subscriber] [--busy]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/publisher.h"
#include "bench/bench_support.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/pty_process.h"

namespace {

using varnock::bench::median;
using varnock::testing::PtyOptions;
using varnock::testing::PtyProcess;

struct Options {
  int seconds = 10;
  int rounds = 3;
  bool subscriber = false;
  bool busy = false;
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--subscriber") {
      o->subscriber = true;
    } else if (arg == "--busy") {
      o->busy = true;
    } else if ((arg == "--seconds" || arg == "--rounds") && i + 1 < argc) {
      const int v = std::atoi(argv[++i]);
      if (v < 1) return false;
      (arg == "--seconds" ? o->seconds : o->rounds) = v;
    } else {
      return false;
    }
  }
  return o->seconds >= 3;
}

// The counts of the rate lines in `output`, in order.
std::vector<long> rate_lines(const std::string& output) {
  std::vector<long> rates;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" frame rate: ");
    if (at != std::string::npos) rates.push_back(std::atol(line.c_str() + at + 13));
  }
  return rates;
}

struct Measured {
  std::vector<double> rates;          // cycles per full second
  std::vector<double> cpu_per_cycle;  // microseconds, one a run
  long peak_kib = -1;
};

// Runs `program` for about `seconds`, ends it with a key. Its CPU time is read
// as its first rate line appears and again as a later one does: the cycles of
// the lines in between (full seconds) share it.
bool measure(const char* program, int seconds, Measured* m) {
  PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", std::nullopt);
  PtyProcess p(program, options);
  auto lines_at_least = [](size_t n) {
    return [n](const std::string& out) { return rate_lines(out).size() >= n; };
  };
  if (!p.wait_for_output(lines_at_least(1), std::chrono::seconds(5))) {
    std::fprintf(stderr, "%s printed no rate line:\n%s\n", program, p.output().c_str());
    return false;
  }
  const int64_t cpu_start = varnock::bench::process_cpu_ns(p.pid());
  p.wait_for_output([](const std::string&) { return false; }, std::chrono::seconds(seconds - 1));
  const size_t seen = rate_lines(p.output()).size();
  p.wait_for_output(lines_at_least(seen + 1), std::chrono::seconds(2));
  const int64_t cpu_end = varnock::bench::process_cpu_ns(p.pid());
  const std::vector<long> at_end = rate_lines(p.output());
  m->peak_kib = std::max(m->peak_kib, varnock::testing::proc_status_kib(p.pid(), "VmHWM"));
  p.type("q");
  if (p.wait_exit(std::chrono::seconds(10)) != 0) {
    std::fprintf(stderr, "%s did not end cleanly:\n%s\n", program, p.output().c_str());
    return false;
  }
  long cycles = 0;
  for (size_t i = 1; i < at_end.size(); ++i) cycles += at_end[i];
  if (cycles > 0 && cpu_start >= 0 && cpu_end >= cpu_start) {
    m->cpu_per_cycle.push_back(static_cast<double>(cpu_end - cpu_start) / 1e3 /
                               static_cast<double>(cycles));
  }
  const std::vector<long> all = rate_lines(p.output());
  for (size_t i = 1; i < all.size(); ++i) m->rates.push_back(static_cast<double>(all[i]));
  return true;
}

// The console of a pause measured on its own: no key, no signal.
class QuietConsole final : public varnock::Console {
 public:
  void write(std::string_view /*text*/) override {}
  bool key_waiting() override { return false; }
  int stop_signal() override { return 0; }
};

struct Pauses {
  std::vector<double> mean_ms;  // one a round
  std::vector<double> cpu_us;   // CPU per pause, one a round
};

// Times `count` of varnock's pauses (its own code, on the real clocks) in
// this process, under whatever load the machine has now.
void measure_pauses(int count, Pauses* out) {
  varnock::SystemClock clock;
  QuietConsole console;
  timespec cpu0{};
  timespec cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  const int64_t start = clock.monotonic_nanoseconds();
  for (int i = 0; i < count; ++i) varnock::pause_after_cycle(clock, console);
  const int64_t elapsed = clock.monotonic_nanoseconds() - start;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  const double cpu_ns = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) * 1e9 +
                        static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec);
  out->mean_ms.push_back(static_cast<double>(elapsed) / 1e6 / count);
  out->cpu_us.push_back(cpu_ns / 1e3 / count);
}

// Starts the subscriber with its standard output on a pipe read by *out.
pid_t start_subscriber(int* out) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    execl(SUBSCRIBER_BINARY, SUBSCRIBER_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  *out = fds[0];
  return pid;
}

// Stops the subscriber and returns what it printed.
std::string stop_subscriber(pid_t pid, int out) {
  kill(pid, SIGTERM);
  std::string text;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(out, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  waitpid(pid, nullptr, 0);
  close(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double max_of(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: cycle_rate [--seconds N (>= 3)] [--rounds R] [--subscriber] [--busy]\n");
    return 2;
  }
  if (const std::string why = varnock::testing::enter_multicast_namespace(); !why.empty()) {
    std::fprintf(stderr, "cycle_rate: %s\n", why.c_str());
    return 1;
  }
  int subscriber_out = -1;
  const pid_t subscriber = o.subscriber ? start_subscriber(&subscriber_out) : -1;
  const auto busy = o.busy ? std::make_unique<varnock::bench::BusyProcess>() : nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  Measured varnock;
  Measured limit;
  Pauses pauses;
  for (int round = 0; round < o.rounds; ++round) {
    if (!measure(VARNOCK_BINARY, o.seconds, &varnock)) return 1;
    if (!measure(LIMIT_LOOP_BINARY, o.seconds, &limit)) return 1;
    measure_pauses(500, &pauses);
  }
  const std::string received =
      subscriber > 0 ? stop_subscriber(subscriber, subscriber_out) : std::string();
  if (varnock.rates.empty() || limit.rates.empty() || varnock.cpu_per_cycle.empty() ||
      limit.cpu_per_cycle.empty()) {
    std::fprintf(stderr, "cycle_rate: no full second was measured\n");
    return 1;
  }

  std::printf("%d rounds of %d s each, alternating, %s, %s\n\n", o.rounds, o.seconds,
              o.subscriber ? "a subscriber receiving both channels" : "no subscriber",
              o.busy ? "a busy process on the other core" : "no other load");
  std::printf(
      "| program | cycles/s median | min | max | full seconds | CPU µs/cycle median | min | max "
      "|\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const auto& [name, m] : {std::pair<const char*, const Measured&>{"varnock", varnock},
                                std::pair<const char*, const Measured&>{"limit loop", limit}}) {
    std::printf("| %s | %.1f | %.0f | %.0f | %zu | %.1f | %.1f | %.1f |\n", name, median(m.rates),
                min_of(m.rates), max_of(m.rates), m.rates.size(), median(m.cpu_per_cycle),
                min_of(m.cpu_per_cycle), max_of(m.cpu_per_cycle));
  }
  std::printf("\nratio of medians (varnock / limit): cycles/s %.3f, CPU per cycle %.3f\n",
              median(varnock.rates) / median(limit.rates),
              median(varnock.cpu_per_cycle) / median(limit.cpu_per_cycle));
  std::printf(
      "varnock's pause (its code, 500 pauses a round in this process): mean %.4f ms "
      "(rounds %.4f to %.4f), CPU %.1f µs a pause\n",
      median(pauses.mean_ms), min_of(pauses.mean_ms), max_of(pauses.mean_ms),
      median(pauses.cpu_us));
  std::printf("varnock peak resident memory (VmHWM): %ld KiB (%.2f MiB)\n", varnock.peak_kib,
              static_cast<double>(varnock.peak_kib) / 1024.0);
  if (!received.empty()) std::printf("subscriber received (both programs): %s\n", received.c_str());
  return 0;
}
