#include "pace/options.h"

#include <charconv>
#include <optional>
#include <sstream>
#include <string_view>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "messages/stream_message_t.h"
#include "metrics/endpoint.h"

namespace varnock::pace {
namespace {

// --rate: "max" or 0 for as fast as possible, else kMinRateHz to `max_hz`.
std::string parse_rate(std::string_view v, double max_hz, double* out) {
  if (v == "max") {
    *out = 0;
    return "";
  }
  double hz = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), hz);
  const bool number = ec == std::errc() && end == v.data() + v.size();
  if (number && (hz == 0 || (hz >= kMinRateHz && hz <= max_hz))) {
    *out = hz;
    return "";
  }
  std::ostringstream m;
  m << "--rate needs cycles a second from " << kMinRateHz << " to " << max_hz
    << ", or max (or 0) for as fast as possible, not '" << v << "'";
  if (number && max_hz < hz && hz <= kMaxMessageRateHz) {
    m << ": frames stay at least 2 ms apart; --messages goes up to " << kMaxMessageRateHz;
  }
  return m.str();
}

// --messages: the whole message's bytes, from the header alone up to 64 KiB.
std::string parse_message_bytes(std::string_view v, int64_t* out) {
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec == std::errc() && end == v.data() + v.size() && n >= stream_message_t::kMinBytes &&
      n <= stream_message_t::kMaxBytes) {
    *out = n;
    return "";
  }
  std::ostringstream m;
  m << "--messages needs a message size in bytes from " << stream_message_t::kMinBytes
    << " (a message with an empty payload) to " << stream_message_t::kMaxBytes << ", not '" << v
    << "'";
  return m.str();
}

}  // namespace

std::string parse_options(int argc, const char* const* argv, Options* o) {
  int64_t width = o->size.width;
  int64_t height = o->size.height;
  std::optional<std::string_view> rate;
  bool frame_size_given = false;
  bool channels_given = false;
  OptionReader args(argc, argv,
                    {"--rate", "--width", "--height", "--seconds", "--url", "--messages",
                     "--channels", "--metrics"},
                    {"--json"});
  std::string_view arg;
  std::string_view value;
  while (args.next(&arg, &value)) {
    std::string error;
    if (arg == "--rate") {
      // Its bounds depend on --messages, which may come later.
      rate = value;
    } else if (arg == "--width") {
      error = parse_number<int64_t>(arg, value, 1, kMaxFramePixels, "a number of pixels", &width);
      frame_size_given = true;
    } else if (arg == "--height") {
      error = parse_number<int64_t>(arg, value, 1, kMaxFramePixels, "a number of pixels", &height);
      frame_size_given = true;
    } else if (arg == "--seconds") {
      error = read_seconds(value, &o->seconds);
    } else if (arg == "--url") {
      error = read_url(value, &o->url);
    } else if (arg == "--messages") {
      error = parse_message_bytes(value, &o->message_bytes);
    } else if (arg == "--channels") {
      error = parse_number<int32_t>(arg, value, 1, kMaxStreamChannels, "a number of channels",
                                    &o->channels);
      channels_given = true;
    } else if (arg == "--metrics") {
      error = metrics::read_metrics_option(value, &o->metrics);
    } else if (arg == "--json") {
      o->json = true;
    }
    if (!error.empty()) return error;
  }
  // --help and --version answer whatever else the line holds.
  if (std::string e = args.finish(&o->request); !e.empty() || o->request != Request::kRun) {
    return e;
  }
  const bool messages = o->message_bytes > 0;
  if (rate) {
    if (std::string e = parse_rate(*rate, messages ? kMaxMessageRateHz : kMaxRateHz, &o->rate_hz);
        !e.empty()) {
      return e;
    }
  }
  if (messages) {
    if (frame_size_given) {
      return "--messages publishes messages instead of frames: --width and --height do not "
             "apply";
    }
    return "";
  }
  if (channels_given) {
    return "--channels needs --messages: frames go on RECSTAT and TFIMAGE only";
  }
  if (const std::string problem = frame_size_problem(width, height); !problem.empty()) {
    return "--width " + std::to_string(width) + " --height " + std::to_string(height) + ": " +
           problem;
  }
  o->size = {static_cast<int32_t>(width), static_cast<int32_t>(height)};
  return "";
}

