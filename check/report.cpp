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

std::string json_latency(const Latency& l) {
  return ",\"latency_ms_p50\":" + ms(l.p50, "null") + ",\"latency_ms_p99\":" + ms(l.p99, "null") +
         ",\"latency_ms_max\":" + ms(l.max, "null");
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
         ",\"url\":" + json_string(s.url) +
         ",\"seconds\":" + (s.seconds > 0 ? n(s.seconds) : "null") + "}\n";
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
  return row + "  " + format("%.1f", static_cast<double>(c.bytes) / 1e6) + " MB/s  latency p50 " +
         ms(r.latency.p50, "-") + " max " + ms(r.latency.max, "-") + " ms\n";
}

std::string json_row(const SecondReport& r) {
  return "{\"type\":\"second\",\"second\":" + n(r.second) +
         ",\"clock_step_s\":" + n(r.clock_step_s) + "," + json_counts(r.counts) +
         ",\"mb_per_s\":" + megabytes(r.counts.bytes) + json_latency(r.latency) + "}\n";
}

std::string csv_header() {
  return "second,clock_step_s,status_records,frames,lost,lost_estimated,corrupt,duplicates,late,"
         "runs,unsequenced,mb_per_s,latency_ms_p50,latency_ms_p99,latency_ms_max\n";
}

std::string csv_row(const SecondReport& r) {
  const Counts& c = r.counts;
  return n(r.second) + "," + n(r.clock_step_s) + "," + n(c.status_records) + "," + n(c.frames) +
         "," + n(c.lost) + "," + n(c.lost_estimated) + "," + n(c.corrupt) + "," + n(c.duplicates) +
         "," + n(c.late) + "," + n(c.runs) + "," + n(c.unsequenced) + "," + megabytes(c.bytes) +
         "," + ms(r.latency.p50, "") + "," + ms(r.latency.p99, "") + "," + ms(r.latency.max, "") +
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
  out += "  publisher runs " + n(c.runs);
  for (size_t i = 0; i < s.runs.size(); ++i) {
    out += (i == 0 ? ": periods " : ", ") + n(s.runs[i].first) + " to " + n(s.runs[i].last);
  }
  if (c.runs > std::ssize(s.runs)) out += ", ...";
  out += "\n  corrupt messages " + n(c.corrupt) + "\n";
  out += "  latency ms: p50 " + ms(s.latency.p50, "-") + ", p99 " + ms(s.latency.p99, "-") +
         ", max " + ms(s.latency.max, "-") + "\n";
  return out;
}

std::string json_summary(const Summary& s) {
  std::string runs;
  for (const RunTracker::Span& r : s.runs) {
    runs += (runs.empty() ? "[" : ",[") + n(r.first) + "," + n(r.last) + "]";
  }
  return "{\"type\":\"summary\",\"seconds\":" + format("%.3f", s.seconds) + "," +
         json_counts(s.totals) + ",\"run_periods\":[" + runs + "],\"bytes\":" + n(s.totals.bytes) +
         json_latency(s.latency) + "}\n";
}

}  // namespace varnock::check
