// varnock-check's own cost: runs varnock-check and the bare subscriber
// (bench/count_subscriber) side by side on the stream of one or more varnock
// publishers, inside a network namespace with multicast over loopback, and
// prints each subscriber's CPU time per frame received, their ratio, and what
// varnock-check counted lost.
//
// With --scrape, one more varnock-check serves --metrics and is scraped
// every second, beside one that is not, in the same rounds.
//
//   check_cost [--seconds N] [--rounds R] [--publishers P] [--checkers C] [--no-bare] [--scrape]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/programs.h"
#include "tests/support/child_process.h"

namespace {

using varnock::bench::last_json_line;
using varnock::bench::median;
using varnock::bench::Program;

// Both subscribers ask for a receive buffer of 4 MiB; the kernel grants
// twice the request, up to twice net.core.rmem_max.
constexpr char kUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";

struct Options {
  int seconds = 10;
  int rounds = 3;
  int publishers = 1;
  int checkers = 1;
  bool bare = true;
  // One more varnock-check, serving --metrics, scraped every second.
  bool scrape = false;
};

constexpr uint16_t kMetricsPort = 9464;

bool parse(int argc, char** argv, Options* o) {
  struct Numeric {
    const char* name;
    long min;
    long max;
    long* value;
  };
  long seconds = o->seconds;
  long rounds = o->rounds;
  long publishers = o->publishers;
  long checkers = o->checkers;
  const Numeric numeric[] = {{"--seconds", 1, 600, &seconds},
                             {"--rounds", 1, 100, &rounds},
                             {"--publishers", 1, 16, &publishers},
                             {"--checkers", 1, 16, &checkers}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-bare") {
      o->bare = false;
      continue;
    }
    if (arg == "--scrape") {
      o->scrape = true;
      continue;
    }
    const Numeric* option = nullptr;
    for (const Numeric& n : numeric) {
      if (arg == n.name) option = &n;
    }
    if (option == nullptr || i + 1 >= argc) return false;
    char* end = nullptr;
    const long v = std::strtol(argv[++i], &end, 10);
    if (*end != '\0' || v < option->min || v > option->max) return false;
    *option->value = v;
  }
  o->seconds = static_cast<int>(seconds);
  o->rounds = static_cast<int>(rounds);
  o->publishers = static_cast<int>(publishers);
  o->checkers = static_cast<int>(checkers);
  return true;
}

// Frames (and lost ones) that one subscriber reported.
struct Received {
  long frames = -1;
  long lost = 0;
  long corrupt = 0;
  int64_t kernel_drops = -1;
};

// kernel_drops of a JSON object: -1 when null or missing.
int64_t drops_of(const nlohmann::json& j) {
  const auto it = j.find("kernel_drops");
  return it != j.end() && it->is_number_integer() ? it->get<int64_t>() : -1;
}

Received checker_received(const std::string& output) {
  const nlohmann::json summary = last_json_line(output);
  if (!summary.is_object() || summary.value("type", "") != "summary") return {};
  return {summary.value("frames", -1L), summary.value("lost", 0L), summary.value("corrupt", 0L),
          drops_of(summary)};
}

Received bare_received(const std::string& output) {
  const nlohmann::json counts = last_json_line(output);
  if (!counts.is_object()) return {};
  return {counts.value("frames", -1L), 0, 0, drops_of(counts)};
}

// A publisher's cycles per full second (every rate line but the first).
std::vector<double> publisher_rates(const std::string& output) {
  std::vector<double> rates;
  std::istringstream lines(output);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" frame rate: ");
    if (at == std::string::npos) continue;
    if (!first) rates.push_back(std::atof(line.c_str() + at + 13));
    first = false;
  }
  return rates;
}

// GETs /metrics from 127.0.0.1:kMetricsPort every second until `stop`;
// counts the answers that came whole with status 200.
void scrape_every_second(const std::atomic<bool>& stop, std::atomic<int>* scrapes) {
  while (!stop) {
    const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kMetricsPort);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
      constexpr char kRequest[] = "GET /metrics HTTP/1.0\r\n\r\n";
      if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) > 0) {
        char buffer[16384];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
          answer.append(buffer, static_cast<size_t>(n));
        }
      }
    }
    if (fd >= 0) close(fd);
    if (answer.starts_with("HTTP/1.1 200") || answer.starts_with("HTTP/1.0 200")) ++*scrapes;
    std::this_thread::sleep_until(next);
  }
}

struct Round {
  int scrapes = 0;                 // with --scrape, the scrapes answered
  std::vector<double> checker_us;  // CPU per frame, one per checker
  std::vector<Received> checker;
  double bare_us = 0;
  Received bare;
  std::vector<double> rates;  // every publisher's full seconds
};

