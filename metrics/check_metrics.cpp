#include "metrics/check_metrics.h"

#include <algorithm>
#include <string>

#include "base/saturating.h"
#include "report/fields.h"
#include "report/share.h"

namespace varnock::metrics {
namespace {

using report::FieldId;
using R = check_report_t;

// The counters, each one field of the table.
struct Counter {
  FieldId field;
  const char* name;
  const char* help;
};

constexpr Counter kCounters[] = {
    {FieldId::kFrames, "varnock_check_frames_received_total",
     "Valid frames (TFIMAGE) received, duplicates included."},
    {FieldId::kLostEstimated, "varnock_check_frames_lost_estimated_total",
     "Of the frames lost, those counted from status records alone."},
    {FieldId::kStatusRecords, "varnock_check_status_records_received_total",
     "Valid status records (RECSTAT) received."},
    {FieldId::kCorrupt, "varnock_check_corrupt_messages_total",
     "Messages of either channel that failed validation."},
    {FieldId::kDuplicates, "varnock_check_duplicate_frames_total",
     "Frames received more than once."},
    {FieldId::kLate, "varnock_check_late_frames_total",
     "Frames received after a later frame of their publisher run."},
    {FieldId::kRuns, "varnock_check_publisher_runs_total", "Publisher runs begun."},
    {FieldId::kBytes, "varnock_check_received_bytes_total", "Bytes of every message received."},
    {FieldId::kKernelDrops, "varnock_check_kernel_drops_total",
     "Datagrams the kernel dropped for the receiving socket."},
    {FieldId::kSendDrops, "varnock_check_send_drops_total",
     "Datagrams the checker's host dropped of what it sent."},
};

struct Time {
  const char* name;
  const char* help;
  R::Histogram R::*histogram;
};

constexpr Time kTimes[] = {
    {"varnock_check_latency_seconds",
     "Frame latency: LCM's receive time minus the frame's stamp (two hosts' clocks).", &R::latency},
    {"varnock_check_delivery_seconds",
     "From a status record to the frame that follows it, on this host's clock.", &R::delivery},
    {"varnock_check_inter_arrival_seconds", "From one frame to the next, on this host's clock.",
     &R::inter_arrival},
    {"varnock_check_lcm_queue_seconds",
     "From LCM's receive time to the handler's start: the wait in LCM's queue.", &R::lcm_queue},
};

const report::Field& field(FieldId id) {
  for (const report::Field& f : report::fields()) {
    if (f.id == id) return f;
  }
  return report::fields().front();  // every counter's field is in the table
}

// The lost frames a known cause does not explain: `lost_other` where it is
// known, else the loss less every cause known.
int64_t unexplained(const R& r) {
  if (r.lost_other >= 0) return r.lost_other;
  int64_t explained = 0;
  for (const report::Field* f : report::shared_fields()) {
    if (f->cause != nullptr && f->count != &R::lost_other && r.*f->count > 0) {
      explained = saturating_add(explained, r.*f->count);
    }
  }
  return std::max<int64_t>(0, saturating_sub(r.lost, explained));
}

void add_histogram(Exposition& out, const Time& time, std::span<const CheckerSeries> checkers) {
  out.family(time.name, "histogram", time.help);
  const std::string bucket = std::string(time.name) + "_bucket";
  const std::string sum = std::string(time.name) + "_sum";
  const std::string count = std::string(time.name) + "_count";
  for (const CheckerSeries& c : checkers) {
    const R& r = *c.run;
    const R::Histogram& h = r.*time.histogram;
    // Reports of other bounds than each other's have none.
    if (r.bucket_le_us.empty() || h.le.size() != r.bucket_le_us.size()) continue;
    for (size_t i = 0; i < h.le.size(); ++i) {
      const std::string le = seconds_text(r.bucket_le_us[i]);
      out.sample(bucket, {{"checker", c.label}, {"le", le}}, h.le[i]);
    }
    out.sample(bucket, {{"checker", c.label}, {"le", "+Inf"}}, h.count);
    out.sample(sum, {{"checker", c.label}}, static_cast<double>(h.sum_us) / 1e6);
    out.sample(count, {{"checker", c.label}}, h.count);
  }
}

}  // namespace

std::string checker_label(std::string_view name, std::string_view host, int32_t pid) {
  if (name == report::default_reporter_name(std::string(host), pid)) return std::string(host);
  return std::string(name);
}

void add_check_families(Exposition& out, std::span<const CheckerSeries> checkers) {
  out.family("varnock_check_info", "gauge",
             "A checker: its release, the bus it listens to and the LCM library it runs.");
  for (const CheckerSeries& c : checkers) {
    out.sample("varnock_check_info",
               {{"checker", c.label},
                {"version", c.version},
                {"url", c.url},
                {"lcm_version", c.lcm_version}},
               int64_t{1});
  }
  out.family("varnock_check_last_report_timestamp_seconds", "gauge",
             "When the checker's latest second settled (or its report came), seconds since 1970.");
  for (const CheckerSeries& c : checkers) {
    out.sample("varnock_check_last_report_timestamp_seconds", {{"checker", c.label}},
               c.last_report_s);
  }
  out.family("varnock_check_frames_lost_total", "counter",
             "Frames never received whole, by cause; \"other\" holds what no known cause "
             "explains.");
  for (const CheckerSeries& c : checkers) {
    for (const report::Field* f : report::shared_fields()) {
      if (f->cause == nullptr) continue;
      const int64_t n = f->count == &R::lost_other ? unexplained(*c.run) : c.run->*f->count;
      if (n >= 0) {
        out.sample("varnock_check_frames_lost_total", {{"checker", c.label}, {"cause", f->cause}},
                   n);
      }
    }
  }
  for (const Counter& counter : kCounters) {
    out.family(counter.name, "counter", counter.help);
    const report::Field& f = field(counter.field);
    for (const CheckerSeries& c : checkers) {
      const report::Value v = report::report_value(f, *c.run);
      if (v.kind == report::Value::kInteger) {
        out.sample(counter.name, {{"checker", c.label}}, v.integer);
      }
    }
  }
  // The streams' counts, a series per checker and channel; their times
  // have no buckets to add up, so no histogram.
  for (const report::StreamField& f : report::stream_fields()) {
    if (f.metric == nullptr || f.count == nullptr) continue;
    out.family(f.metric, "counter", f.help);
    for (const CheckerSeries& c : checkers) {
      for (const R::Stream& s : c.run->streams) {
        const std::string channel = report::stream_channel_name(s.channel);
        out.sample(f.metric, {{"checker", c.label}, {"channel", channel}}, s.*f.count);
      }
    }
  }
  for (const Time& time : kTimes) add_histogram(out, time, checkers);
}

}  // namespace varnock::metrics
