#include "check/check_run.h"

#include <lcm/lcm.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bus/lcm_url.h"
#include "bus/lcm_version.h"
#include "check/log_input.h"
#include "check/receive_buffer_warning.h"
#include "cli/exit_status.h"
#include "host/receive_buffer.h"
#include "messages/tfimage_t.h"
#include "metrics/check_metrics.h"
#include "metrics/metrics_output.h"
#include "platform/signals.h"
#include "platform/writes.h"
#include "receive/loop.h"
#include "receive/subscription.h"
#include "report/combine.h"
#include "report/output.h"
#include "report/share.h"
#include "varnock/version.h"

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

using Bus = std::unique_ptr<lcm_t, void (*)(lcm_t*)>;
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Opens the bus at `url`, saying so on standard error; null, and why, when
// LCM cannot.
Bus open_bus(const std::string& url, bool messages_only) {
  std::fprintf(stderr, "varnock-check: listening on %s (%s)\n", url.c_str(),
               messages_only ? "VARNOCK_MSG_0 to VARNOCK_MSG_255"
                             : "RECSTAT, TFIMAGE, VARNOCK_MSG_0 to VARNOCK_MSG_255");
  Bus bus(lcm_create(url.c_str()), lcm_destroy);
  if (!bus) std::fprintf(stderr, "varnock-check: cannot open the bus %s\n", url.c_str());
  return bus;
}

// Whether the loop can receive on `bus` through `subscription`; says why not.
bool can_receive(const receive::Subscription& subscription, lcm_t* bus, const std::string& url) {
  // Without a descriptor to wait on, LCM's own wait would abort the process.
  if (subscription.subscribed() && lcm_get_fileno(bus) >= 0) return true;
  std::fprintf(stderr, "varnock-check: LCM cannot receive on %s (its message above says why)\n",
               url.c_str());
  return false;
}

// The bus's URL, parsed, and on udpm the kernel's view of the socket LCM
// receives on: the buffer it granted and the datagrams it drops.
struct ReceiveSocket {
  bus::LcmUrl url;
  std::unique_ptr<host::ReceiveCounters> counters;  // null unless found
};

ReceiveSocket find_receive_socket(const std::string& url, const host::Host& host) {
  ReceiveSocket socket;
  if (const std::string error = bus::parse_lcm_url(url, &socket.url); !error.empty()) {
    std::fprintf(stderr, "varnock-check: note: %s; loss is not split by cause\n", error.c_str());
  } else if (socket.url.udpm()) {
    socket.counters = host.find_receive_socket(socket.url.port);
    if (socket.counters) {
      std::fprintf(
          stderr, "varnock-check: the kernel granted LCM's socket a receive buffer of %lld bytes\n",
          static_cast<long long>(socket.counters->receive_buffer_bytes()));
    }
    // Said once here, since the rows can only show the count as unknown.
    if (!socket.counters) {
      std::fprintf(stderr,
                   "varnock-check: note: LCM's receiving socket was not found: the kernel's drops "
                   "(kernel_drops, lost_receive_buffer) are unknown\n");
    } else if (const std::string source = socket.counters->drops_source(); source.empty()) {
      std::fprintf(stderr,
                   "varnock-check: note: the kernel's drops for LCM's socket cannot be read "
                   "(neither SO_MEMINFO nor /proc/self/net/udp gives them): kernel_drops and "
                   "lost_receive_buffer are unknown\n");
    } else if (source != "SO_MEMINFO") {
      std::fprintf(stderr,
                   "varnock-check: note: SO_MEMINFO gives no drops for LCM's socket here; they "
                   "are read from %s\n",
                   source.c_str());
    }
  }
  return socket;
}

// Who this checker is, in what it shares and its metrics.
report::Reporter reporter(const Options& options, const std::string& url, const host::Host& host) {
  report::Reporter who;
  who.host = host.name();
  who.pid = static_cast<int32_t>(getpid());
  who.name = options.name.empty() ? report::default_reporter_name(who.host, who.pid) : options.name;
  who.url = url;
  who.instance = report::new_instance();
  who.version = kVersion;
  if (const auto lcm = bus::loaded_lcm_version()) who.lcm_version = lcm->text();
  return who;
}

