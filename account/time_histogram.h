// TimePercentiles samples in a fixed amount of memory, whatever their values: a
// log-linear histogram (HDR style) of microseconds, each bucket within 0.2%
// of its values, for negative values (clocks of two hosts apart) as well.
#ifndef VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_
#define VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_

#include <array>
#include <cstdint>
#include <limits>

namespace varnock::account {

// The bounds of the coarse buckets counted beside the fine ones, in
// microseconds, from 50 µs to 10 s: counts in fixed buckets add up across
// seconds and checkers (Prometheus' histograms), where percentiles cannot.
inline constexpr std::array<int32_t, 29> kBucketBoundsUs = {
    50,     100,    150,    200,    300,    500,     750,     1000,    1500,    2000,
    3000,   5000,   7500,   10000,  15000,  20000,   30000,   50000,   75000,   100000,
    150000, 200000, 300000, 500000, 750000, 1000000, 2500000, 5000000, 10000000};

// Samples in the coarse buckets: how many at or below each bound (so the
// last bound's count is below `count` by those above every bound), all of
// them, and their sum.
struct TimeBuckets {
  std::array<int64_t, kBucketBoundsUs.size()> at_or_below{};
  int64_t count = 0;
  int64_t sum_us = 0;  // saturating
};

// Percentiles in milliseconds, NaN when there was no sample, and the
// samples in the coarse buckets.
struct TimePercentiles {
  double p50 = std::numeric_limits<double>::quiet_NaN();
  double p99 = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
  TimeBuckets buckets;
};

class TimeHistogram {
 public:
  void add(int64_t us);
  // p50 and p99 are the middle of the bucket of the sample of nearest rank,
  // kept within the smallest and largest sample; max is exact; the coarse
  // buckets are exact.
  TimePercentiles summary() const;
  int64_t count() const { return count_; }

 private:
  static constexpr int kSubBits = 8;  // 256 buckets per power of two
  static constexpr int kSub = 1 << kSubBits;
  static constexpr int kPerSign = (64 - kSubBits + 1) * kSub;  // bucket_of(UINT64_MAX) + 1

  static int bucket_of(uint64_t magnitude);
  static double middle_of(int bucket);
  double value_at_rank(int64_t rank) const;

  // [0, kPerSign): negative samples, largest magnitude first; then
  // non-negative ones, smallest first, so that the index follows the value.
  std::array<uint32_t, 2 * kPerSign> buckets_{};
  // Samples in each coarse bucket (not cumulative), the last for those
  // above every bound.
  std::array<int64_t, kBucketBoundsUs.size() + 1> coarse_{};
  int64_t sum_us_ = 0;
  int64_t count_ = 0;
  int64_t min_ = std::numeric_limits<int64_t>::max();
  int64_t max_ = std::numeric_limits<int64_t>::min();
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_
