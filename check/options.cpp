#include "check/options.h"

#include <charconv>
#include <string_view>

namespace varnock::check {

std::string parse_options(int argc, const char* const* argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool takes_value = arg == "--url" || arg == "--seconds" || arg == "--csv";
    if (takes_value && i + 1 >= argc) return std::string(arg) + " needs a value";
    if (arg == "--url") {
      o->url = argv[++i];
      if (o->url.empty()) return "--url needs a value";
    } else if (arg == "--seconds") {
      const std::string_view v = argv[++i];
      int64_t n = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || end != v.data() + v.size() || n < 1) {
        return "--seconds needs a whole number of seconds above 0, not '" + std::string(v) + "'";
      }
      o->seconds = n;
    } else if (arg == "--csv") {
      o->csv_path = argv[++i];
      if (o->csv_path.empty()) return "--csv needs a file name";
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else {
      return "unknown argument '" + std::string(arg) + "'";
    }
  }
  return "";
}

const char* usage() {
  return R"(usage: varnock-check [--url URL] [--seconds N] [--json] [--csv FILE]

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
  --help        this text

Every message is checked whole: size, fingerprint, every field, and every
pixel of a frame. A frame's pattern period is its sequence number (60 plus
varnock's cycle index): gaps count as lost, repeats as duplicates, a frame
arriving after a later one as late; a period back at 60 is a restarted
publisher. Latency is LCM's receive time minus the frame's timestamp; across
hosts it is only as good as the hosts' clock synchronisation.

Exit status: 0 nothing corrupt, 3 a corrupt message was received, 1 the bus
could not be opened, 2 usage error.
)";
}

}  // namespace varnock::check
