#include "pace/pacer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include "bus/lcm_url.h"
#include "cli/exit_status.h"
#include "metrics/metrics_output.h"
#include "pace/cycles.h"
#include "pace/pace_metrics.h"
#include "pace/report.h"
#include "pace/schedule.h"
#include "pattern/frames.h"

namespace varnock::pace {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// Keys and pending signals are looked at whenever a cycle waits, and at
// least this often otherwise: soon enough for a key or Ctrl+C to end the run
// at once, seldom enough that a run as fast as possible spends its time
// publishing rather than on the two system calls of a look.
constexpr int64_t kLookIntervalNs = 1'000'000;

// Waits until `deadline_ns` on the monotonic clock, sleeping again after an
// early wake, cut short by a stop signal; takes the signals pending even
// when there is no time left to sleep.
void wait_until(Clock& clock, Console& console, int64_t deadline_ns) {
  while (clock.monotonic_nanoseconds() < deadline_ns && console.stop_signal() == 0) {
    clock.sleep_until(deadline_ns);
  }
  clock.take_pending_signals();
}

// Counts cycles and the messages LCM took, and writes a second's line, with
// the datagrams the host dropped in it, when a cycle starts in a new
// calendar second; the metrics, when served, then too.
class RateLines {
 public:
  RateLines(Format format, double requested_hz, int64_t second, int64_t start_ns,
            SendDropSource& drops, bool count_messages, metrics::MetricsOutput* metrics)
      : format_(format),
        requested_hz_(requested_hz),
        second_(second),
        since_ns_(start_ns),
        drops_(drops),
        count_messages_(count_messages),
        metrics_(metrics) {}

  void cycle_started(int64_t second, int64_t now_ns, Console& console) {
    if (second != second_) {
      const int64_t dropped = drops_.since_last();
      console.write(second_line(format_, second, requested_hz_, cycles_, now_ns - since_ns_,
                                dropped, count_messages_ ? messages_ : -1));
      all_cycles_ += cycles_;
      all_drops_ = dropped < 0 || all_drops_ < 0 ? -1 : all_drops_ + dropped;
      if (metrics_ != nullptr) {
        metrics_->publish(pace_metrics_text(all_cycles_, all_drops_, requested_hz_,
                                            count_messages_ ? total_messages_ : -1));
      }
      second_ = second;
      since_ns_ = now_ns;
      cycles_ = 0;
      messages_ = 0;
    }
    ++cycles_;
  }
  void sent(int64_t messages) {
    messages_ += messages;
    total_messages_ += messages;
  }

  // Messages sent since the run began (-1 unless counted).
  int64_t total_messages() const { return count_messages_ ? total_messages_ : -1; }
  // Datagrams dropped since the run began.
  int64_t total_drops() { return drops_.since_start(); }

 private:
  Format format_;
  double requested_hz_;
  int64_t second_;
  int64_t since_ns_;
  SendDropTally drops_;
  bool count_messages_;
  metrics::MetricsOutput* metrics_;
  int64_t cycles_ = 0;
  int64_t all_cycles_ = 0;  // of the seconds written
  int64_t all_drops_ = 0;   // -1 once a second's were unknown
  int64_t messages_ = 0;
  int64_t total_messages_ = 0;
};

// The run shared by both streams: cycles on the schedule until a key, a stop
// signal or --seconds, the rate lines and the summary.
template <typename Cycles>
int paced_run(lcm_t* bus, const Options& options, Clock& clock, Console& console,
              SendDropSource& drops, metrics::MetricsOutput* metrics, Cycles& cycles) {
  const int64_t start_ns = clock.monotonic_nanoseconds();
  // Options bound --seconds to a year, so this cannot overflow.
  const int64_t end_ns = options.seconds > 0 ? start_ns + options.seconds * kNanosPerSecond
                                             : std::numeric_limits<int64_t>::max();
  const Format format = options.json ? Format::kJson : Format::kText;
  CycleSchedule schedule(options.rate_hz, start_ns, Cycles::kMinGapNs);
  RateLines lines(format, options.rate_hz, clock.calendar_seconds(), start_ns, drops,
                  options.message_bytes > 0, metrics);
  int64_t count = 0;
  int status = kExitOk;
  int64_t started_ns = start_ns;
  int64_t looked_ns = start_ns;
  if (!console.key_waiting()) {
    for (;;) {
      lines.cycle_started(cycles.start(clock), started_ns, console);
      const Sent sent = cycles.publish(bus, clock);
      // A bus LCM opened but cannot send on (a tcpq server that is not
      // there) refuses the very first cycle; later failures are the
      // network's, as for varnock.
      if (count == 0 && sent.taken < sent.offered) return kExitNoBus;
      lines.sent(sent.taken);
      ++count;
      const int64_t ended_ns = clock.monotonic_nanoseconds();
      const int64_t next_ns = std::min(schedule.after(started_ns, ended_ns), end_ns);
      const bool look = ended_ns < next_ns || ended_ns - looked_ns >= kLookIntervalNs;
      if (look) {
        wait_until(clock, console, next_ns);
        looked_ns = ended_ns;
      }
      if (const int signo = console.stop_signal(); signo != 0) {
        status = exit_status_for_signal(signo);
        break;
      }
      if (look && console.key_waiting()) break;
      // Without a wait, the next cycle starts as this one ended.
      started_ns = look ? clock.monotonic_nanoseconds() : ended_ns;
      if (started_ns >= end_ns) break;
    }
  }
  console.write(summary_line(format, options.rate_hz, count,
                             std::min(clock.monotonic_nanoseconds(), end_ns) - start_ns,
                             lines.total_drops(), lines.total_messages()));
  return status;
}

}  // namespace

