#include "check/options.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace varnock::check {

std::string parse_options(int argc, const char* const* argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    // --opt=value is --opt value.
    std::optional<std::string_view> inline_value;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    const bool takes_value = arg == "--url" || arg == "--seconds" || arg == "--csv";
    if (inline_value && !takes_value) {
      return std::string(arg) + " takes no value";
    }
    if (takes_value && !inline_value && i + 1 >= argc) return std::string(arg) + " needs a value";
    const auto value = [&]() -> std::string_view {
      return inline_value ? *inline_value : argv[++i];
    };
    if (arg == "--url") {
      o->url = value();
      if (o->url.empty()) return "--url needs a value";
    } else if (arg == "--seconds") {
      const std::string_view v = value();
      int64_t n = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || end != v.data() + v.size() || n < 1 || n > kMaxSeconds) {
        return "--seconds needs a whole number of seconds from 1 to " +
               std::to_string(kMaxSeconds) + " (a year), not '" + std::string(v) + "'";
      }
      o->seconds = n;
    } else if (arg == "--csv") {
      o->csv_path = value();
      if (o->csv_path.empty()) return "--csv needs a file name";
    } else if (arg == "--diagnose") {
      o->diagnose = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else if (arg == "--version") {
      o->version = true;
    } else {
      return "unknown argument '" + std::string(arg) + "'";
    }
  }
  if (o->diagnose && (o->json || !o->csv_path.empty())) {
    return "--diagnose writes neither --json nor --csv";
  }
  return "";
}

const char* usage_line() {
  return "usage: varnock-check [--url URL] [--seconds N] [--json] [--csv FILE] [--help] "
         "[--version]\n'varnock-check --help' tells more.\n";
}

const char* usage() {
  return R"(usage: varnock-check [--url URL] [--seconds N] [--json] [--csv FILE] [--help] [--version]
       varnock-check --diagnose [--url URL] [--seconds N]

Subscribes to varnock's channels RECSTAT and TFIMAGE and reports, second by
second, what arrived, what was lost and what was damaged; a summary follows
when it ends (after --seconds N, or on Ctrl+C or SIGTERM).

  --url URL     the bus to open (default: LCM_DEFAULT_URL, else LCM's default
                udpm://239.255.76.67:7667?ttl=0). Frames of 1.6 MB need a large
                receive buffer: add recv_buf_size=8388608 to a udpm URL, and
                raise net.core.rmem_max to match.
  --seconds N   stop after N seconds
  --json        one JSON object a line; the summary is the last one
  --csv FILE    also write the per-second rows to FILE, for plotting
  --diagnose    check the bus set-up instead, one line per check, each failing
                one with the command that fixes it: the multicast route and
                its interface, ttl, net.core.rmem_max and rmem_default against
                a frame's need, recv_buf_size, whether LCM opens the bus, then
                N seconds (3) of listening: do status records and frames
                arrive whole, does the kernel drop datagrams? It changes no
                setting.
  --help        this text
  --version     the version

Options that take a value accept it as --opt VALUE or --opt=VALUE.

Every message is checked whole: size, fingerprint, every field, and every
pixel of a frame. A frame's pattern period is its sequence number (60 plus
varnock's cycle index): gaps count as lost, repeats as duplicates, a frame
arriving after a later one as late; a period back at 60 is a restarted
publisher. Latency is LCM's receive time minus the frame's timestamp; across
hosts it is only as good as the hosts' clock synchronisation.

Exit status: 0 nothing corrupt, 3 a corrupt message was received, 1 the bus
could not be opened, 2 usage error. With --diagnose: 0 every check passed
(warnings allowed) and traffic arrived, 1 the bus could not be opened, 3 a
corrupt message arrived, 5 another check failed.
)";
}

}  // namespace varnock::check
