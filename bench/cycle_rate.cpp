// Cycle-rate benchmark: runs varnock and the limit loop (publish and pause,
// nothing else) alternately under a pseudo-terminal, inside a network
// namespace with multicast over loopback, and prints their rates side by side
// with varnock's peak resident memory.
//
//   cycle_rate [--seconds N] [--rounds R] [--subscriber]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/pty_process.h"

namespace {

using varnock::testing::PtyOptions;
using varnock::testing::PtyProcess;

struct Options {
  int seconds = 10;
  int rounds = 3;
  bool subscriber = false;
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--subscriber") {
      o->subscriber = true;
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

// Cycles per full second: every rate line but the first, which covers the
// part of a second after start-up.
std::vector<long> full_second_rates(const std::string& output) {
  std::vector<long> rates;
  std::istringstream lines(output);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" frame rate: ");
    if (at == std::string::npos) continue;
    if (!first) rates.push_back(std::atol(line.c_str() + at + 13));
    first = false;
  }
  return rates;
}

struct Measured {
  std::vector<long> rates;
  long peak_kib = -1;
};

// Runs `program` for `seconds`, ends it with a key.
bool measure(const char* program, int seconds, Measured* m) {
  PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", std::nullopt);
  PtyProcess p(program, options);
  p.wait_for_output([](const std::string&) { return false; }, std::chrono::seconds(seconds));
  m->peak_kib = std::max(m->peak_kib, varnock::testing::proc_status_kib(p.pid(), "VmHWM"));
  p.type("q");
  if (p.wait_exit(std::chrono::seconds(10)) != 0) {
    std::fprintf(stderr, "%s did not end cleanly:\n%s\n", program, p.output().c_str());
    return false;
  }
  const std::vector<long> rates = full_second_rates(p.output());
  m->rates.insert(m->rates.end(), rates.begin(), rates.end());
  return true;
}

double median(std::vector<long> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? static_cast<double>(v[n / 2])
                    : static_cast<double>(v[n / 2 - 1] + v[n / 2]) / 2.0;
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: cycle_rate [--seconds N (>= 3)] [--rounds R] [--subscriber]\n");
    return 2;
  }
  if (const std::string why = varnock::testing::enter_multicast_namespace(); !why.empty()) {
    std::fprintf(stderr, "cycle_rate: %s\n", why.c_str());
    return 1;
  }
  int subscriber_out = -1;
  const pid_t subscriber = o.subscriber ? start_subscriber(&subscriber_out) : -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  Measured varnock;
  Measured limit;
  for (int round = 0; round < o.rounds; ++round) {
    if (!measure(VARNOCK_BINARY, o.seconds, &varnock)) return 1;
    if (!measure(LIMIT_LOOP_BINARY, o.seconds, &limit)) return 1;
  }
  const std::string received =
      subscriber > 0 ? stop_subscriber(subscriber, subscriber_out) : std::string();
  if (varnock.rates.empty() || limit.rates.empty()) {
    std::fprintf(stderr, "cycle_rate: no full second was measured\n");
    return 1;
  }

  std::printf("%d rounds of %d s each, alternating, %s\n\n", o.rounds, o.seconds,
              o.subscriber ? "a subscriber receiving both channels" : "no subscriber");
  std::printf("| program | cycles/s median | min | max | full seconds |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& [name, m] : {std::pair<const char*, const Measured&>{"varnock", varnock},
                                std::pair<const char*, const Measured&>{"limit loop", limit}}) {
    std::printf("| %s | %.1f | %ld | %ld | %zu |\n", name, median(m.rates),
                *std::min_element(m.rates.begin(), m.rates.end()),
                *std::max_element(m.rates.begin(), m.rates.end()), m.rates.size());
  }
  std::printf("\nratio of medians (varnock / limit): %.3f\n",
              median(varnock.rates) / median(limit.rates));
  std::printf("varnock peak resident memory (VmHWM): %ld KiB (%.2f MiB)\n", varnock.peak_kib,
              static_cast<double>(varnock.peak_kib) / 1024.0);
  if (!received.empty()) std::printf("subscriber received (both programs): %s\n", received.c_str());
  return 0;
}