// With --share, makes `sharer` publish on `bus`, the bus it listens to: LCM
// hands our own reports to no subscription of ours, so they cannot reach the
// account. False, and why, when the bus is a log.
bool start_sharing(const Options& options, const std::string& url, const ReceiveSocket& socket,
                   const report::Reporter& who, lcm_t* bus, Clock& clock,
                   std::optional<report::Sharer>* sharer) {
  if (!options.share) return true;
  if (socket.url.provider == "file") {
    std::fprintf(stderr,
                 "varnock-check: --share cannot publish on %s: a log is read, not written\n",
                 url.c_str());
    return false;
  }
  sharer->emplace(bus, who, clock);
  return true;
}

// --metrics and --metrics-file: the settled rows added up, then the
// summary, each time as Prometheus' text.
class OwnMetrics {
 public:
  OwnMetrics(report::Reporter who, metrics::MetricsOutput& out, Clock& clock)
      : who_(std::move(who)),
        label_(metrics::checker_label(who_.name, who_.host, who_.pid)),
        out_(out),
        clock_(clock) {}

  // The text before any second has settled; "" when there are no metrics.
  std::string initial() {
    run_ = report::shared_row(who_, account::SecondReport{});
    return text();
  }
  void row(const account::SecondReport& r) {
    if (!out_.active()) return;
    const check_report_t m = report::shared_row(who_, r);
    if (rows_ == 0) {
      run_ = m;
    } else {
      const std::array<check_report_t, 2> both{run_, m};
      run_ = report::combine(both);
    }
    ++rows_;
    out_.publish(text());
  }
  void summary(const account::Summary& s, int64_t last_second) {
    if (!out_.active()) return;
    run_ = report::shared_summary(who_, s, last_second);
    out_.publish(text());
  }

 private:
  std::string text() {
    metrics::CheckerSeries series;
    series.label = label_;
    series.version = who_.version;
    series.url = who_.url;
    series.lcm_version = who_.lcm_version;
    series.run = &run_;
    series.last_report_s = static_cast<double>(clock_.wall_milliseconds()) / 1000.0;
    metrics::Exposition e;
    metrics::add_check_families(e, {&series, 1});
    return e.text();
  }

  report::Reporter who_;
  std::string label_;
  metrics::MetricsOutput& out_;
  Clock& clock_;
  check_report_t run_;
  int64_t rows_ = 0;
};

