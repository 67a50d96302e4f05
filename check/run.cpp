#include "check/run.h"

#include <lcm/lcm.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <span>

#include "check/receive_buffer.h"
#include "check/report.h"
#include "check/udpm_url.h"
#include "platform/signals.h"

namespace varnock::check {
namespace {

constexpr int kMaxProblemsShown = 10;

long read_sysctl(const char* path) {
  std::ifstream in(path);
  long v = -1;
  in >> v;
  return v;
}

}  // namespace

struct CheckSubscription::Handlers {
  Checker* checker;
  Clock* clock;
  int64_t handler_ns;
  int problems_shown = 0;
};

namespace {

using Subscription = CheckSubscription::Handlers;

void report_problem(Subscription* s, const char* channel, std::string_view problem) {
  if (problem.empty() || s->problems_shown >= kMaxProblemsShown) return;
  ++s->problems_shown;
  std::fprintf(stderr, "varnock-check: corrupt %s message: %.*s\n", channel,
               static_cast<int>(problem.size()), problem.data());
}

std::span<const uint8_t> bytes_of(const lcm_recv_buf_t* rbuf) {
  return {static_cast<const uint8_t*>(rbuf->data), rbuf->data_size};
}

void on_status(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* s = static_cast<Subscription*>(user);
  report_problem(
      s, channel,
      s->checker->on_status(bytes_of(rbuf), rbuf->recv_utime, s->clock->wall_milliseconds()));
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* s = static_cast<Subscription*>(user);
  report_problem(
      s, channel,
      s->checker->on_frame(bytes_of(rbuf), rbuf->recv_utime, s->clock->wall_milliseconds()));
  if (s->handler_ns > 0) s->clock->sleep_until(s->clock->monotonic_nanoseconds() + s->handler_ns);
}

// The kernel's drops on LCM's receiving socket, read into the account once a
// second and counted in the second that has just ended.
class DropReader {
 public:
  DropReader(const ReceiveSocket* socket, Checker& checker, int64_t now_ms)
      : socket_(socket), checker_(checker), second_(now_ms / 1000) {
    if (socket_ != nullptr) last_ = socket_->drops();
    if (last_ >= 0) checker_.count_kernel_drops(0, now_ms);
  }

  // Reads the count when a second has begun since the last reading, or
  // whenever `now` is set (the run ends).
  void read(int64_t now_ms, bool now = false) {
    if (last_ < 0 || (!now && now_ms / 1000 == second_)) return;
    second_ = now_ms / 1000;
    if (const int64_t drops = socket_->drops(); drops >= last_) {
      checker_.count_kernel_drops(drops - last_, now_ms - 1);
      last_ = drops;
    }
  }

