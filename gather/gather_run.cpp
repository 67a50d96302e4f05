#include "gather/gather_run.h"

#include <lcm/lcm.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include "bus/lcm_url.h"
#include "cli/exit_status.h"
#include "gather/metrics_text.h"
#include "gather/output.h"
#include "gather/view.h"
#include "metrics/metrics_output.h"
#include "platform/signals.h"

namespace varnock::gather {
namespace {

constexpr char kChannel[] = "VARNOCK_CHECK";
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kNanosPerMs = 1'000'000;
// LCM keeps 30 messages for a subscription by default and throws away the
// rest of a burst without a word: a fleet stopped at once sends every
// checker's summary in the same instant, each three times.
constexpr int kQueueCapacity = static_cast<int>(kMaxCheckers) * 4;
// The same burst must fit the socket until LCM's thread drains it: the
// kernel's default buffer holds under a hundred reports. The kernel grants
// at most net.core.rmem_max of it.
constexpr int64_t kReceiveBufferBytes = 8 << 20;

// `url` with a receive buffer of kReceiveBufferBytes asked, when it is a
// udpm URL that asks for none.
std::string listening_url(const std::string& url) {
  bus::LcmUrl parsed;
  if (!bus::parse_lcm_url(url, &parsed).empty() || !parsed.udpm() || parsed.recv_buf_size) {
    return url;
  }
  return url + (url.find('?') == std::string::npos ? "?" : "&") +
         "recv_buf_size=" + std::to_string(kReceiveBufferBytes);
}

// What LCM's handler feeds: the view, and the output of what it took.
class Listener {
 public:
  Listener(Clock& clock, View& view, Output& output, Screen& screen)
      : clock_(clock), view_(view), output_(output), screen_(screen) {}

  static void on_message(const lcm_recv_buf_t* rbuf, const char* /*channel*/, void* self) {
    static_cast<Listener*>(self)->hear(
        std::span<const uint8_t>(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size));
  }

 private:
  void hear(std::span<const uint8_t> bytes) {
    const int64_t now_ms = clock_.monotonic_nanoseconds() / kNanosPerMs;
    const char* why = "";
    check_report_t message;
    switch (view_.hear(bytes, now_ms, &why, &message)) {
      case View::Heard::kSecond:
      case View::Heard::kSummary:
        screen_.write(output_.heard(message, now_ms));
        if (!missing_told_ && view_.missing_reports() > 0) {
          std::fprintf(stderr,
                       "varnock-gather: warning: reports from %s never arrived (a full socket or "
                       "a lossy network); the totals lack them, and the summary counts them\n",
                       printable(message.name, 64).c_str());
          missing_told_ = true;
        }
        break;
      case View::Heard::kRepeat:
        break;
      case View::Heard::kMalformed:
        if (!malformed_told_) {
          std::fprintf(stderr,
                       "varnock-gather: ignoring a message on %s that is no check_report_t (%s); "
                       "any more are counted as malformed\n",
                       kChannel, why);
          malformed_told_ = true;
        }
        break;
      case View::Heard::kTooManyCheckers:
        if (!too_many_told_) {
          std::fprintf(stderr,
                       "varnock-gather: more than %zu checkers report on %s; the ones beyond "
                       "are ignored\n",
                       kMaxCheckers, kChannel);
          too_many_told_ = true;
        }
        break;
    }
  }

