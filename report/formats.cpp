#include "report/formats.h"

#include <cstdio>
#include <vector>

#include "report/fields.h"
#include "report/json_string.h"
#include "varnock/version.h"

namespace varnock::report {
namespace {

using account::SecondReport;
using account::Summary;

std::string format(const char* fmt, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, fmt, v);
  return buffer;
}

std::string n(int64_t v) { return std::to_string(v); }

// The "messages" list: an object per stream channel, each field's value
// `value(field, entry)`.
template <typename Entry, typename ValueOf>
std::string json_entries(std::span<const Entry> entries, ValueOf value) {
  std::string out = "[";
  for (const Entry& c : entries) {
    if (out.size() > 1) out += ',';
    JsonObject entry;
    entry.text("channel", stream_channel_name(c.channel));
    for (const StreamField& f : stream_fields()) entry.json(f.name, json_value(value(f, c)));
    out += entry.str();
  }
  return out + "]";
}

std::string json_messages(const std::vector<account::StreamChannelFigures>& channels) {
  return json_entries(
      std::span(channels),
      [](const StreamField& f, const account::StreamChannelFigures& c) { return f.of(c); });
}

template <typename Record>
std::string json_fields(const char* type, const Record& r, Value (*Field::*of)(const Record&)) {
  JsonObject out = json_line(type);
  for (const Field& f : fields()) {
    if (f.*of != nullptr) out.json(f.name, json_value((f.*of)(r)));
  }
  out.json("messages", json_messages(r.messages));
  return out.line();
}

// Milliseconds as the field table rounds them, "-" without a sample.
std::string stream_ms(double v) { return plain_value(decimal(v, 2), "-"); }

// One line a channel, under a second's line or in the summary.
std::string text_messages(const std::vector<account::StreamChannelFigures>& channels,
                          bool summary) {
  std::string out;
  for (const account::StreamChannelFigures& c : channels) {
    const account::StreamCounts& k = c.counts;
    const account::StreamTimes& t = c.times;
    out += "  " + stream_channel_name(c.channel) + (summary ? " received " : " ") + n(k.received) +
           " lost " + n(k.lost);
    if (k.lost_in_lcm > 0) out += " (in LCM's queue " + n(k.lost_in_lcm) + ")";
    out += " dup " + n(k.duplicates) + " reordered " + n(k.reordered);
    if (k.late > 0) out += " late " + n(k.late);
    if (k.corrupt > 0) out += " corrupt " + n(k.corrupt);
    out += "  latency p50 " + stream_ms(t.latency.p50) + " p99 " + stream_ms(t.latency.p99) +
           " max " + stream_ms(t.latency.max) + " ms, delivery p99 " + stream_ms(t.delivery.p99) +
           " max " + stream_ms(t.delivery.max) + " ms, inter-arrival p99 " +
           stream_ms(t.inter_arrival.p99) + " ms\n";
  }
  return out;
}

// "p50 X max Y" style pieces of the text output.
std::string text_ms(FieldId id, const SecondReport& r) {
  return plain_value(row_value(id, r), "-");
}
std::string text_ms(FieldId id, const Summary& s) { return plain_value(summary_value(id, s), "-"); }

}  // namespace

std::string json_messages(std::span<const check_report_t::Stream> streams) {
  return json_entries(streams, stream_value);
}

std::string json_start(const StartInfo& s) {
  return json_line("start")
      .text("version", kVersion)
      .json("lcm_version", s.lcm_version ? json_string(*s.lcm_version) : "null")
      .text("url", s.url)
      .json("receive_buffer_bytes", s.receive_buffer_bytes ? n(*s.receive_buffer_bytes) : "null")
      .json("seconds", s.seconds > 0 ? n(s.seconds) : "null")
      .json("max_loss_percent", s.max_loss_percent >= 0 ? format("%g", s.max_loss_percent) : "null")
      .integer("min_frames", s.min_frames)
      .json("handler_ms", format("%g", s.handler_ms))
      .json("queue_capacity", s.queue_capacity > 0 ? n(s.queue_capacity) : "null")
      .json("messages_only", s.messages_only ? "true" : "false")
      .line();
}

