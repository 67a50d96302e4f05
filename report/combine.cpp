#include "report/combine.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "base/saturating.h"
#include "report/fields.h"

namespace varnock::report {
namespace {

using R = check_report_t;

void add(R::Histogram& sum, const R::Histogram& h) {
  for (size_t i = 0; i < sum.le.size(); ++i) sum.le[i] = saturating_add(sum.le[i], h.le[i]);
  sum.count = saturating_add(sum.count, h.count);
  sum.sum_us = saturating_add(sum.sum_us, h.sum_us);
}

// Buckets of other bounds cannot be added: a record of other bounds than
// the first's leaves the combination without histograms.
void combine_histograms(std::span<const R> records, R* out) {
  if (records.empty()) return;
  const std::vector<int32_t>& bounds = records.front().bucket_le_us;
  const bool alike = std::all_of(records.begin(), records.end(), [&bounds](const R& r) {
    return r.bucket_le_us == bounds && r.latency.le.size() == bounds.size() &&
           r.inter_arrival.le.size() == bounds.size() && r.delivery.le.size() == bounds.size() &&
           r.lcm_queue.le.size() == bounds.size();
  });
  if (!alike) return;
  out->bucket_le_us = bounds;
  for (R::Histogram R::*h : {&R::latency, &R::inter_arrival, &R::delivery, &R::lcm_queue}) {
    (out->*h).le.assign(bounds.size(), 0);
    for (const R& r : records) add(out->*h, r.*h);
  }
}

// Per channel, the counts summed and the times as the table combines them
// (p99 and max the largest known, p50 unknown). By channel number, each once.
void combine_streams(std::span<const R> records, R* out) {
  std::map<int, R::Stream> by_channel;
  for (const R& r : records) {
    for (const R::Stream& s : r.streams) {
      auto [at, added] = by_channel.try_emplace(s.channel);
      R::Stream& sum = at->second;
      if (added) sum.channel = s.channel;
      for (const report::StreamField& f : report::stream_fields()) {
        if (f.count != nullptr) sum.*f.count = saturating_add(sum.*f.count, s.*f.count);
        // A new entry's times are NaN: fmax keeps the known one.
        if (f.combine == report::Combine::kLargest) {
          sum.*f.decimal = std::fmax(sum.*f.decimal, s.*f.decimal);
        }
      }
    }
  }
  for (const auto& [channel, sum] : by_channel) out->streams.push_back(sum);
}

}  // namespace

R combine(std::span<const R> records) {
  R out;
  out.kind = R::kKindSummary;
  out.seconds = 0;
  for (const report::Field* f : report::shared_fields()) {
    if (f->count != nullptr) out.*f->count = 0;
  }
  bool first = true;
  for (const R& r : records) {
    out.second = first ? r.second : std::max(out.second, r.second);
    out.utime = first ? r.utime : std::max(out.utime, r.utime);
    first = false;
    out.seconds += r.seconds;
    for (const report::Field* f : report::shared_fields()) {
      if (f->combine == report::Combine::kSum) {
        int64_t& sum = out.*f->count;
        sum = (sum < 0 || r.*f->count < 0) ? -1 : saturating_add(sum, r.*f->count);
      } else if (f->combine == report::Combine::kAny) {
        out.*f->flag = out.*f->flag || r.*f->flag;
      } else if (f->combine == report::Combine::kLargest) {
        // fmax keeps the known one of a known and a NaN.
        out.*f->decimal = std::fmax(out.*f->decimal, r.*f->decimal);
      }
    }
  }
  combine_histograms(records, &out);
  combine_streams(records, &out);
  return out;
}

}  // namespace varnock::report
