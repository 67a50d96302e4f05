#include "account/time_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/saturating.h"

namespace varnock::account {

int TimeHistogram::bucket_of(uint64_t m) {
  // Below kSub every value has a bucket of its own; above, each power of two
  // is split into kSub equal parts.
  if (m < kSub) return static_cast<int>(m);
  // m >> exponent is in [kSub, 2 kSub).
  const int exponent = static_cast<int>(std::bit_width(m)) - kSubBits - 1;
  const auto mantissa = static_cast<int>((m >> exponent) - kSub);
  return (exponent + 1) * kSub + mantissa;
}

double TimeHistogram::middle_of(int bucket) {
  if (bucket < kSub) return bucket;
  const int exponent = bucket / kSub - 1;
  const double low = std::ldexp(kSub + bucket % kSub, exponent);
  return low + (std::ldexp(1.0, exponent) - 1) / 2;
}

void TimeHistogram::add(int64_t us) {
  ++count_;
  min_ = std::min(min_, us);
  max_ = std::max(max_, us);
  // The magnitude of INT64_MIN does not fit an int64_t; it does a uint64_t.
  const int bucket = us < 0 ? kPerSign - 1 - bucket_of(0 - static_cast<uint64_t>(us))
                            : kPerSign + bucket_of(static_cast<uint64_t>(us));
  ++buckets_[static_cast<size_t>(bucket)];
  const auto* coarse = std::lower_bound(kBucketBoundsUs.begin(), kBucketBoundsUs.end(), us,
                                        [](int32_t bound, int64_t v) { return bound < v; });
  ++coarse_[static_cast<size_t>(coarse - kBucketBoundsUs.begin())];
  sum_us_ = saturating_add(sum_us_, us);
}

double TimeHistogram::value_at_rank(int64_t rank) const {
  int64_t seen = 0;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (rank < seen) {
      const int b = static_cast<int>(i);
      const double v = b < kPerSign ? -middle_of(kPerSign - 1 - b) : middle_of(b - kPerSign);
      return std::clamp(v, static_cast<double>(min_), static_cast<double>(max_));
    }
  }
  return static_cast<double>(max_);
}

TimePercentiles TimeHistogram::summary() const {
  if (count_ == 0) return {};
  auto rank_of = [&](double q) {
    const auto r = static_cast<int64_t>(std::ceil(q * static_cast<double>(count_)));
    return std::clamp<int64_t>(r - 1, 0, count_ - 1);
  };
  TimePercentiles p{value_at_rank(rank_of(0.5)) / 1000.0,
                    value_at_rank(rank_of(0.99)) / 1000.0,
                    static_cast<double>(max_) / 1000.0,
                    {}};
  int64_t below = 0;
  for (size_t i = 0; i < kBucketBoundsUs.size(); ++i) {
    below += coarse_[i];
    p.buckets.at_or_below[i] = below;
  }
  p.buckets.count = count_;
  p.buckets.sum_us = sum_us_;
  return p;
}

}  // namespace varnock::account
