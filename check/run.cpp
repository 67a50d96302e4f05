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
#include <span>

#include "check/report.h"
#include "platform/signals.h"

namespace varnock::check {
namespace {

// Receive buffer a whole frame needs: the kernel charges about twice the
// payload for the datagrams that carry it.
constexpr long kFrameBufferNeed = 2L * 1'638'440;
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
  report_problem(s, channel, s->checker->on_status(bytes_of(rbuf), s->clock->wall_milliseconds()));
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* s = static_cast<Subscription*>(user);
  report_problem(
      s, channel,
      s->checker->on_frame(bytes_of(rbuf), rbuf->recv_utime, s->clock->wall_milliseconds()));
}

int64_t monotonic_ms(Clock& clock) { return clock.monotonic_nanoseconds() / 1'000'000; }

}  // namespace

std::string url_in_use(const Options& options) {
  if (!options.url.empty()) return options.url;
  const char* env = std::getenv("LCM_DEFAULT_URL");
  return env != nullptr && *env != '\0' ? env : kLcmDefaultUrl;
}

std::string receive_buffer_warning(const std::string& url, long rmem_max, long rmem_default) {
  if (url.rfind("udpm://", 0) != 0) return "";
  std::string warning;
  if (rmem_max >= 0 && rmem_max < kFrameBufferNeed) {
    warning += "varnock-check: warning: net.core.rmem_max is " + std::to_string(rmem_max) +
               " bytes, below the " + std::to_string(kFrameBufferNeed) +
               " that a 1,638,440-byte frame needs: frames will be lost. Raise it (sysctl -w "
               "net.core.rmem_max=8388608) and set recv_buf_size in the URL "
               "(recv_buf_size=8388608).\n";
  } else if (url.find("recv_buf_size=") == std::string::npos && rmem_default >= 0 &&
             rmem_default < kFrameBufferNeed) {
    warning +=
        "varnock-check: warning: the URL sets no recv_buf_size, so the socket gets "
        "net.core.rmem_default (" +
        std::to_string(rmem_default) +
        " bytes), below what a 1,638,440-byte frame needs: add recv_buf_size=8388608 "
        "to the URL.\n";
  }
  return warning;
}

CheckSubscription::CheckSubscription(lcm_t* bus, Checker& checker, Clock& clock)
    : bus_(bus),
      handlers_(std::make_unique<Handlers>(Handlers{&checker, &clock})),
      status_(lcm_subscribe(bus, "RECSTAT", on_status, handlers_.get())),
      frames_(lcm_subscribe(bus, "TFIMAGE", on_frame, handlers_.get())) {}

CheckSubscription::~CheckSubscription() {
  lcm_unsubscribe(bus_, frames_);
  lcm_unsubscribe(bus_, status_);
}

LoopEnd receive(lcm_t* bus, int64_t seconds, Clock& clock, Checker& checker, ReportOutput& out) {
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
    for (const SecondReport& r : checker.advance(clock.wall_milliseconds(), monotonic_ms(clock))) {
      out.row(r);
    }
    if (out.error() != 0) {
      end = LoopEnd::kOutputError;
      break;
    }
  }
  return end;
}

int run_check(const Options& options, Clock& clock) {
  install_stop_handlers();
  const std::string url = url_in_use(options);
  std::fprintf(stderr, "varnock-check: listening on %s (RECSTAT, TFIMAGE)\n", url.c_str());
  std::fputs(receive_buffer_warning(url, read_sysctl("/proc/sys/net/core/rmem_max"),
                                    read_sysctl("/proc/sys/net/core/rmem_default"))
                 .c_str(),
             stderr);

  lcm_t* bus = lcm_create(url.c_str());
  if (bus == nullptr) {
    std::fprintf(stderr, "varnock-check: cannot open the bus %s\n", url.c_str());
    return kCheckNoBus;
  }
  std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus_owner(bus, lcm_destroy);
  // Without a descriptor to wait on, LCM's own wait would abort the process.
  if (lcm_get_fileno(bus) < 0) {
    std::fprintf(stderr, "varnock-check: LCM cannot receive on %s (its message above says why)\n",
                 url.c_str());
    return kCheckNoBus;
  }

  // Opened only now that the bus works, so that a bad URL leaves an
  // existing file as it was.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> csv(nullptr, std::fclose);
  if (!options.csv_path.empty()) {
    csv.reset(std::fopen(options.csv_path.c_str(), "w"));
    if (!csv) {
      std::fprintf(stderr, "varnock-check: cannot write --csv %s: %s\n", options.csv_path.c_str(),
                   std::strerror(errno));
      return kCheckUsage;
    }
  }
  ReportOutput out(stdout, options.json, csv.get(), options.csv_path);
  out.start({url, options.seconds});

  const int64_t start_ns = clock.monotonic_nanoseconds();
  Checker checker(clock.wall_milliseconds(), monotonic_ms(clock));
  LoopEnd end = LoopEnd::kSignal;
  {
    const CheckSubscription subscription(bus, checker, clock);
    end = receive(bus, options.seconds, clock, checker, out);
  }
  if (end == LoopEnd::kEndOfInput) {
    std::fprintf(stderr, "varnock-check: the bus delivers no more messages (end of the log?)\n");
  }
  for (const SecondReport& r : checker.finish(clock.wall_milliseconds())) out.row(r);
  const double seconds = static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9;
  const Summary summary = checker.summary(seconds);
  out.summary(summary);
  bus_owner.reset();

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
  return summary.totals.corrupt > 0 ? kCheckCorrupt : kCheckOk;
}

}  // namespace varnock::check
