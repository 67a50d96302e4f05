#include "check/checker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "check/validate.h"

namespace varnock::check {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kBucketMs = 0.01;
constexpr double kRangeMs = 1'000;  // samples within +-1 s go into buckets
constexpr auto kBuckets = static_cast<size_t>(2 * kRangeMs / kBucketMs);

// The q-quantile of `v` (nearest rank); reorders `v`.
double quantile(std::vector<double>& v, double q) {
  if (v.empty()) return kNaN;
  const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  const size_t k = std::min(v.size() - 1, rank == 0 ? 0 : rank - 1);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

Counts minus(const Counts& a, const Counts& b) {
  return {a.status_records - b.status_records,
          a.frames - b.frames,
          a.lost - b.lost,
          a.corrupt - b.corrupt,
          a.duplicates - b.duplicates,
          a.late - b.late,
          a.restarts - b.restarts,
          a.unsequenced - b.unsequenced,
          a.bytes - b.bytes};
}

}  // namespace

Checker::Histogram::Histogram()
    : buckets_(kBuckets), max_(-std::numeric_limits<double>::infinity()) {}

void Checker::Histogram::add(double ms) {
  ++count_;
  max_ = std::max(max_, ms);
  if (ms >= -kRangeMs && ms < kRangeMs) {
    ++buckets_[static_cast<size_t>((ms + kRangeMs) / kBucketMs)];
  } else {
    outside_.push_back(ms);
  }
}

Latency Checker::Histogram::summary() const {
  if (count_ == 0) return {kNaN, kNaN, kNaN};
  std::vector<double> below;
  std::vector<double> above;
  for (double ms : outside_) (ms < 0 ? below : above).push_back(ms);
  std::sort(below.begin(), below.end());
  std::sort(above.begin(), above.end());
  // Walks below, then the buckets (each read as its upper edge), then above,
  // to the sample of nearest rank.
  auto at_rank = [&](int64_t rank) {
    if (rank < static_cast<int64_t>(below.size())) return below[static_cast<size_t>(rank)];
    int64_t seen = static_cast<int64_t>(below.size());
    for (size_t b = 0; b < buckets_.size(); ++b) {
      seen += buckets_[b];
      if (rank < seen) return static_cast<double>(b + 1) * kBucketMs - kRangeMs;
    }
    return above[static_cast<size_t>(rank - seen)];
  };
  auto rank_of = [&](double q) {
    const auto r = static_cast<int64_t>(std::ceil(q * static_cast<double>(count_)));
    return std::min(count_ - 1, std::max<int64_t>(r - 1, 0));
  };
  return {std::min(at_rank(rank_of(0.5)), max_), std::min(at_rank(rank_of(0.99)), max_), max_};
}

std::string_view Checker::on_status(std::span<const uint8_t> message, int64_t /*recv_utime*/) {
  totals_.bytes += static_cast<int64_t>(message.size());
  const StatusVerdict v = validate_status(message);
  if (v.valid()) {
    ++totals_.status_records;
  } else {
    ++totals_.corrupt;
  }
  return v.problem;
}

std::string_view Checker::on_frame(std::span<const uint8_t> message, int64_t recv_utime) {
  totals_.bytes += static_cast<int64_t>(message.size());
  const FrameVerdict v = frames_.validate(message);
  if (!v.valid()) {
    ++totals_.corrupt;
    return v.problem;
  }
  ++totals_.frames;
  if (v.period < 0) {
    ++totals_.unsequenced;
  } else {
    sequence_.add(v.period, v.timestamp_ms);
  }
  const double latency_ms = static_cast<double>(recv_utime - v.timestamp_ms * 1000) / 1000.0;
  second_latencies_.push_back(latency_ms);
  run_latencies_.add(latency_ms);
  return {};
}

Counts Checker::totals() const {
  Counts c = totals_;
  c.lost = sequence_.lost();
  c.duplicates = sequence_.duplicates();
  c.late = sequence_.late();
  c.restarts = sequence_.restarts();
  return c;
}

Latency Checker::latency() const { return run_latencies_.summary(); }

SecondReport Checker::end_second(int64_t second) {
  const Counts now = totals();
  SecondReport r{second, minus(now, last_), {kNaN, kNaN, kNaN}};
  if (!second_latencies_.empty()) {
    r.latency.p50 = quantile(second_latencies_, 0.5);
    r.latency.p99 = quantile(second_latencies_, 0.99);
    r.latency.max = *std::max_element(second_latencies_.begin(), second_latencies_.end());
  }
  second_latencies_.clear();
  last_ = now;
  return r;
}

}  // namespace varnock::check