bool run_round(const Options& o, Round* r) {
  std::vector<std::unique_ptr<Program>> subscribers;
  subscribers.reserve(static_cast<size_t>(o.checkers) + 1);
  for (int i = 0; i < o.checkers; ++i) {
    subscribers.push_back(
        std::make_unique<Program>(std::vector<std::string>{CHECK_BINARY, "--url", kUrl, "--json"}));
  }
  if (o.scrape) {
    subscribers.push_back(std::make_unique<Program>(
        std::vector<std::string>{CHECK_BINARY, "--url", kUrl, "--json", "--metrics",
                                 "127.0.0.1:" + std::to_string(kMetricsPort)}));
  }
  if (o.bare) {
    subscribers.push_back(
        std::make_unique<Program>(std::vector<std::string>{SUBSCRIBER_BINARY, kUrl}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
  std::atomic<bool> stop_scraping = false;
  std::atomic<int> scrapes = 0;
  std::thread scraper;
  if (o.scrape) scraper = std::thread(scrape_every_second, std::cref(stop_scraping), &scrapes);
  for (auto& s : subscribers) s->mark_start();

  std::vector<std::unique_ptr<Program>> publishers;
  for (int i = 0; i < o.publishers; ++i) {
    // Started apart: two runs' first frames stamped in the same millisecond
    // are the same bytes, which a subscriber can only take for a duplicate.
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    publishers.push_back(std::make_unique<Program>(std::vector<std::string>{VARNOCK_BINARY}));
  }
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  for (auto& p : publishers) p->stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last frames handled

  for (auto& s : subscribers) s->mark_end();
  stop_scraping = true;
  if (scraper.joinable()) scraper.join();
  r->scrapes = scrapes;
  for (auto& s : subscribers) s->stop();
  for (auto& p : publishers) {
    const std::vector<double> rates = publisher_rates(varnock::testing::read_file(p->out.path()));
    r->rates.insert(r->rates.end(), rates.begin(), rates.end());
  }
  for (int i = 0; i < o.checkers + (o.scrape ? 1 : 0); ++i) {
    const Program& s = *subscribers[static_cast<size_t>(i)];
    const Received got = checker_received(varnock::testing::read_file(s.out.path()));
    if (got.frames <= 0 || s.cpu_start < 0) {
      std::fprintf(stderr, "check_cost: varnock-check received no frame:\n%s\n",
                   varnock::testing::read_file(s.err.path()).c_str());
      return false;
    }
    r->checker.push_back(got);
    r->checker_us.push_back(s.cpu_us() / static_cast<double>(got.frames));
  }
  if (o.bare) {
    const Program& s = *subscribers.back();
    r->bare = bare_received(varnock::testing::read_file(s.out.path()));
    if (r->bare.frames <= 0 || s.cpu_start < 0) {
      std::fprintf(stderr, "check_cost: the bare subscriber received no frame\n");
      return false;
    }
    r->bare_us = s.cpu_us() / static_cast<double>(r->bare.frames);
  }
  return true;
}

// Runs the rounds and prints their table; returns the exit status.
int run(const Options& o) {
  std::printf("%d rounds of %d s, %d publisher(s), %d varnock-check%s; %s, net.core.rmem_max %s\n",
              o.rounds, o.seconds, o.publishers, o.checkers,
              o.bare ? " and the bare subscriber side by side" : "", kUrl,
              varnock::testing::read_file("/proc/sys/net/core/rmem_max").c_str());
  std::printf(
      "| round | publisher cycles/s median | subscriber | frames | lost | corrupt | kernel drops "
      "| CPU µs/frame |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  std::vector<double> checker_us;
  std::vector<double> scraped_us;
  std::vector<double> scraped_ratios;
  std::vector<double> bare_us;
  std::vector<double> ratios;
  for (int round = 1; round <= o.rounds; ++round) {
    Round r;
    if (!run_round(o, &r)) return 1;
    const double rate = median(r.rates);
    for (size_t i = 0; i < r.checker.size(); ++i) {
      const bool scraped = o.scrape && i + 1 == r.checker.size();
      std::printf("| %d | %.1f | varnock-check %zu%s | %ld | %ld | %ld | %lld | %.1f |\n", round,
                  rate, i + 1, scraped ? " (--metrics, scraped)" : "", r.checker[i].frames,
                  r.checker[i].lost, r.checker[i].corrupt,
                  static_cast<long long>(r.checker[i].kernel_drops), r.checker_us[i]);
      (scraped ? scraped_us : checker_us).push_back(r.checker_us[i]);
    }
    if (o.scrape) {
      scraped_ratios.push_back(r.checker_us.back() / r.checker_us.front());
      std::printf("| %d | | scrapes answered | %d | | | | |\n", round, r.scrapes);
    }
    if (o.bare) {
      std::printf("| %d | %.1f | bare subscriber | %ld | | | %lld | %.1f |\n", round, rate,
                  r.bare.frames, static_cast<long long>(r.bare.kernel_drops), r.bare_us);
      bare_us.push_back(r.bare_us);
      ratios.push_back(r.checker_us[0] / r.bare_us);
    }
  }
  std::printf("\nvarnock-check CPU per frame, median: %.1f µs\n", median(checker_us));
  if (o.scrape) {
    std::printf("varnock-check --metrics, scraped each second, CPU per frame, median: %.1f µs\n",
                median(scraped_us));
    std::printf("ratio (scraped / not scraped, same round), median: %.3f\n",
                median(scraped_ratios));
  }
  if (o.bare) {
    std::printf("bare subscriber CPU per frame, median: %.1f µs\n", median(bare_us));
    std::printf("ratio (varnock-check / bare, same round), median: %.3f\n", median(ratios));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: check_cost [--seconds N] [--rounds R] [--publishers P] [--checkers C] "
                 "[--no-bare] [--scrape]\n");
    return 2;
  }
  return varnock::bench::run_in_namespace("check_cost", [&o] { return run(o); });
}
