#include "check/run.h"

#include <lcm/lcm.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>

#include "check/checker.h"
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

struct Subscription {
  Checker* checker;
  int problems_shown = 0;
};

void report_problem(Subscription* s, const char* channel, std::string_view problem) {
  if (problem.empty() || s->problems_shown >= kMaxProblemsShown) return;
  ++s->problems_shown;
  std::fprintf(stderr, "varnock-check: corrupt %s message: %.*s\n", channel,
               static_cast<int>(problem.size()), problem.data());
}

void on_status(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* s = static_cast<Subscription*>(user);
  const std::span<const uint8_t> m(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size);
  report_problem(s, channel, s->checker->on_status(m, rbuf->recv_utime));
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* s = static_cast<Subscription*>(user);
  const std::span<const uint8_t> m(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size);
  report_problem(s, channel, s->checker->on_frame(m, rbuf->recv_utime));
}

void write_out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

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

int run_check(const Options& options, Clock& clock) {
  install_stop_handlers();
  const std::string url = url_in_use(options);
  std::fprintf(stderr, "varnock-check: listening on %s (RECSTAT, TFIMAGE)\n", url.c_str());
  std::fputs(receive_buffer_warning(url, read_sysctl("/proc/sys/net/core/rmem_max"),
                                    read_sysctl("/proc/sys/net/core/rmem_default"))
                 .c_str(),
             stderr);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> csv(nullptr, std::fclose);
  if (!options.csv_path.empty()) {
    csv.reset(std::fopen(options.csv_path.c_str(), "w"));
    if (!csv) {
      std::fprintf(stderr, "varnock-check: cannot write --csv %s\n", options.csv_path.c_str());
      return kCheckUsage;
    }
    std::fputs(csv_header().c_str(), csv.get());
  }

  lcm_t* bus = lcm_create(url.c_str());
  if (bus == nullptr) {
    std::fprintf(stderr, "varnock-check: cannot open the bus %s\n", url.c_str());
    return kCheckNoBus;
  }
  Checker checker;
  Subscription subscription{&checker};
  lcm_subscribe(bus, "RECSTAT", on_status, &subscription);
  lcm_subscribe(bus, "TFIMAGE", on_frame, &subscription);

  auto emit = [&](const SecondReport& r) {
    write_out(options.json ? json_row(r) : text_row(r));
    if (csv) {
      std::fputs(csv_row(r).c_str(), csv.get());
      std::fflush(csv.get());
    }
  };

  const int64_t start_ns = clock.monotonic_nanoseconds();
  const int64_t end_ns =
      options.seconds > 0 ? start_ns + options.seconds * 1'000'000'000 : INT64_MAX;
  // Seconds come from the wall clock in milliseconds, the one the waits are
  // timed by, so that a wait never ends just short of the second it awaits.
  int64_t second = clock.wall_milliseconds() / 1000;
  while (received_stop_signal() == 0) {
    const int64_t now_ns = clock.monotonic_nanoseconds();
    if (now_ns >= end_ns) break;
    const int64_t to_second = 1000 - clock.wall_milliseconds() % 1000;
    const int64_t to_end = (end_ns - now_ns + 999'999) / 1'000'000;
    lcm_handle_timeout(bus,
                       static_cast<int>(std::clamp<int64_t>(std::min(to_second, to_end), 1, 1000)));
    const int64_t now = clock.wall_milliseconds() / 1000;
    if (now != second) {
      emit(checker.end_second(second));
      // A second in which the process did not run at all still gets its row.
      for (int64_t s = second + 1; s < now; ++s) emit(checker.end_second(s));
      second = now;
    }
  }
  emit(checker.end_second(second));  // the last, partial, second
  const double seconds = static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9;
  lcm_destroy(bus);

  write_out(options.json ? json_summary(checker, seconds) : text_summary(checker, seconds));
  return checker.totals().corrupt > 0 ? kCheckCorrupt : kCheckOk;
}

}  // namespace varnock::check