// Opens --csv, if given, into `csv`; false, and why, when it cannot. Called
// only once the bus works, so that a bad URL leaves an existing file as it
// was.
bool open_csv(const Options& options, File* csv) {
  if (options.csv_path.empty()) return true;
  csv->reset(open_for_writing(options.csv_path));
  // Stopped while the open waited (a FIFO with no reader yet): nothing was
  // accounted, and the run ends by the signal that stopped it.
  if (!*csv && errno == EINTR && received_stop_signal() != 0) {
    end_by_signal(received_stop_signal());
  }
  if (!*csv) {
    std::fprintf(stderr, "varnock-check: cannot write --csv %s: %s\n", options.csv_path.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

report::StartInfo start_info(const Options& options, const std::string& url,
                             const ReceiveSocket& socket) {
  report::StartInfo start;
  start.url = url;
  start.seconds = options.seconds;
  if (socket.counters) start.receive_buffer_bytes = socket.counters->receive_buffer_bytes();
  start.max_loss_percent = options.max_loss_percent;
  start.min_frames = options.min_frames;
  start.handler_ms = options.handler_ms;
  start.queue_capacity = options.queue_capacity;
  start.messages_only = options.messages_only;
  if (const auto lcm = bus::loaded_lcm_version()) start.lcm_version = lcm->text();
  return start;
}

// Where every settled row and the summary go: the report's outputs and,
// with --share, the bus, each with the datagrams this host dropped of what
// it sent meanwhile; each row first has the receive buffer judged by what
// has arrived so far.
class ReportSink {
 public:
  ReportSink(report::ReportOutput& out, report::Sharer* sharer, OwnMetrics& metrics,
             BufferWarning& buffer_warning, const account::Account& account, SendDropSource& drops)
      : out_(out),
        sharer_(sharer),
        metrics_(metrics),
        buffer_warning_(buffer_warning),
        account_(account),
        send_drops_(drops) {}

  // Writes `settled`; false once writing the report has failed.
  bool row(const account::SecondReport& settled) {
    judge_buffer();
    account::SecondReport r = settled;
    r.send_drops = send_drops_.since_last();
    out_.row(r);
    metrics_.row(r);
    last_second_ = r.second;
    if (sharer_ != nullptr) sharer_->row(r);
    return out_.error() == 0;
  }
  void summary(account::Summary s) {
    s.send_drops = send_drops_.since_start();
    out_.summary(s);
    metrics_.summary(s, last_second_);
    if (sharer_ != nullptr) sharer_->summary(s);
  }
  // Warns of a receive buffer too small for what has arrived so far; again
  // only for larger frames.
  void judge_buffer() {
    buffer_warning_.judge(account_.largest_frame_bytes(), account_.status_records());
  }

 private:
  report::ReportOutput& out_;
  report::Sharer* sharer_;
  OwnMetrics& metrics_;
  int64_t last_second_ = 0;
  BufferWarning& buffer_warning_;
  const account::Account& account_;
  SendDropTally send_drops_;
};

// What follows the receive loop, which ended by `end` after LCM delivered
// `handled` events: the rows still open and the summary of the run begun at
// `start_ns`, which it returns. Of a log read to where LCM stopped, *status
// tells how its reading ended (judge_log); it is left as it was otherwise.
account::Summary finish_run(receive::LoopEnd end, const std::optional<LogPlan>& log,
                            int64_t handled, account::Account& account,
                            const receive::Streams& streams, Clock& clock, int64_t start_ns,
                            ReportSink& sink, int* log_status) {
  // What arrived after the last settled row is judged before the run's end is told.
  sink.judge_buffer();
  if (end == receive::LoopEnd::kEndOfInput) {
    if (log) {
      *log_status = judge_log(*log, handled, account);
    } else {
      std::fprintf(stderr, "varnock-check: the bus delivers no more messages (end of the log?)\n");
    }
  }
  const int64_t now_ms = clock.wall_milliseconds();
  streams.join.hold(streams.account.finish(now_ms));
  std::vector<account::SecondReport> rows = account.finish(now_ms);
  for (size_t i = 0; i < rows.size(); ++i) {
    streams.join.join(rows[i], i + 1 == rows.size());
    sink.row(rows[i]);
  }
  const double seconds = static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9;
  account::Summary summary = account.summary(seconds);
  summary.messages = streams.account.summary().channels;
  sink.summary(summary);
  return summary;
}

// How the run went, from its report's outputs, how reading its log ended
// (`log_status`) and its account, said on standard error where it failed.
// Does not return when standard output's reader has gone.
int exit_status(const Options& options, const std::string& url, const report::ReportOutput& out,
                int log_status, const account::Account& account,
                const account::StreamAccount& streams, const account::Summary& summary, File& csv) {
  if (const int64_t retired = account.live_runs_retired(); retired > 0) {
    std::fprintf(stderr,
                 "varnock-check: warning: more than %zu publisher runs were live at once; %lld "
                 "were dropped to make room, and their later frames counted as new runs\n",
                 account::RunTracker::kMaxRuns, static_cast<long long>(retired));
  }
  if (const int64_t retired = streams.summary().runs_retired; retired > 0) {
    std::fprintf(stderr,
                 "varnock-check: warning: a stream channel had more than %zu publisher runs at "
                 "once; %lld were dropped to make room, and their later messages counted as new "
                 "runs\n",
                 account::StreamAccount::kMaxRuns, static_cast<long long>(retired));
  }
  if (out.error() == EPIPE) {
    csv.reset();
    end_for_lost_reader();
  }
  if (out.error() != 0) {
    std::fprintf(stderr, "varnock-check: cannot write to %s: %s\n", out.failed_output().c_str(),
                 std::strerror(out.error()));
    return kExitOutputError;
  }
  // The account covers only the part of the log before the damage.
  if (log_status != kExitOk) return log_status;
  int64_t stream_messages = 0;
  int64_t stream_corrupt = 0;
  for (const account::StreamChannelFigures& c : summary.messages) {
    stream_messages += c.counts.received + c.counts.corrupt;
    stream_corrupt += c.counts.corrupt;
  }
  if (account.messages() == 0 && stream_messages == 0) {
    std::fprintf(stderr, "varnock-check: nothing received on %s in %.1f s\n", url.c_str(),
                 summary.seconds);
    return kExitShortfall;
  }
  if (summary.totals.corrupt > 0 || stream_corrupt > 0) return kExitCorrupt;
  if (const std::string missed = missed_limit(options, summary); !missed.empty()) {
    std::fputs(missed.c_str(), stderr);
    return kExitShortfall;
  }
  return kExitOk;
}

}  // namespace

std::string missed_limit(const Options& options, const account::Summary& s) {
  const int64_t whole = s.totals.frames - s.totals.duplicates;
  const int64_t published = whole + s.totals.lost;
  const double percent =
      published > 0 ? 100.0 * static_cast<double>(s.totals.lost) / static_cast<double>(published)
                    : 0.0;
  char line[512];
  const bool limited = options.max_loss_percent >= 0 || options.min_frames > 0;
  if (limited && s.lost_lower_bound && !options.allow_unsequenced) {
    std::snprintf(line, sizeof line,
                  "varnock-check: the loss cannot be known: %lld frames carried no sequence number "
                  "(too small for one), so lost %lld is only a lower bound, and --max-loss and "
                  "--min-frames cannot be judged (--allow-unsequenced judges them by it)\n",
                  static_cast<long long>(s.totals.unsequenced),
                  static_cast<long long>(s.totals.lost));
    return line;
  }
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
  std::optional<LogPlan> log;
  if (const std::optional<int> status = prepare_log(url, &log)) return *status;
  const Bus bus = open_bus(url, options.messages_only);
  if (!bus) return kExitNoBus;
  const int64_t start_ns = clock.monotonic_nanoseconds();
  account::Account account(clock.wall_milliseconds(), monotonic_ms(clock));
  // Options bound the capacity.
  account::StreamAccount stream_account(
      clock.wall_milliseconds(), receive::stream_queue(static_cast<int>(options.queue_capacity)));
  account::StreamJoin stream_rows;
  const receive::Streams streams{stream_account, stream_rows};
  receive::SubscriptionSettings settings;
  // Options bound both, so neither overflows.
  settings.handler_ns = static_cast<int64_t>(options.handler_ms * 1e6);
  settings.queue_capacity = static_cast<int>(options.queue_capacity);
  settings.frames = !options.messages_only;
  settings.streams = &stream_account;
  const receive::Subscription subscription(bus.get(), account, clock, ProblemPrinter(), settings);
  if (!can_receive(subscription, bus.get(), url)) return kExitNoBus;

  const ReceiveSocket receiving = find_receive_socket(url, host);
  BufferWarning buffer_warning(receiving.url, receiving.counters.get(), host);
  const report::Reporter who = reporter(options, url, host);
  std::optional<report::Sharer> sharer;
  if (!start_sharing(options, url, receiving, who, bus.get(), clock, &sharer)) {
    return kExitUsage;
  }

  File csv(nullptr, std::fclose);
  if (!open_csv(options, &csv)) return kExitOutputError;
  metrics::MetricsOutput metrics_out("varnock-check");
  OwnMetrics metrics(who, metrics_out, clock);
  if (const std::string error =
          metrics_out.open(options.metrics, options.metrics_file, metrics.initial());
      !error.empty()) {
    std::fprintf(stderr, "varnock-check: %s\n", error.c_str());
    return kExitOutputError;
  }
  report::ReportOutput out(stdout, options.json, csv.get(), options.csv_path);
  out.start(start_info(options, url, receiving));

  ReportSink sink(out, sharer ? &*sharer : nullptr, metrics, buffer_warning, account, drops);
  // LCM reads no further into a log than the walk found events: never the
  // damage it would take on trust.
  receive::EventCount events;
  if (log) events.limit = log->walk.events;
  const receive::LoopEnd end = receive::receive(
      bus.get(), options.seconds, clock, account,
      [&sink](const account::SecondReport& r) { return sink.row(r); }, receiving.counters.get(),
      receiving.url.udpm() ? &host : nullptr, &events, &streams);
  int log_status = kExitOk;
  const account::Summary summary =
      finish_run(end, log, events.handled, account, streams, clock, start_ns, sink, &log_status);
  const int status =
      exit_status(options, url, out, log_status, account, stream_account, summary, csv);
  if (status == kExitOk && metrics_out.file_error() != 0) return kExitOutputError;
  return status;
}

}  // namespace varnock::check
