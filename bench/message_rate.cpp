// varnock-pace --messages against the bare publish loop (bench/publish_loop):
// runs each alone, as fast as possible, with 64-byte messages (or --bytes B)
// on one channel, alternately for several rounds, and prints the messages
// each published a second and the CPU time each took a message, and the
// ratios. On udpm inside a network namespace with multicast over loopback,
// or, with --file, on LCM's file provider writing to /dev/null.
//
// --cpu C runs both on CPU C alone, so that neither gains from moving between
// CPUs.
//
//   message_rate [--seconds N] [--rounds R] [--bytes B] [--file] [--cpu C]
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "tests/support/child_process.h"
#include "tests/support/netns.h"

namespace {

using varnock::bench::median;

struct Options {
  int seconds = 5;
  int rounds = 3;
  int bytes = 64;
  bool file = false;
  int cpu = -1;  // -1: any
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--file") {
      o->file = true;
    } else if (arg == "--cpu" && i + 1 < argc) {
      o->cpu = std::atoi(argv[++i]);
      if (o->cpu < 0 || o->cpu >= CPU_SETSIZE) return false;
    } else if ((arg == "--seconds" || arg == "--rounds" || arg == "--bytes") && i + 1 < argc) {
      const int v = std::atoi(argv[++i]);
      if (v < 1) return false;
      (arg == "--seconds" ? o->seconds : arg == "--rounds" ? o->rounds : o->bytes) = v;
    } else {
      return false;
    }
  }
  return o->bytes >= 44 && o->bytes <= 65536;
}

struct Ran {
  std::string out;
  double cpu_s = 0;  // user + system
  int status = -1;
};

// Runs `argv` with standard input from /dev/null and standard output read
// back, on CPU `cpu` alone unless it is -1; its CPU time from wait4.
Ran run(const std::vector<std::string>& argv, int cpu) {
  Ran r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    if (std::freopen("/dev/null", "r", stdin) == nullptr) _exit(127);
    if (cpu >= 0) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(126);
    }
    std::vector<char*> args = varnock::testing::exec_args(argv);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
    r.out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  rusage usage{};
  if (wait4(pid, &wstatus, 0, &usage) == pid && WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  r.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return r;
}

struct Measured {
  std::vector<double> rates;        // messages a second, one a run
  std::vector<double> cpu_per_msg;  // nanoseconds, one a run
};

// The last JSON line of `out` that has `field`; null when none.
nlohmann::json last_with(const std::string& out, const char* field) {
  nlohmann::json found;
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? out.size() : end + 1;
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.contains(field)) found = j;
  }
  return found;
}

bool measure(const std::vector<std::string>& argv, const char* count_field, int cpu, Measured* m) {
  const Ran r = run(argv, cpu);
  const nlohmann::json j = last_with(r.out, count_field);
  if (r.status != 0 || j.is_null()) {
    std::fprintf(stderr, "%s failed (status %d):\n%s\n", argv[0].c_str(), r.status, r.out.c_str());
    return false;
  }
  const auto messages = j[count_field].get<double>();
  const double seconds = j["seconds"].is_string() ? std::stod(j["seconds"].get<std::string>())
                                                  : j["seconds"].get<double>();
  m->rates.push_back(messages / seconds);
  m->cpu_per_msg.push_back(r.cpu_s * 1e9 / messages);
  return true;
}

int benchmark(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: message_rate [--seconds N] [--rounds R] [--bytes B (44 to 65536)] "
                 "[--file] [--cpu C]\n");
    return 2;
  }
  if (!o.file) {
    if (const std::string why = varnock::testing::enter_multicast_namespace(); !why.empty()) {
      std::fprintf(stderr, "message_rate: %s\n", why.c_str());
      return 1;
    }
  }
  const std::string url = o.file ? "file:///dev/null?mode=w" : "udpm://239.255.76.67:7667?ttl=0";
  const std::string seconds = std::to_string(o.seconds);
  const std::string bytes = std::to_string(o.bytes);
  const std::vector<std::string> pace = {PACE_BINARY, "--messages", bytes,    "--rate", "max",
                                         "--seconds", seconds,      "--json", "--url",  url};
  const std::vector<std::string> loop = {PUBLISH_LOOP_BINARY, url, seconds, bytes};
  Measured paced;
  Measured bare;
  for (int round = 0; round < o.rounds; ++round) {
    // Alternately first, so that a drift in the machine's load falls on both.
    if (round % 2 == 0) {
      if (!measure(pace, "messages_sent", o.cpu, &paced) ||
          !measure(loop, "messages", o.cpu, &bare)) {
        return 1;
      }
    } else {
      if (!measure(loop, "messages", o.cpu, &bare) ||
          !measure(pace, "messages_sent", o.cpu, &paced)) {
        return 1;
      }
    }
  }
  std::printf("%d rounds of %d s each, alternating, %d-byte messages on one channel, %s, %s\n\n",
              o.rounds, o.seconds, o.bytes, url.c_str(),
              o.cpu >= 0 ? ("on CPU " + std::to_string(o.cpu)).c_str() : "on any CPU");
  std::printf("| program | messages/s median | min | max | CPU ns/message median |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& [name, m] :
       {std::pair<const char*, const Measured&>{"varnock-pace --messages", paced},
        std::pair<const char*, const Measured&>{"bare publish loop", bare}}) {
    std::printf("| %s | %.0f | %.0f | %.0f | %.0f |\n", name, median(m.rates),
                *std::min_element(m.rates.begin(), m.rates.end()),
                *std::max_element(m.rates.begin(), m.rates.end()), median(m.cpu_per_msg));
  }
  std::printf(
      "\nratio of medians (varnock-pace / bare loop): messages/s %.3f, CPU per message %.3f\n",
      median(paced.rates) / median(bare.rates),
      median(paced.cpu_per_msg) / median(bare.cpu_per_msg));
  // Each round's pair ran back to back, under much the same load.
  std::vector<double> ratios;
  std::printf("messages/s ratio in each round:");
  for (size_t i = 0; i < paced.rates.size(); ++i) {
    ratios.push_back(paced.rates[i] / bare.rates[i]);
    std::printf(" %.3f", ratios.back());
  }
  std::printf(" (median %.3f)\n", median(ratios));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return benchmark(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "message_rate: %s\n", e.what());
    return 1;
  }
}
