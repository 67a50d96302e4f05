// The message rate varnock-check follows without loss, against a bare LCM
// subscriber (bench/count_subscriber) in the same run: inside a network
// namespace with multicast over loopback, both subscribe side by side while
// varnock-pace --messages publishes one channel at each rate of a ladder for
// N seconds. Prints, for each rate, what each received of what was sent, the
// kernel's drops for each socket and each one's CPU time per message; then
// the highest rate each followed whole, and their ratio.
//
// With --pin, the two subscribers share CPU 1 and the publisher has CPU 0:
// on a small machine the publisher reaches rates the subscribers cannot
// follow, and each subscriber's limit shows at half a CPU.
//
//   stream_follow [--seconds N] [--bytes B] [--rates R1,R2,...] [--pin]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/programs.h"

namespace {

using varnock::bench::last_json_line;
using varnock::bench::median;
using varnock::bench::Program;

// Both subscribers ask for the same receive buffer.
constexpr char kUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";
constexpr char kPublishUrl[] = "udpm://239.255.76.67:7667?ttl=0";

struct Options {
  int seconds = 3;
  int bytes = 64;
  std::vector<long> rates = {5'000, 10'000, 20'000, 40'000, 60'000, 80'000, 100'000};
  bool pin = false;
};

bool parse_number(const char* text, long min, long max, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pin") {
      o->pin = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    long v = 0;
    if (arg == "--seconds" && parse_number(argv[++i], 1, 600, &v)) {
      o->seconds = static_cast<int>(v);
    } else if (arg == "--bytes" && parse_number(argv[++i], 44, 65'536, &v)) {
      o->bytes = static_cast<int>(v);
    } else if (arg == "--rates") {
      o->rates.clear();
      std::istringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) {
        if (!parse_number(item.c_str(), 1, 100'000, &v)) return false;
        o->rates.push_back(v);
      }
      if (o->rates.empty()) return false;
    } else {
      return false;
    }
  }
  return true;
}

struct Step {
  long rate = 0;
  int64_t sent = -1;
  int64_t check_received = -1;
  int64_t check_lost = -1;
  int64_t check_in_lcm = -1;
  int64_t check_drops = -1;
  double check_ns = 0;
  int64_t bare_received = -1;
  int64_t bare_drops = -1;
  double bare_ns = 0;
};

int64_t integer(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_number_integer() ? it->get<int64_t>() : -1;
}

bool run_step(const Options& o, long rate, Step* s) {
  s->rate = rate;
  // taskset runs the program in its own process, so the PID is the program's.
  const auto on_cpu = [&o](const char* cpu, std::vector<std::string> argv) {
    if (o.pin) argv.insert(argv.begin(), {"taskset", "-c", cpu});
    return argv;
  };
  Program check(on_cpu("1", {CHECK_BINARY, "--url", kUrl, "--json"}));
  Program bare(on_cpu("1", {SUBSCRIBER_BINARY, kUrl}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // subscribed
  check.mark_start();
  bare.mark_start();
  Program pace(on_cpu(
      "0", {PACE_BINARY, "--messages", std::to_string(o.bytes), "--rate", std::to_string(rate),
            "--seconds", std::to_string(o.seconds), "--json", "--url", kPublishUrl}));
  pace.process->wait_exit(std::chrono::seconds(o.seconds + 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last ones handled
  check.mark_end();
  bare.mark_end();
  check.stop();
  bare.stop();

  s->sent = integer(last_json_line(pace.output()), "messages_sent");
  const nlohmann::json summary = last_json_line(check.output());
  if (s->sent <= 0 || !summary.is_object() || !summary.contains("messages")) {
    std::fprintf(stderr, "stream_follow: no run at %ld/s:\n%s\n%s\n", rate,
                 varnock::testing::read_file(pace.err.path()).c_str(),
                 varnock::testing::read_file(check.err.path()).c_str());
    return false;
  }
  s->check_drops = integer(summary, "kernel_drops");
  s->check_received = 0;
  s->check_lost = 0;
  s->check_in_lcm = 0;
  for (const nlohmann::json& c : summary["messages"]) {
    s->check_received += integer(c, "received");
    s->check_lost += integer(c, "lost");
    s->check_in_lcm += integer(c, "lost_in_lcm");
  }
  const nlohmann::json counts = last_json_line(bare.output());
  s->bare_received = counts.is_object() ? integer(counts, "messages") : -1;
  s->bare_drops = counts.is_object() ? integer(counts, "kernel_drops") : -1;
  const auto per_message = [](const Program& p, int64_t n) {
    return n > 0 ? p.cpu_us() * 1e3 / static_cast<double>(n) : 0.0;
  };
  s->check_ns = per_message(check, s->check_received);
  s->bare_ns = per_message(bare, s->bare_received);
  return true;
}

int run(const Options& o) {
  std::printf("%d-byte messages on one channel, %d s a rate; %s%s\n", o.bytes, o.seconds, kUrl,
              o.pin ? "; subscribers on CPU 1, the publisher on CPU 0" : "");
  std::printf(
      "| rate /s | sent | varnock-check received | lost (in LCM) | kernel drops | CPU ns/msg | "
      "bare "
      "received | kernel drops | CPU ns/msg |\n|---|---|---|---|---|---|---|---|---|\n");
  long check_whole = 0;
  long bare_whole = 0;
  std::vector<double> ratios;
  for (const long rate : o.rates) {
    Step s;
    if (!run_step(o, rate, &s)) return 1;
    std::printf("| %ld | %lld | %lld | %lld (%lld) | %lld | %.0f | %lld | %lld | %.0f |\n", rate,
                static_cast<long long>(s.sent), static_cast<long long>(s.check_received),
                static_cast<long long>(s.check_lost), static_cast<long long>(s.check_in_lcm),
                static_cast<long long>(s.check_drops), s.check_ns,
                static_cast<long long>(s.bare_received), static_cast<long long>(s.bare_drops),
                s.bare_ns);
    std::fflush(stdout);
    // Whole: every message sent arrived.
    if (s.check_received == s.sent) check_whole = std::max(check_whole, rate);
    if (s.bare_received == s.sent) bare_whole = std::max(bare_whole, rate);
    if (s.bare_ns > 0 && s.check_ns > 0) ratios.push_back(s.check_ns / s.bare_ns);
  }
  std::printf("\nhighest rate followed whole: varnock-check %ld/s, bare subscriber %ld/s",
              check_whole, bare_whole);
  if (bare_whole > 0) {
    std::printf(", ratio %.3f", static_cast<double>(check_whole) / static_cast<double>(bare_whole));
  }
  std::printf("\nCPU per message, varnock-check / bare (same step), median: %.3f\n",
              median(ratios));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: stream_follow [--seconds N] [--bytes B] [--rates R1,R2,...] [--pin]\n");
    return 2;
  }
  return varnock::bench::run_in_namespace("stream_follow", [&o] { return run(o); });
}
