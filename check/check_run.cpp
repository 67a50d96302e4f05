#include "check/check_run.h"

#include <lcm/lcm.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "bus/lcm_url.h"
#include "check/exit_status.h"
#include "check/receive_buffer_warning.h"
#include "host/receive_buffer.h"
#include "messages/tfimage_t.h"
#include "platform/signals.h"
#include "receive/loop.h"
#include "receive/subscription.h"
#include "report/output.h"
#include "report/share.h"

namespace varnock::check {
namespace {

constexpr int kMaxProblemsShown = 10;

int64_t monotonic_ms(Clock& clock) { return clock.monotonic_nanoseconds() / 1'000'000; }

// The first few corrupt messages, on standard error.
class ProblemPrinter {
 public:
  void operator()(std::string_view channel, std::string_view problem) {
    if (shown_ >= kMaxProblemsShown) return;
    ++shown_;
    std::fprintf(stderr, "varnock-check: corrupt %.*s message: %.*s\n",
                 static_cast<int>(channel.size()), channel.data(), static_cast<int>(problem.size()),
                 problem.data());
  }

 private:
  int shown_ = 0;
};

// The warning for a receive buffer too small for the frames that arrive,
// given once a frame too large for it has arrived. A run that asks for less
// than varnock's frames need is told so at once, as a note: its own frames
// may be smaller.
class BufferWarning {
 public:
  static constexpr int64_t kRecordsWithoutFrames = 20;

  BufferWarning(const bus::LcmUrl& url, const host::ReceiveCounters* socket, const host::Host& host)
      : url_(url),
        rmem_max_(host.setting("net.core.rmem_max")),
        rmem_default_(host.setting("net.core.rmem_default")) {
    if (socket != nullptr) granted_ = socket->receive_buffer_bytes();
    if (!url_.udpm()) return;
    const int64_t bytes =
        granted_ ? *granted_ : host::expected_receive_buffer(url_, rmem_max_, rmem_default_);
    if (bytes >= 0 && bytes < host::buffer_need(kFrameBytes).granted) {
      std::fprintf(stderr,
                   "varnock-check: note: a receive buffer of %lld bytes holds frames of up to "
                   "%lld bytes; varnock's are %lld (recv_buf_size in the URL asks for more)\n",
                   static_cast<long long>(bytes), static_cast<long long>(bytes / 2),
                   static_cast<long long>(kFrameBytes));
    }
  }

  // Warns once frames of `frame_bytes` arrive that the buffer cannot hold,
  // or once status records keep arriving without a single frame (none of
  // varnock's fits), judged then by varnock's frames.
  void judge(int64_t frame_bytes, int64_t status_records) {
    if (frame_bytes == 0 && status_records >= kRecordsWithoutFrames) {
      frame_bytes = kFrameBytes;
    }
    if (frame_bytes <= warned_bytes_) return;
    const std::string w =
        receive_buffer_warning(url_, granted_, rmem_max_, rmem_default_, frame_bytes);
    if (w.empty()) return;
    std::fputs(w.c_str(), stderr);
    warned_bytes_ = frame_bytes;
  }