std::string help_text() {
  return R"(Usage: varnock-pace [--rate HZ] [--width W] [--height H] [--seconds N] [--url URL]
                    [--json] [--metrics ADDRESS:PORT]
       varnock-pace --messages BYTES [--channels K] [--rate HZ] [--seconds N]
                    [--url URL] [--json] [--metrics ADDRESS:PORT]

varnock's stream shaped like yours: each cycle publishes a 63-byte status
record on RECSTAT, then a W x H test-pattern image (40 + W x H bytes) on
TFIMAGE whose pattern period is 60 plus the cycle index, as varnock does,
at the rate you ask. varnock-check checks what arrives.

With --messages, a small sequenced stream instead, as control loops send:
each cycle one message of BYTES bytes on each of K channels, VARNOCK_MSG_0
to VARNOCK_MSG_<K-1>, and no status record or frame. A message
(stream_message_t, whose schema varnock installs) carries this run's random
id and start, its sequence number on its channel (0 first), the time it was
sent in nanoseconds, and a payload whose every byte a receiver can check.

Options:
  --rate HZ      cycles a second, from 0.01 to 500 (to 100000 with --messages;
                 a decimal number), kept on deadlines so that the rate does
                 not drift; a late cycle is caught up with only within a
                 period, never by a burst. max or 0: as fast as possible, with
                 a 2 ms pause after each cycle as varnock has (the default);
                 with --messages, without a pause
  --width W      the frame's width in pixels (1280)
  --height H     its height (1280); W x H is at most 2147483607, the most a
                 frame's size field can carry. udpm subscribers of LCM 1.3.1
                 discard messages over 268435456 bytes
  --messages BYTES  publish messages of BYTES bytes each, as LCM carries them,
                 instead of frames: from 44 (a header and an empty payload)
                 to 65536
  --channels K   with --messages, the channels, from 1 to 256 (1)
  --seconds N    stop after N seconds (at most a year); otherwise at a key
                 or a signal
  --url URL      the bus (default: LCM_DEFAULT_URL, else LCM's default
                 udpm://239.255.76.67:7667?ttl=0)
  --json         write one JSON object a line instead of the text below
  --metrics ADDRESS:PORT  serve Prometheus metrics at
                 http://ADDRESS:PORT/metrics, updated with each second's line:
                 varnock_pace_cycles_total, varnock_pace_send_drops_total and
                 varnock_pace_target_rate_hertz. :PORT listens on 127.0.0.1
                 only, so name the address to be reached from elsewhere
                 (0.0.0.0:PORT: every interface). Not in the Windows build.
  --help         this text
  --version      the version
Options that take a value accept it as --opt VALUE or --opt=VALUE.

Output: a line naming the frame size, the rate and the bus; then, once a
second (when a cycle starts in a new second), that second (Unix time) and the
rates requested and achieved since the last line; when the run ends, the
cycles of the whole run and its rate. Each also tells the datagrams this host
dropped of what it sent meanwhile (a full send buffer, a link queue that
overflowed), though LCM reported them sent: the host's counters (Udp
SndbufErrors, Ip FragFails and OutDiscards), other programs' drops included;
left out where they cannot be read. For example:

  1796866845 rate: requested 30 achieved 30.0, send drops 0

  total: 90 cycles in 3.000 s: requested 30 achieved 30.0, send drops 0
A cycle counts once both messages have been handed to LCM.

With --messages, the first line names the message size and the channels, and
each line adds the messages LCM accepted, all channels together:

  1796866845 rate: requested 1000 achieved 1000.0, messages sent 2000, send drops 0

A cycle counts once it has handed its K messages to LCM. A message LCM
refuses is not counted sent, and its channel's next message takes its
sequence number, so that a receiver's count of received and lost adds up to
the messages sent.

With --json, the same figures for programs: one JSON object a line, its
"type" start (with version, url, width, height, message_bytes, rate_hz and
seconds; with --messages, channels instead of width and height), second
(second, cycles, achieved_hz, send_drops) or summary (cycles, seconds,
rate_hz, achieved_hz, send_drops); with --messages, second and summary add
messages_sent. rate_hz is null for max, the start's seconds null without
--seconds, send_drops null when unknown. Warnings and errors stay on standard
error, as text.

Keys and signals, as varnock: in the foreground, any key ends the run after
the current cycle (with standard input from a pipe, any byte waiting).
Ctrl+C, Ctrl+\, SIGTERM and SIGHUP end it between cycles, with the terminal
restored, by that same signal. Ctrl+Z suspends it; fg or bg resumes it.

)" + exit_status_help(Program::kPace);
}

}  // namespace varnock::pace