int run_cycles(lcm_t* bus, const Options& options, Clock& clock, Console& console,
               SendDropSource& drops, metrics::MetricsOutput* metrics) {
  if (options.message_bytes > 0) {
    MessageCycles cycles(options, new_publisher_id(), clock.wall_nanoseconds());
    return paced_run(bus, options, clock, console, drops, metrics, cycles);
  }
  FrameCycles cycles(options.size);
  return paced_run(bus, options, clock, console, drops, metrics, cycles);
}

std::string sequence_warning(const Options& options) {
  const int64_t sequenced =
      std::max<int64_t>(options.size.pixels() - TestPatternFrames::kFirstPeriod, 0);
  const double seconds = options.seconds > 0 ? static_cast<double>(options.seconds) : 600;
  const double cycles = seconds * (options.rate_hz > 0 ? options.rate_hz : kMaxRateHz);
  if (static_cast<double>(sequenced) >= cycles) return "";
  char text[400];
  const auto width = static_cast<int>(options.size.width);
  const auto height = static_cast<int>(options.size.height);
  if (sequenced == 0) {
    std::snprintf(text, sizeof text,
                  "varnock-pace: warning: %d x %d frames are too small to carry a sequence number "
                  "(a frame needs more pixels than its period, %d and up); varnock-check can count "
                  "their loss only as a lower bound\n",
                  width, height, TestPatternFrames::kFirstPeriod);
  } else {
    std::snprintf(text, sizeof text,
                  "varnock-pace: warning: %d x %d frames carry their sequence number for the "
                  "first %lld cycles only; after that varnock-check can count their loss only as "
                  "a lower bound (larger frames carry it longer)\n",
                  width, height, static_cast<long long>(sequenced));
  }
  return text;
}

int run_pace(const Options& options, Clock& clock, Console& console, SendDropSource& drops) {
  const std::string url = bus::url_in_use(options.url);
  const bool messages = options.message_bytes > 0;
  const int64_t message_bytes =
      messages ? options.message_bytes : 8 + tfimage_t::kHeaderSize + options.size.pixels();
  const StartFacts facts{options.size,    message_bytes, options.rate_hz,
                         options.seconds, url,           messages ? options.channels : 0};
  console.write(start_line(options.json ? Format::kJson : Format::kText, facts));
  if (url.starts_with("udpm://") && message_bytes > LCM_MAX_MESSAGE_SIZE) {
    std::fprintf(stderr,
                 "varnock-pace: warning: udpm subscribers of LCM discard messages over %d bytes; "
                 "these frames are %lld\n",
                 LCM_MAX_MESSAGE_SIZE, static_cast<long long>(message_bytes));
  }
  if (!messages) std::fputs(sequence_warning(options).c_str(), stderr);
  const std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus(lcm_create(url.c_str()), lcm_destroy);
  if (!bus) {
    std::fprintf(stderr, "varnock-pace: cannot open the bus %s\n", url.c_str());
    return kExitNoBus;
  }
  metrics::MetricsOutput metrics("varnock-pace");
  if (const std::string error = metrics.open(
          options.metrics, "",
          pace_metrics_text(0, 0, options.rate_hz, options.message_bytes > 0 ? 0 : -1));
      !error.empty()) {
    std::fprintf(stderr, "varnock-pace: %s\n", error.c_str());
    return kExitOutputError;
  }
  const int status =
      run_cycles(bus.get(), options, clock, console, drops, metrics.active() ? &metrics : nullptr);
  if (status == kExitNoBus) {
    std::fprintf(stderr, "varnock-pace: cannot publish on %s (LCM's message above says why)\n",
                 url.c_str());
  }
  return status;
}

}  // namespace varnock::pace