 private:
  bus::LcmUrl url_;
  int64_t rmem_max_;
  int64_t rmem_default_;
  std::optional<int64_t> granted_;
  int64_t warned_bytes_ = 0;
};

}  // namespace

std::string missed_limit(const Options& options, const account::Summary& s) {
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

int run_check(const Options& options, const host::Host& host, Clock& clock, SendDropSource& drops) {
  const std::string url = bus::url_in_use(options.url);
  std::fprintf(stderr, "varnock-check: listening on %s (RECSTAT, TFIMAGE)\n", url.c_str());

  const std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus(lcm_create(url.c_str()), lcm_destroy);
  if (!bus) {
    std::fprintf(stderr, "varnock-check: cannot open the bus %s\n", url.c_str());
    return kCheckNoBus;
  }
  const int64_t start_ns = clock.monotonic_nanoseconds();
  account::Account account(clock.wall_milliseconds(), monotonic_ms(clock));
  const receive::Subscription subscription(bus.get(), account, clock, ProblemPrinter(),
                                           static_cast<int64_t>(options.handler_ms * 1e6));
  // Without a descriptor to wait on, LCM's own wait would abort the process.
  if (!subscription.subscribed() || lcm_get_fileno(bus.get()) < 0) {
    std::fprintf(stderr, "varnock-check: LCM cannot receive on %s (its message above says why)\n",
                 url.c_str());
    return kCheckNoBus;
  }

  // On udpm, the kernel's view of the socket LCM receives on: the buffer it
  // granted and the datagrams it drops.
  bus::LcmUrl parsed;
  std::unique_ptr<host::ReceiveCounters> receiving;
  if (const std::string error = bus::parse_lcm_url(url, &parsed); !error.empty()) {
    std::fprintf(stderr, "varnock-check: note: %s; loss is not split by cause\n", error.c_str());
  } else if (parsed.udpm()) {
    receiving = host.find_receive_socket(parsed.port);
    if (receiving) {
      std::fprintf(
          stderr, "varnock-check: the kernel granted LCM's socket a receive buffer of %lld bytes\n",
          static_cast<long long>(receiving->receive_buffer_bytes()));
    }
  }
  BufferWarning buffer_warning(parsed, receiving.get(), host);

  // Shared on the bus it listens to; LCM hands our own reports to no
  // subscription of ours, so they cannot reach the account.
  std::optional<report::Sharer> sharer;
  if (options.share) {
    if (parsed.provider == "file") {
      std::fprintf(stderr,
                   "varnock-check: --share cannot publish on %s: a log is read, not written\n",
                   url.c_str());
      return kCheckUsage;
    }
    report::Reporter who;
    who.host = host.name();
    who.pid = static_cast<int32_t>(getpid());
    who.name =
        options.name.empty() ? report::default_reporter_name(who.host, who.pid) : options.name;
    who.url = url;
    sharer.emplace(bus.get(), std::move(who), clock, drops);
  }

  // Opened only now that the bus works, so that a bad URL leaves an
  // existing file as it was.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> csv(nullptr, std::fclose);
  if (!options.csv_path.empty()) {
    csv.reset(std::fopen(options.csv_path.c_str(), "w"));
    // Stopped while the open waited (a FIFO with no reader yet): nothing was
    // accounted, and the run ends by the signal that stopped it.
    if (!csv && errno == EINTR && received_stop_signal() != 0) {
      end_by_signal(received_stop_signal());
    }
    if (!csv) {
      std::fprintf(stderr, "varnock-check: cannot write --csv %s: %s\n", options.csv_path.c_str(),
                   std::strerror(errno));
      return kCheckOutputError;
    }
  }
  report::ReportOutput out(stdout, options.json, csv.get(), options.csv_path);
  report::StartInfo start;
  start.url = url;
  start.seconds = options.seconds;
  if (receiving) start.receive_buffer_bytes = receiving->receive_buffer_bytes();
  start.max_loss_percent = options.max_loss_percent;
  start.min_frames = options.min_frames;
  start.handler_ms = options.handler_ms;
  out.start(start);

  const receive::LoopEnd end = receive::receive(
      bus.get(), options.seconds, clock, account,
      [&](const account::SecondReport& r) {
        buffer_warning.judge(account.largest_frame_bytes(), account.status_records());
        out.row(r);
        if (sharer) sharer->row(r);
        return out.error() == 0;
      },
      receiving.get(), parsed.udpm() ? &host : nullptr);
  buffer_warning.judge(account.largest_frame_bytes(), account.status_records());
  if (end == receive::LoopEnd::kEndOfInput) {
    std::fprintf(stderr, "varnock-check: the bus delivers no more messages (end of the log?)\n");
  }
  for (const account::SecondReport& r : account.finish(clock.wall_milliseconds())) {
    out.row(r);
    if (sharer) sharer->row(r);
  }
  const double seconds = static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9;
  const account::Summary summary = account.summary(seconds);
  out.summary(summary);
  if (sharer) sharer->summary(summary);

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
  if (account.messages() == 0) {
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
