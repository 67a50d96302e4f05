#include "pace/report.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "messages/stream_message_t.h"
#include "report/json_string.h"
#include "varnock/version.h"

namespace varnock::pace {
namespace {

using report::json_line;

std::string requested_text(double requested_hz) {
  if (requested_hz <= 0) return "max";
  char text[32];
  std::snprintf(text, sizeof text, "%g", requested_hz);
  return text;
}

// The shortest text that reads back as the same rate; null for as fast as
// possible, which has no rate to ask.
std::string json_rate(double requested_hz) {
  if (requested_hz <= 0) return "null";
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, requested_hz);
  return ec == std::errc() ? std::string(text, end) : "null";
}

// Formatted by the same rules in text and JSON, so that both carry the same figures.
// `cycles` over the time they took; a paced cycle takes its period, so a
// run shorter than its cycles' periods (one cycle at 0.01 Hz ended after a
// second) achieved the rate asked, not more. One decimal, or two
// significant digits below 1 Hz.
std::string achieved_text(int64_t cycles, int64_t elapsed_ns, double requested_hz) {
  double span_ns = static_cast<double>(elapsed_ns);
  if (requested_hz > 0)
    span_ns = std::max(span_ns, static_cast<double>(cycles) * 1e9 / requested_hz);
  const double hz = span_ns > 0 ? static_cast<double>(cycles) * 1e9 / span_ns : 0;
  char text[48];
  std::snprintf(text, sizeof text, hz > 0 && hz < 1 ? "%.2g" : "%.1f", hz);
  return text;
}

std::string seconds_text(int64_t elapsed_ns) {
  char text[48];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(elapsed_ns) / 1e9);
  return text;
}

std::string drops_text(int64_t send_drops) {
  return send_drops >= 0 ? ", send drops " + std::to_string(send_drops) : "";
}

std::string drops_json(int64_t send_drops) {
  return send_drops >= 0 ? std::to_string(send_drops) : "null";
}

std::string messages_text(int64_t messages_sent) {
  return messages_sent >= 0 ? ", messages sent " + std::to_string(messages_sent) : "";
}

std::string stream_text(const StartFacts& f) {
  const std::string first = std::string(kStreamChannelPrefix) + "0";
  const std::string channels = f.channels == 1 ? first
                                               : first + " (to " + kStreamChannelPrefix +
                                                     std::to_string(f.channels - 1) + ", " +
                                                     std::to_string(f.channels) + " channels)";
  return std::to_string(f.message_bytes) + "-byte messages on " + channels;
}

}  // namespace

std::string start_line(Format format, const StartFacts& f) {
  if (format == Format::kText) {
    const std::string stream =
        f.channels > 0 ? stream_text(f)
                       : std::to_string(f.size.width) + " x " + std::to_string(f.size.height) +
                             " frames (" + std::to_string(f.message_bytes) + " bytes a message)";
    return "varnock-pace: " + stream + " at " + requested_text(f.rate_hz) + " Hz on " + f.url +
           "\n";
  }
  auto line = json_line("start").text("version", kVersion).text("url", f.url);
  if (f.channels > 0) {
    line.integer("channels", f.channels);
  } else {
    line.integer("width", f.size.width).integer("height", f.size.height);
  }
  return line.integer("message_bytes", f.message_bytes)
      .json("rate_hz", json_rate(f.rate_hz))
      .json("seconds", f.seconds > 0 ? std::to_string(f.seconds) : "null")
      .line();
}

std::string second_line(Format format, int64_t second, double requested_hz, int64_t cycles,
                        int64_t elapsed_ns, int64_t send_drops, int64_t messages_sent) {
  if (format == Format::kText) {
    return std::to_string(second) + " rate: requested " + requested_text(requested_hz) +
           " achieved " + achieved_text(cycles, elapsed_ns, requested_hz) +
           messages_text(messages_sent) + drops_text(send_drops) + "\n";
  }
  auto line = json_line("second").integer("second", second).integer("cycles", cycles);
  if (messages_sent >= 0) line.integer("messages_sent", messages_sent);
  return line.json("achieved_hz", achieved_text(cycles, elapsed_ns, requested_hz))
      .json("send_drops", drops_json(send_drops))
      .line();
}

std::string summary_line(Format format, double requested_hz, int64_t cycles, int64_t elapsed_ns,
                         int64_t send_drops, int64_t messages_sent) {
  if (format == Format::kText) {
    return "total: " + std::to_string(cycles) + " cycles in " + seconds_text(elapsed_ns) +
           " s: requested " + requested_text(requested_hz) + " achieved " +
           achieved_text(cycles, elapsed_ns, requested_hz) + messages_text(messages_sent) +
           drops_text(send_drops) + "\n";
  }
  auto line = json_line("summary").integer("cycles", cycles);
  if (messages_sent >= 0) line.integer("messages_sent", messages_sent);
  return line.json("seconds", seconds_text(elapsed_ns))
      .json("rate_hz", json_rate(requested_hz))
      .json("achieved_hz", achieved_text(cycles, elapsed_ns, requested_hz))
      .json("send_drops", drops_json(send_drops))
      .line();
}

}  // namespace varnock::pace
