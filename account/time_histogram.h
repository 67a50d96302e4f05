// TimePercentiles samples in a fixed amount of memory, whatever their values: a
// log-linear histogram (HDR style) of microseconds, each bucket within 0.2%
// of its values, for negative values (clocks of two hosts apart) as well.
#ifndef VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_
#define VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_

#include <array>
#include <cstdint>
#include <limits>

namespace varnock::account {

// Percentiles in milliseconds; NaN when there was no sample.
struct TimePercentiles {
  double p50 = std::numeric_limits<double>::quiet_NaN();
  double p99 = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
};

class TimeHistogram {
 public:
  void add(int64_t us);
  // p50 and p99 are the middle of the bucket of the sample of nearest rank,
  // kept within the smallest and largest sample; max is exact.
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
  int64_t count_ = 0;
  int64_t min_ = std::numeric_limits<int64_t>::max();
  int64_t max_ = std::numeric_limits<int64_t>::min();
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_TIME_HISTOGRAM_H_
