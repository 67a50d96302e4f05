#include "check/report.h"

#include <cmath>
#include <cstdio>

#include "varnock/version.h"

namespace varnock::check {
namespace {

std::string format(const char* fmt, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, fmt, v);
  return buffer;
}

// Milliseconds with two decimals; `none` when there was no sample.
std::string ms(double v, const char* none) { return std::isnan(v) ? none : format("%.2f", v); }

std::string megabytes(int64_t bytes) { return format("%.3f", static_cast<double>(bytes) / 1e6); }

std::string n(int64_t v) { return std::to_string(v); }

// The counts as "name":value pairs, in the order of the CSV columns.
std::string json_counts(const Counts& c) {
  return "\"status_records\":" + n(c.status_records) + ",\"frames\":" + n(c.frames) +
         ",\"lost\":" + n(c.lost) + ",\"lost_estimated\":" + n(c.lost_estimated) +
         ",\"corrupt\":" + n(c.corrupt) + ",\"duplicates\":" + n(c.duplicates) +
         ",\"late\":" + n(c.late) + ",\"runs\":" + n(c.runs) +
         ",\"unsequenced\":" + n(c.unsequenced);
}

// ,"NAME_p50":..,"NAME_p99":..,"NAME_max":.. in milliseconds.
std::string json_times(const char* name, const Latency& l) {
  const std::string n = std::string(",\"") + name;
  return n + "_p50\":" + ms(l.p50, "null") + n + "_p99\":" + ms(l.p99, "null") + n +
         "_max\":" + ms(l.max, "null");
}

std::string json_latency(const Latency& latency, const ReceiveTimes& t) {
  return json_times("latency_ms", latency) + json_times("inter_arrival_ms", t.inter_arrival) +
         json_times("delivery_ms", t.delivery);
}

// The loss by cause: null where the kernel's count of drops is unknown.
std::string json_causes(const Counts& c, bool known) {
  auto v = [known](int64_t x) { return known ? std::to_string(x) : std::string("null"); };
  return ",\"kernel_drops\":" + v(c.kernel_drops) +
         ",\"lost_receive_buffer\":" + v(c.lost_receive_buffer) +
         ",\"lost_other\":" + v(c.lost_other);
}

std::string csv_times(const Latency& l) {
  std::string out;
  for (const double v : {l.p50, l.p99, l.max}) {
    out += ',';
    out += ms(v, "");
  }
  return out;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto u = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (u < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string json_start(const StartInfo& s) {
  return "{\"type\":\"start\",\"version\":" + json_string(kVersion) +
         ",\"url\":" + json_string(s.url) + ",\"receive_buffer_bytes\":" +
         (s.receive_buffer_bytes ? n(*s.receive_buffer_bytes) : "null") +
         ",\"seconds\":" + (s.seconds > 0 ? n(s.seconds) : "null") + ",\"max_loss_percent\":" +
         (s.max_loss_percent >= 0 ? format("%g", s.max_loss_percent) : "null") +
         ",\"min_frames\":" + n(s.min_frames) + ",\"handler_ms\":" + format("%g", s.handler_ms) +
         "}\n";
}

std::string text_row(const SecondReport& r) {
  const Counts& c = r.counts;
  std::string row = n(r.second);
  if (r.clock_step_s != 0) row += " (clock stepped " + n(r.clock_step_s) + " s)";
  row += "  RECSTAT " + n(c.status_records) + "  TFIMAGE " + n(c.frames) + " lost " + n(c.lost);
  if (c.lost_estimated > 0) row += " (" + n(c.lost_estimated) + " est.)";
  row += " corrupt " + n(c.corrupt) + " dup " + n(c.duplicates);
  if (c.late > 0) row += " late " + n(c.late);
  if (c.runs > 0) row += " new runs " + n(c.runs);
  if (c.unsequenced > 0) row += " unsequenced " + n(c.unsequenced);
  if (r.kernel_drops_known && c.kernel_drops > 0) {
    row += " (to buffer " + n(c.lost_receive_buffer) + ", kernel drops " + n(c.kernel_drops) + ")";
  }
  return row + "  " + format("%.1f", static_cast<double>(c.bytes) / 1e6) + " MB/s  latency p50 " +
         ms(r.latency.p50, "-") + " max " + ms(r.latency.max, "-") + " ms\n";
}

std::string json_row(const SecondReport& r) {
  return "{\"type\":\"second\",\"second\":" + n(r.second) +
         ",\"clock_step_s\":" + n(r.clock_step_s) + "," + json_counts(r.counts) +
         json_causes(r.counts, r.kernel_drops_known) +
         ",\"mb_per_s\":" + megabytes(r.counts.bytes) + json_latency(r.latency, r.times) + "}\n";
}

std::string csv_header() {
  return "second,clock_step_s,status_records,frames,lost,lost_estimated,corrupt,duplicates,late,"
         "runs,unsequenced,kernel_drops,lost_receive_buffer,lost_other,mb_per_s,"
         "latency_ms_p50,latency_ms_p99,latency_ms_max,inter_arrival_ms_p50,inter_arrival_ms_p99,"
         "inter_arrival_ms_max,delivery_ms_p50,delivery_ms_p99,delivery_ms_max\n";
}

std::string csv_row(const SecondReport& r) {
  const Counts& c = r.counts;
  auto cause = [&r](int64_t v) { return r.kernel_drops_known ? n(v) : std::string(); };
  return n(r.second) + "," + n(r.clock_step_s) + "," + n(c.status_records) + "," + n(c.frames) +
         "," + n(c.lost) + "," + n(c.lost_estimated) + "," + n(c.corrupt) + "," + n(c.duplicates) +
         "," + n(c.late) + "," + n(c.runs) + "," + n(c.unsequenced) + "," + cause(c.kernel_drops) +
         "," + cause(c.lost_receive_buffer) + "," + cause(c.lost_other) + "," + megabytes(c.bytes) +
         csv_times(r.latency) + csv_times(r.times.inter_arrival) + csv_times(r.times.delivery) +
         "\n";
}

std::string text_summary(const Summary& s) {
  const Counts& c = s.totals;
  std::string out = "summary: " + format("%.1f", s.seconds) + " s\n";
  out += "  RECSTAT received " + n(c.status_records) + "\n";
  out += "  TFIMAGE received " + n(c.frames) + ", lost " + n(c.lost);
  if (c.lost_estimated > 0) {
    out +=
        " (" + n(c.lost_estimated) + " of them estimated: status records that no frame followed)";
  }
  out += ", duplicates " + n(c.duplicates) + ", late " + n(c.late) + ", without sequence number " +
         n(c.unsequenced) + "\n";
  if (s.kernel_drops_known) {
    out += "  lost to a full receive buffer " + n(c.lost_receive_buffer) + " (the kernel dropped " +
           n(c.kernel_drops) + " datagrams for the socket), lost elsewhere " + n(c.lost_other) +
           " (on the network or inside LCM)\n";
  }
  out += "  publisher runs " + n(c.runs);
  for (size_t i = 0; i < s.runs.size(); ++i) {
    out += (i == 0 ? ": periods " : ", ") + n(s.runs[i].first) + " to " + n(s.runs[i].last);
  }
  if (c.runs > std::ssize(s.runs)) out += ", ...";
  out += "\n  corrupt messages " + n(c.corrupt) + "\n";
  auto times = [](const char* name, const Latency& l) {
    return std::string("  ") + name + " ms: p50 " + ms(l.p50, "-") + ", p99 " + ms(l.p99, "-") +
           ", max " + ms(l.max, "-") + "\n";
  };
  out += times("latency", s.latency);
  out += times("inter-arrival", s.times.inter_arrival);
  out += times("delivery", s.times.delivery);
  return out;
}

std::string json_summary(const Summary& s) {
  std::string runs;
  for (const RunTracker::Span& r : s.runs) {
    runs += (runs.empty() ? "[" : ",[") + n(r.first) + "," + n(r.last) + "]";
  }
  return "{\"type\":\"summary\",\"seconds\":" + format("%.3f", s.seconds) + "," +
         json_counts(s.totals) + json_causes(s.totals, s.kernel_drops_known) +
         ",\"run_periods\":[" + runs + "],\"bytes\":" + n(s.totals.bytes) +
         json_latency(s.latency, s.times) + "}\n";
}

}  // namespace varnock::check