std::string text_row(const SecondReport& r, bool frames) {
  const account::Counts& c = r.counts;
  std::string row = n(r.second);
  if (r.clock_step_s != 0) row += " (clock stepped " + n(r.clock_step_s) + " s)";
  if (!frames) return row + "\n" + text_messages(r.messages, false);
  row += "  RECSTAT " + n(c.status_records) + "  TFIMAGE " + n(c.frames) + " lost " +
         (r.lost_lower_bound ? "at least " : "") + n(c.lost);
  if (c.lost_estimated > 0) row += " (" + n(c.lost_estimated) + " est.)";
  row += " corrupt " + n(c.corrupt) + " dup " + n(c.duplicates);
  if (c.late > 0) row += " late " + n(c.late);
  if (c.runs > 0) row += " new runs " + n(c.runs);
  if (c.unsequenced > 0) row += " unsequenced " + n(c.unsequenced);
  if (r.kernel_drops_known && c.kernel_drops > 0) {
    row += " (to buffer " + n(c.lost_receive_buffer) + ", kernel drops " + n(c.kernel_drops) + ")";
  }
  return row + "  " + format("%.1f", static_cast<double>(c.bytes) / 1e6) + " MB/s  latency p50 " +
         text_ms(FieldId::kLatencyP50, r) + " max " + text_ms(FieldId::kLatencyMax, r) + " ms\n" +
         text_messages(r.messages, false);
}

std::string json_row(const SecondReport& r) { return json_fields("second", r, &Field::of_row); }

std::string csv_header() {
  std::string out;
  for (const Field& f : fields()) {
    if (f.of_row == nullptr) continue;
    if (!out.empty()) out += ',';
    out += f.name;
  }
  return out + "\n";
}

std::string csv_row(const SecondReport& r) {
  std::string out;
  bool first = true;
  for (const Field& f : fields()) {
    if (f.of_row == nullptr) continue;
    if (!first) out += ',';
    first = false;
    out += plain_value(f.of_row(r), "");
  }
  return out + "\n";
}

std::string text_summary(const Summary& s, bool frames) {
  const account::Counts& c = s.totals;
  std::string out = "summary: " + format("%.1f", s.seconds) + " s\n";
  if (!frames) return out + "  streams (per channel):\n" + text_messages(s.messages, true);
  out += "  RECSTAT received " + n(c.status_records) + "\n";
  out += "  TFIMAGE received " + n(c.frames) + ", lost " + n(c.lost);
  if (c.lost_estimated > 0) {
    out +=
        " (" + n(c.lost_estimated) + " of them estimated: status records that no frame followed)";
  }
  if (s.lost_lower_bound) {
    out +=
        " at least: frames without a sequence number are missed only when their status "
        "record came";
  }
  out += ", duplicates " + n(c.duplicates) + ", late " + n(c.late) + ", without sequence number " +
         n(c.unsequenced) + "\n";
  if (s.kernel_drops_known && !s.network_known) {
    out += "  lost to a full receive buffer " + n(c.lost_receive_buffer) + " (the kernel dropped " +
           n(c.kernel_drops) + " datagrams for the socket), lost elsewhere " + n(c.lost_other) +
           " (on the network or inside LCM)\n";
  } else if (s.network_known) {
    out += "  lost";
    if (s.kernel_drops_known) {
      out += " to a full receive buffer " + n(c.lost_receive_buffer) + " (the kernel dropped " +
             n(c.kernel_drops) + " datagrams for the socket),";
    }
    out += " to IP reassembly memory " + n(c.lost_reassembly_memory) +
           ", to fragments lost on the way " + n(c.lost_fragments) + ", inside LCM " +
           n(c.lost_in_lcm) + ", to bad checksums " + n(c.lost_checksum) + ", elsewhere " +
           n(c.lost_other) + " (whole datagrams that never came)\n";
  }
  out += "  publisher runs " + n(c.runs);
  for (size_t i = 0; i < s.runs.size(); ++i) {
    out += (i == 0 ? ": periods " : ", ") + n(s.runs[i].first) + " to " + n(s.runs[i].last);
  }
  if (c.runs > std::ssize(s.runs)) out += ", ...";
  out += "\n  corrupt messages " + n(c.corrupt) + "\n";
  if (c.duplicates > 0) {
    // No receiver can tell a repeated datagram from a second publisher
    // sending the very same frame: say so rather than guess.
    out += "  " + n(c.duplicates) +
           " frames came more than once: a network that repeats datagrams, or publishers in "
           "lockstep (one clock, one frame size, started in the same millisecond), which no "
           "receiver can tell apart\n";
  }
  auto times = [&s](const char* name, FieldId p50, FieldId p99, FieldId max) {
    return std::string("  ") + name + " ms: p50 " + text_ms(p50, s) + ", p99 " + text_ms(p99, s) +
           ", max " + text_ms(max, s) + "\n";
  };
  out += times("latency", FieldId::kLatencyP50, FieldId::kLatencyP99, FieldId::kLatencyMax);
  out += times("inter-arrival", FieldId::kInterArrivalP50, FieldId::kInterArrivalP99,
               FieldId::kInterArrivalMax);
  out += times("delivery", FieldId::kDeliveryP50, FieldId::kDeliveryP99, FieldId::kDeliveryMax);
  if (!s.messages.empty()) out += "  streams (per channel):\n" + text_messages(s.messages, true);
  return out;
}

std::string json_summary(const Summary& s) { return json_fields("summary", s, &Field::of_summary); }

}  // namespace varnock::report
