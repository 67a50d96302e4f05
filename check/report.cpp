#include "check/report.h"

#include <cmath>
#include <cstdio>

namespace varnock::check {
namespace {

std::string format(const char* fmt, double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, fmt, v);
  return buffer;
}

// Milliseconds with two decimals; `none` when there was no sample.
std::string ms(double v, const char* none) { return std::isnan(v) ? none : format("%.2f", v); }

double megabytes(int64_t bytes) { return static_cast<double>(bytes) / 1e6; }

std::string json_counts(const Counts& c) {
  return "\"status_records\":" + std::to_string(c.status_records) +
         ",\"frames\":" + std::to_string(c.frames) + ",\"lost\":" + std::to_string(c.lost) +
         ",\"corrupt\":" + std::to_string(c.corrupt) +
         ",\"duplicates\":" + std::to_string(c.duplicates) + ",\"late\":" + std::to_string(c.late) +
         ",\"restarts\":" + std::to_string(c.restarts) +
         ",\"unsequenced\":" + std::to_string(c.unsequenced);
}

}  // namespace

std::string text_row(const SecondReport& r) {
  const Counts& c = r.counts;
  return std::to_string(r.second) + "  RECSTAT " + std::to_string(c.status_records) + "  TFIMAGE " +
         std::to_string(c.frames) + " lost " + std::to_string(c.lost) + " corrupt " +
         std::to_string(c.corrupt) + " dup " + std::to_string(c.duplicates) + "  " +
         format("%.1f", megabytes(c.bytes)) + " MB/s  latency p50 " + ms(r.latency.p50, "-") +
         " max " + ms(r.latency.max, "-") + " ms\n";
}

std::string json_row(const SecondReport& r) {
  return "{\"second\":" + std::to_string(r.second) + "," + json_counts(r.counts) +
         ",\"mb_per_s\":" + format("%.3f", megabytes(r.counts.bytes)) +
         ",\"latency_ms_p50\":" + ms(r.latency.p50, "null") +
         ",\"latency_ms_max\":" + ms(r.latency.max, "null") + "}\n";
}

std::string csv_header() {
  return "second,status_records,frames,lost,corrupt,duplicates,late,mb_per_s,latency_ms_p50,"
         "latency_ms_max\n";
}

std::string csv_row(const SecondReport& r) {
  const Counts& c = r.counts;
  return std::to_string(r.second) + "," + std::to_string(c.status_records) + "," +
         std::to_string(c.frames) + "," + std::to_string(c.lost) + "," + std::to_string(c.corrupt) +
         "," + std::to_string(c.duplicates) + "," + std::to_string(c.late) + "," +
         format("%.3f", megabytes(c.bytes)) + "," + ms(r.latency.p50, "") + "," +
         ms(r.latency.max, "") + "\n";
}

std::string text_summary(const Checker& checker, double seconds) {
  const Counts c = checker.totals();
  const Latency l = checker.latency();
  const SequenceTracker& seq = checker.sequence();
  return "summary: " + format("%.1f", seconds) + " s\n" + "  RECSTAT received " +
         std::to_string(c.status_records) + "\n" + "  TFIMAGE received " +
         std::to_string(c.frames) + ", lost " + std::to_string(c.lost) + ", duplicates " +
         std::to_string(c.duplicates) + ", late " + std::to_string(c.late) +
         ", publisher restarts " + std::to_string(c.restarts) + ", without sequence number " +
         std::to_string(c.unsequenced) + "\n" + "  periods of the latest run " +
         std::to_string(seq.run_first()) + " to " + std::to_string(seq.run_last()) + "\n" +
         "  corrupt messages " + std::to_string(c.corrupt) + "\n" + "  latency ms: p50 " +
         ms(l.p50, "-") + ", p99 " + ms(l.p99, "-") + ", max " + ms(l.max, "-") + "\n";
}

std::string json_summary(const Checker& checker, double seconds) {
  const Counts c = checker.totals();
  const Latency l = checker.latency();
  const SequenceTracker& seq = checker.sequence();
  return "{\"summary\":true,\"seconds\":" + format("%.3f", seconds) + "," + json_counts(c) +
         ",\"first_period\":" + std::to_string(seq.run_first()) +
         ",\"last_period\":" + std::to_string(seq.run_last()) +
         ",\"bytes\":" + std::to_string(c.bytes) + ",\"latency_ms_p50\":" + ms(l.p50, "null") +
         ",\"latency_ms_p99\":" + ms(l.p99, "null") + ",\"latency_ms_max\":" + ms(l.max, "null") +
         "}\n";
}

}  // namespace varnock::check
