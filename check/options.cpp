#include "check/options.h"

#include <optional>
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "metrics/endpoint.h"
#include "metrics/metrics_output.h"

namespace varnock::check {

std::string parse_options(int argc, const char* const* argv, Options* o) {
  OptionReader args(argc, argv,
                    {"--url", "--seconds", "--csv", "--max-loss", "--min-frames", "--handler-ms",
                     "--queue-capacity", "--name", "--metrics", "--metrics-file"},
                    {"--share", "--diagnose", "--json", "--allow-unsequenced", "--messages-only"});
  std::string_view arg;
  std::string_view value;
  while (args.next(&arg, &value)) {
    std::string error;
    if (arg == "--url") {
      error = read_url(value, &o->url);
    } else if (arg == "--seconds") {
      error = read_seconds(value, &o->seconds);
    } else if (arg == "--csv") {
      o->csv_path = value;
      if (o->csv_path.empty()) return "--csv needs a file name";
    } else if (arg == "--max-loss") {
      error = parse_number<double>(arg, value, 0, 100, "a percentage", &o->max_loss_percent);
    } else if (arg == "--min-frames") {
      error =
          parse_number<int64_t>(arg, value, 0, kMaxMinFrames, "a number of frames", &o->min_frames);
    } else if (arg == "--handler-ms") {
      error = parse_number<double>(arg, value, 0, kMaxHandlerMs, "milliseconds", &o->handler_ms);
    } else if (arg == "--queue-capacity") {
      error = parse_number<int64_t>(arg, value, 1, kMaxQueueCapacity, "a number of messages",
                                    &o->queue_capacity);
    } else if (arg == "--name") {
      o->name = value;
      if (o->name.empty()) return "--name needs a name";
      if (o->name.size() > kMaxNameBytes) {
        return "--name is " + std::to_string(o->name.size()) + " bytes long, more than " +
               std::to_string(kMaxNameBytes);
      }
    } else if (arg == "--metrics") {
      error = metrics::read_metrics_option(value, &o->metrics);
    } else if (arg == "--metrics-file") {
      error = metrics::read_metrics_file_option(value, &o->metrics_file);
    } else if (arg == "--share") {
      o->share = true;
    } else if (arg == "--diagnose") {
      o->diagnose = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--allow-unsequenced") {
      o->allow_unsequenced = true;
    } else if (arg == "--messages-only") {
      o->messages_only = true;
    }
    if (!error.empty()) return error;
  }
  // --help and --version answer whatever else the line holds.
  if (std::string e = args.finish(&o->request); !e.empty() || o->request != Request::kRun) {
    return e;
  }
  if (o->diagnose && (o->json || !o->csv_path.empty() || o->share || !o->metrics.empty() ||
                      !o->metrics_file.empty())) {
    return "--diagnose writes neither --json nor --csv, and shares nothing";
  }
  if (o->messages_only && o->min_frames > 0) {
    return "--min-frames counts frames, which --messages-only does not subscribe to";
  }
  if (!o->name.empty() && !o->share && o->metrics.empty() && o->metrics_file.empty()) {
    return "--name names what --share, --metrics or --metrics-file publish: add one";
  }
  return "";
}

std::string help_text() {
  return R"(Usage: varnock-check [--url URL] [--seconds N] [--json] [--csv FILE]
                     [--max-loss PERCENT] [--min-frames N] [--allow-unsequenced]
                     [--handler-ms MS] [--queue-capacity N] [--messages-only]
                     [--share] [--metrics ADDRESS:PORT] [--metrics-file PATH]
                     [--name NAME]
       varnock-check --diagnose [--url URL] [--seconds N]

Subscribes to varnock's channels RECSTAT and TFIMAGE and to the small
sequenced streams VARNOCK_MSG_0 to VARNOCK_MSG_255 (varnock-pace --messages),
checks every message whole and reports, second by second, what arrived, what
was lost and why, and what was damaged; a summary follows when it ends (after
--seconds N, at the end of a log, or on Ctrl+C or SIGTERM).

Options:
  --url URL         the bus to open (default: LCM_DEFAULT_URL, else LCM's
                    default udpm://239.255.76.67:7667?ttl=0). A 1.6 MB frame
                    needs a receive buffer of twice its size: add
                    recv_buf_size=8388608 to a udpm URL, and raise
                    net.core.rmem_max to at least 1638440 to allow it.
  --seconds N       stop after N seconds (at most a year)
  --json            one JSON object a line: a start line, a line a second and
                    a summary, each with its "type"
  --csv FILE        also write the per-second rows to FILE, for plotting
  --max-loss PERCENT  fail (exit 4) when more than PERCENT of the frames
                    published while listening were lost (frames only, not
                    the streams)
  --min-frames N    fail (exit 4) when fewer than N frames arrived whole
                    Both fail (exit 4) when the loss cannot be known: frames
                    too small to carry a sequence number arrived, so that
                    "lost" is only a lower bound ("lost_lower_bound").
  --allow-unsequenced  judge the limits by that lower bound instead
  --handler-ms MS   spend MS milliseconds more in every handler (status
                    records, frames and stream messages), as a slow
                    subscriber would, to see what that loses
  --queue-capacity N  the queue LCM keeps for each subscription, 1 to
                    1000000 messages (default: LCM's own, 30, for RECSTAT
                    and TFIMAGE; 100000 for each stream channel, so that
                    varnock-check's own work loses none); a full queue
                    discards what comes, counted as lost_in_lcm for the
                    streams (a queue of 1 is what Drake's subscriptions hold)
  --messages-only   subscribe to the streams (VARNOCK_MSG_0 to VARNOCK_MSG_255)
                    alone, as a control loop's subscriber would: the frames
                    on the bus still reach its socket, but are not checked
  --share           also publish each second's account and the summary on
                    channel VARNOCK_CHECK of the same bus (type
                    varnock.check_report_t, /usr/share/varnock/
                    check_report_t.lcm), for varnock-gather to show beside
                    other checkers'; with this host's send-side drops
  --metrics ADDRESS:PORT  serve Prometheus metrics at
                    http://ADDRESS:PORT/metrics; :PORT listens on 127.0.0.1
                    only, so name the address to be reached from elsewhere
                    (0.0.0.0:PORT: every interface)
  --metrics-file PATH  write the same text to PATH each second, replaced
                    whole (for node_exporter's textfile collector: a .prom
                    file in its directory)
  --name NAME       the name the shared account carries (default HOST:PID),
                    and the metrics' "checker" label (default the host name)
  --diagnose        check the bus set-up instead, one line per check, each
                    failing one with the command that fixes it: the multicast
                    route and its interface, ttl, net.core.rmem_max and
                    rmem_default against a frame's need, recv_buf_size,
                    whether LCM opens the bus, then N seconds (3) of
                    listening: do status records and frames arrive whole,
                    does the kernel drop datagrams? It changes no setting.
  --help            this text
  --version         the version
Options that take a value accept it as --opt VALUE or --opt=VALUE.

Every message is checked whole: size, fingerprint, every field, and every
pixel of a frame. Frames of any size are taken (varnock's are 1280 x 1280,
varnock-pace's as asked), their width times height equal to their size. A
frame's pattern period is its sequence number (60 plus its publisher's cycle
index). Frames are followed per publisher run (several
publishers, or a restarted one, are runs of their own; up to 1024 at once,
16 KiB each, and a warning past that): gaps count as lost,
repeats as duplicates, a frame arriving after a later one as late. Each cycle
sends a status record just before its frame; a status record that no frame
follows counts a lost frame that no gap shows (all frames lost, the last ones
lost, frames past period 1638399, or size - 1 for frames of another size),
marked as estimated.

Streams: each VARNOCK_MSG_<k> is followed per publisher run by its sequence
numbers: received, lost (exact), duplicates, reordered, late, corrupt, and
lost_in_lcm, what LCM's queue discarded (seen by a second subscription with a
queue 10000 longer, whose handler only counts). The kernel's drops are per
socket, not per channel: stream loss is not split by them. Rows are written two seconds late (longer after the bus
falls silent), so that loss found later lands in the second it happened. A
checker stopped (Ctrl+Z) or starved says for how long when it resumes.

Logs: --url file://PATH reads an LCM log (add ?speed=0 to read it as fast as
it can rather than at the speed it was recorded). PATH must be a regular
file, since LCM skips every other event of a pipe: copy a compressed or
streamed log to a file first. Read to its end, a log has nothing in flight:
a frame whose status record is there but not the frame itself counts as
lost, even when the log was cut short inside it. Damage (bytes that are not
an event) ends the check with exit 7, saying at which byte reading stopped
and after which event.

On udpm, loss is split by cause from this host's counters: a full receive
buffer (the socket's drops), bad checksums, IP reassembly refused for want of
memory, fragments lost on the way, messages LCM discarded from a full queue,
and the rest (whole datagrams that never came); output-fields.md tells how.

Metrics: the varnock_check_* counters, histograms and gauges described in
metrics.md, from the same fields as the JSON lines: a second's figures enter
when its row settles, and the summary's at the end. )" +
         std::string(metrics::kServerHelp) + R"(

Times: latency is LCM's receive time minus the frame's stamp, which has 1 ms
resolution (about 0.5 ms of every figure) and across hosts is only as good as
their clock synchronisation. Inter-arrival (frame to frame) and delivery
(status record to its frame: the frame's sending, transfer and reassembly)
are measured by this host's clock alone.

)" + exit_status_help(Program::kCheck);
}

}  // namespace varnock::check