 private:
  const ReceiveSocket* socket_;
  Checker& checker_;
  int64_t second_;
  int64_t last_ = -1;  // the count at the last reading; -1 when unknown
};

int64_t monotonic_ms(Clock& clock) { return clock.monotonic_nanoseconds() / 1'000'000; }

}  // namespace

std::string url_in_use(const Options& options) {
  if (!options.url.empty()) return options.url;
  const char* env = std::getenv("LCM_DEFAULT_URL");
  return env != nullptr && *env != '\0' ? env : kLcmDefaultUrl;
}

CheckSubscription::CheckSubscription(lcm_t* bus, Checker& checker, Clock& clock, int64_t handler_ns)
    : bus_(bus),
      handlers_(std::make_unique<Handlers>(Handlers{&checker, &clock, handler_ns})),
      status_(lcm_subscribe(bus, "RECSTAT", on_status, handlers_.get())),
      frames_(lcm_subscribe(bus, "TFIMAGE", on_frame, handlers_.get())) {}

CheckSubscription::~CheckSubscription() {
  if (frames_ != nullptr) lcm_unsubscribe(bus_, frames_);
  if (status_ != nullptr) lcm_unsubscribe(bus_, status_);
}

LoopEnd receive(lcm_t* bus, int64_t seconds, Clock& clock, Checker& checker, ReportOutput& out,
                const ReceiveSocket* socket) {
  DropReader drops(socket, checker, clock.wall_milliseconds());

  const int64_t start_ns = clock.monotonic_nanoseconds();
  // Options bound `seconds`, so this cannot overflow.
  const int64_t end_ns = seconds > 0 ? start_ns + seconds * 1'000'000'000 : INT64_MAX;
  LoopEnd end = LoopEnd::kSignal;
  while (received_stop_signal() == 0) {
    const int64_t now_ns = clock.monotonic_nanoseconds();
    if (now_ns >= end_ns) {
      end = LoopEnd::kSeconds;
      break;
    }
    // Wakes at every change of second, when rows may have settled.
    const int64_t to_second = 1000 - clock.wall_milliseconds() % 1000;
    const int64_t to_end = (end_ns - now_ns + 999'999) / 1'000'000;
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(std::min(to_second, to_end), 1, 1000));
    errno = 0;
    // -1 is a signal (EINTR: checked above) or a bus that delivers no more,
    // as the file provider does at the end of its log.
    if (lcm_handle_timeout(bus, wait_ms) < 0 && errno != EINTR) {
      end = LoopEnd::kEndOfInput;
      break;
    }
    drops.read(clock.wall_milliseconds());
    for (const SecondReport& r : checker.advance(clock.wall_milliseconds(), monotonic_ms(clock))) {
      out.row(r);
    }
    if (out.error() != 0) {
      end = LoopEnd::kOutputError;
      break;
    }
  }
  drops.read(clock.wall_milliseconds(), true);
  return end;
}

std::string missed_limit(const Options& options, const Summary& s) {
  const int64_t whole = s.totals.frames - s.totals.duplicates;
  const int64_t published = whole + s.totals.lost;
  const double percent =
      published > 0 ? 100.0 * static_cast<double>(s.totals.lost) / static_cast<double>(published)
                    : 0.0;
  char line[256];
  if (options.max_loss_percent >= 0 && percent > options.max_loss_percent) {
    std::snprintf(line, sizeof line,
                  "varnock-check: lost %.3g%% of the frames (%lld of %lld), above --max-loss %g\n",
                  percent, static_cast<long long>(s.totals.lost), static_cast<long long>(published),
                  options.max_loss_percent);
    return line;
  }
  if (whole < options.min_frames) {
    std::snprintf(line, sizeof line,
                  "varnock-check: %lld frames arrived whole, below --min-frames %lld\n",
                  static_cast<long long>(whole), static_cast<long long>(options.min_frames));
    return line;
  }
  return "";
}

int run_check(const Options& options, Clock& clock) {
  install_stop_handlers();
  const std::string url = url_in_use(options);
  std::fprintf(stderr, "varnock-check: listening on %s (RECSTAT, TFIMAGE)\n", url.c_str());

  lcm_t* bus = lcm_create(url.c_str());
  if (bus == nullptr) {
    std::fprintf(stderr, "varnock-check: cannot open the bus %s\n", url.c_str());
    return kCheckNoBus;
  }
  std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus_owner(bus, lcm_destroy);
  const int64_t start_ns = clock.monotonic_nanoseconds();
  Checker checker(clock.wall_milliseconds(), monotonic_ms(clock));
  const CheckSubscription subscription(bus, checker, clock,
                                       static_cast<int64_t>(options.handler_ms * 1e6));
  // Without a descriptor to wait on, LCM's own wait would abort the process.
  if (!subscription.subscribed() || lcm_get_fileno(bus) < 0) {
    std::fprintf(stderr, "varnock-check: LCM cannot receive on %s (its message above says why)\n",
                 url.c_str());
    return kCheckNoBus;
  }

  // On udpm, the kernel's view of the socket LCM receives on: the buffer it
  // granted and the datagrams it drops.
  LcmUrl parsed;
  std::optional<ReceiveSocket> receiving;
  if (const std::string error = parse_lcm_url(url, &parsed); !error.empty()) {
    std::fprintf(stderr, "varnock-check: note: %s; loss is not split by cause\n", error.c_str());
  } else if (parsed.udpm()) {
    receiving = ReceiveSocket::find(parsed.port);
    std::optional<int64_t> granted;
    if (receiving) {
      granted = receiving->receive_buffer_bytes();
      std::fprintf(
          stderr, "varnock-check: the kernel granted LCM's socket a receive buffer of %lld bytes\n",
          static_cast<long long>(*granted));
    }
    std::fputs(receive_buffer_warning(parsed, granted, read_sysctl("/proc/sys/net/core/rmem_max"),
                                      read_sysctl("/proc/sys/net/core/rmem_default"))
                   .c_str(),
               stderr);
  }

  // Opened only now that the bus works, so that a bad URL leaves an
  // existing file as it was.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> csv(nullptr, std::fclose);
  if (!options.csv_path.empty()) {
    csv.reset(std::fopen(options.csv_path.c_str(), "w"));
    if (!csv) {
      std::fprintf(stderr, "varnock-check: cannot write --csv %s: %s\n", options.csv_path.c_str(),
                   std::strerror(errno));
      return kCheckOutputError;
    }
  }
  ReportOutput out(stdout, options.json, csv.get(), options.csv_path);
  StartInfo start;
  start.url = url;
  start.seconds = options.seconds;
  if (receiving) start.receive_buffer_bytes = receiving->receive_buffer_bytes();
  start.max_loss_percent = options.max_loss_percent;
  start.min_frames = options.min_frames;
  start.handler_ms = options.handler_ms;
  out.start(start);

  const LoopEnd end =
      receive(bus, options.seconds, clock, checker, out, receiving ? &*receiving : nullptr);
  if (end == LoopEnd::kEndOfInput) {
    std::fprintf(stderr, "varnock-check: the bus delivers no more messages (end of the log?)\n");
  }
  for (const SecondReport& r : checker.finish(clock.wall_milliseconds())) out.row(r);
  const double seconds = static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9;
  const Summary summary = checker.summary(seconds);
  out.summary(summary);

  if (out.error() == EPIPE) {
    // A reader that has gone away ends us as it ends any filter: quietly,
    // by SIGPIPE.
    csv.reset();
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
  if (out.error() != 0) {
    std::fprintf(stderr, "varnock-check: cannot write to %s: %s\n", out.failed_output().c_str(),
                 std::strerror(out.error()));
    return kCheckOutputError;
  }
  if (checker.messages() == 0) {
    std::fprintf(stderr, "varnock-check: nothing received on %s in %.1f s\n", url.c_str(), seconds);
    return kCheckShortfall;
  }
  if (summary.totals.corrupt > 0) return kCheckCorrupt;
  if (const std::string missed = missed_limit(options, summary); !missed.empty()) {
    std::fputs(missed.c_str(), stderr);
    return kCheckShortfall;
  }
  return kCheckOk;
}

}  // namespace varnock::check