  Clock& clock_;
  View& view_;
  Output& output_;
  Screen& screen_;
  bool malformed_told_ = false;
  bool too_many_told_ = false;
  bool missing_told_ = false;
};

Format format_of(const Options& options, const Screen& screen) {
  if (options.json) return Format::kJson;
  if (options.csv) return Format::kCsv;
  return screen.terminal() ? Format::kTable : Format::kText;
}

}  // namespace

int run_gather(const Options& options, Clock& clock, Screen& screen) {
  const std::string url = listening_url(bus::url_in_use(options.url));
  std::fprintf(stderr, "varnock-gather: listening on %s (%s)\n", url.c_str(), kChannel);
  const std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus(lcm_create(url.c_str()), lcm_destroy);
  if (!bus) {
    std::fprintf(stderr, "varnock-gather: cannot open the bus %s\n", url.c_str());
    return kExitNoBus;
  }
  View view;
  Output output(format_of(options, screen), url, options.seconds);
  Listener listener(clock, view, output, screen);
  // Without a descriptor to wait on, there is no waiting for the bus and
  // the signals at once.
  lcm_subscription_t* subscription =
      lcm_subscribe(bus.get(), kChannel, Listener::on_message, &listener);
  if (subscription != nullptr) lcm_subscription_set_queue_capacity(subscription, kQueueCapacity);
  const int fd = subscription != nullptr ? lcm_get_fileno(bus.get()) : -1;
  if (fd < 0) {
    std::fprintf(stderr, "varnock-gather: LCM cannot receive on %s (its message above says why)\n",
                 url.c_str());
    return kExitNoBus;
  }
  metrics::MetricsOutput metrics("varnock-gather");
  if (const std::string error =
          metrics.open(options.metrics, options.metrics_file,
                       metrics_text(view, clock.monotonic_nanoseconds() / kNanosPerMs,
                                    clock.wall_milliseconds()));
      !error.empty()) {
    std::fprintf(stderr, "varnock-gather: %s\n", error.c_str());
    return kExitOutputError;
  }
  // Each tick, and at the end.
  const auto publish_metrics = [&] {
    if (metrics.active()) {
      metrics.publish(metrics_text(view, clock.monotonic_nanoseconds() / kNanosPerMs,
                                   clock.wall_milliseconds()));
    }
  };
  screen.write(output.start());

  const int64_t start_ns = clock.monotonic_nanoseconds();
  // Options bound --seconds to a year, so this cannot overflow.
  const int64_t end_ns = options.seconds > 0 ? start_ns + options.seconds * kNanosPerSecond
                                             : std::numeric_limits<int64_t>::max();
  int64_t tick_ns = start_ns + kNanosPerSecond;
  bool input_ended = false;
  int64_t now_ns = start_ns;
  while (received_stop_signal() == 0 && screen.error() == 0) {
    now_ns = clock.monotonic_nanoseconds();
    if (now_ns >= end_ns) break;
    if (now_ns >= tick_ns) {
      screen.write(output.tick(view, now_ns / kNanosPerMs, screen.size()));
      publish_metrics();
      // A run held up for seconds ticks once, not once for each missed.
      tick_ns = std::max(tick_ns + kNanosPerSecond, now_ns + 1);
      continue;
    }
    const Wake wake =
        wait_taking_signals(input_ended ? -1 : fd, std::min(tick_ns, end_ns) - now_ns);
    if (wake == Wake::kSignal) {
      // A stop ends the loop at its test; a resize redraws the table at once.
      if (take_resize_notice()) {
        screen.write(
            output.resized(view, clock.monotonic_nanoseconds() / kNanosPerMs, screen.size()));
      }
      continue;
    }
    // -1: a bus that delivers no more, as the file provider at the end of
    // its log.
    if (wake == Wake::kReadable && lcm_handle(bus.get()) < 0) {
      input_ended = true;
      std::fprintf(stderr, "varnock-gather: the bus delivers no more messages (end of the log?)\n");
      if (options.seconds == 0) break;
    }
  }
  now_ns = std::min(clock.monotonic_nanoseconds(), end_ns);
  screen.write(output.finish(view, now_ns / kNanosPerMs,
                             static_cast<double>(now_ns - start_ns) / kNanosPerSecond,
                             screen.size()));

  publish_metrics();

  if (screen.error() == EPIPE) end_for_lost_reader();
  if (screen.error() != 0) {
    std::fprintf(stderr, "varnock-gather: cannot write to standard output: %s\n",
                 std::strerror(screen.error()));
    return kExitOutputError;
  }
  if (const int64_t missing = view.missing_reports(); missing > 0) {
    std::fprintf(stderr, "varnock-gather: %lld reports never arrived (missing_reports)\n",
                 static_cast<long long>(missing));
  }
  if (view.checkers().empty()) {
    std::fprintf(stderr, "varnock-gather: no checker reported on %s (%s)\n", url.c_str(), kChannel);
    return kExitShortfall;
  }
  return metrics.file_error() != 0 ? kExitOutputError : kExitOk;
}

}  // namespace varnock::gather
