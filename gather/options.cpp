#include "gather/options.h"

#include <optional>
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "metrics/endpoint.h"
#include "metrics/metrics_output.h"

namespace varnock::gather {

std::string parse_options(int argc, const char* const* argv, Options* o) {
  OptionReader args(argc, argv, {"--url", "--seconds", "--metrics", "--metrics-file"},
                    {"--json", "--csv"});
  std::string_view arg;
  std::string_view value;
  while (args.next(&arg, &value)) {
    std::string error;
    if (arg == "--url") {
      error = read_url(value, &o->url);
    } else if (arg == "--seconds") {
      error = read_seconds(value, &o->seconds);
    } else if (arg == "--metrics") {
      error = metrics::read_metrics_option(value, &o->metrics);
    } else if (arg == "--metrics-file") {
      error = metrics::read_metrics_file_option(value, &o->metrics_file);
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--csv") {
      o->csv = true;
    }
    if (!error.empty()) return error;
  }
  // --help and --version answer whatever else the line holds.
  if (std::string e = args.finish(&o->request); !e.empty() || o->request != Request::kRun) {
    return e;
  }
  if (o->json && o->csv) return "--json and --csv are two forms of the same output: choose one";
  return "";
}

std::string help_text() {
  return R"(Usage: varnock-gather [--url URL] [--seconds N] [--json | --csv]
                      [--metrics ADDRESS:PORT] [--metrics-file PATH]

Shows in one view every varnock-check that reports on the channel
VARNOCK_CHECK of a bus (varnock-check --share): each second, for each
checker, the frames that arrived and were lost, the main cause of the loss,
and the median latency and delivery time; then a summary of every checker
and their total. It runs until --seconds N have passed, until Ctrl+C or
SIGTERM, or, without --seconds, until the bus delivers no more (the end of a
log read with a file:// URL; add ?speed=0 to read it at full speed).

Options:
  --url URL      the bus to listen to (default: LCM_DEFAULT_URL, else LCM's
                 default udpm://239.255.76.67:7667?ttl=0)
  --seconds N    stop after N seconds (at most a year), even once a log has
                 been read to its end
  --json         one JSON object a line, each with its "type": a start line,
                 a line for each second a checker reports, with the fields of
                 varnock-check's JSON lines, and a summary with every checker
                 and the total
  --csv          a header line, then a row for each second a checker reports
  --metrics ADDRESS:PORT  serve every checker's Prometheus metrics at
                 http://ADDRESS:PORT/metrics, labelled by checker; :PORT
                 listens on 127.0.0.1 only, so name the address to be reached
                 from elsewhere (0.0.0.0:PORT: every interface)
  --metrics-file PATH  write the same text to PATH each second, replaced whole
                 (for node_exporter's textfile collector)
  --help         this text
  --version      the version
Options that take a value accept it as --opt VALUE or --opt=VALUE.

At a terminal, a table is drawn over itself each second, and again at once
when the terminal is resized: a line for each checker with its latest
second, and the total of the checkers still reporting. Checkers come worst
first: silent ones, then those that lost frames in their latest second (the
most lost over their run first), then the others, ended ones last, each
group in the order first heard. Lines are cut at the terminal's width, and
the checkers beyond its height are counted in one line. Elsewhere, text
rows: the lines of the checkers that reported a second, written once all of
them have (or after 3 s), and their total.

A checker is a name, a host and a process. One that has sent nothing for 3 s
(by this program's clock) and has not ended is marked silent, never dropped.
A checker's figures in the summary are its own summary when it sent one
(it ended), else its seconds added up. Totals add up the counts; a count
that any checker could not know (-1 in its messages) is unknown (null in
JSON) in the total. Times in a total are the largest of the checkers' p99 and
max; medians (p50) cannot be combined from others' and are null there.

Messages on VARNOCK_CHECK that are not whole check_report_t messages are
counted as malformed and otherwise ignored; the first one is named on
standard error. At most 1024 checkers are followed.

Metrics: each checker's varnock_check_* series as its own --metrics would
serve them (metrics.md), from what it shares: its seconds heard added up,
then its summary once it ended, updated each second; a checker's histograms'
buckets add up across checkers, so that histogram_quantile over their sum
by le gives the fleet's percentiles. The "checker" label is a checker's
--name, or its host when it has none; checkers that would share one get
"#2", "#3"... in the order heard. varnock_gather_missing_reports_total counts
each checker's reports that never arrived. )" +
         std::string(metrics::kServerHelp) + R"(

)" + exit_status_help(Program::kGather);
}

}  // namespace varnock::gather
