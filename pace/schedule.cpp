#include "pace/schedule.h"

#include <algorithm>
#include <cmath>

namespace varnock::pace {

CycleSchedule::CycleSchedule(double rate_hz, int64_t start_ns, int64_t min_gap_ns)
    : period_ns_(rate_hz > 0 ? 1e9 / rate_hz : 0), start_ns_(start_ns), min_gap_ns_(min_gap_ns) {}

int64_t CycleSchedule::deadline(int64_t slot) const {
  // In double, k / rate is exact to a few nanoseconds after a year of cycles.
  return start_ns_ + std::llround(static_cast<double>(slot) * period_ns_);
}

int64_t CycleSchedule::after(int64_t started_ns, int64_t ended_ns) {
  if (period_ns_ == 0) return ended_ns + min_gap_ns_;
  ++slot_;
  if (static_cast<double>(ended_ns - deadline(slot_)) >= period_ns_) {
    // Deadlines already more than a period behind are given up: the next
    // cycle takes the latest deadline passed, and starts now.
    const auto passed =
        static_cast<int64_t>(static_cast<double>(ended_ns - start_ns_) / period_ns_);
    slot_ = std::max(slot_, passed);
  }
  return std::max(deadline(slot_), started_ns + min_gap_ns_);
}

}  // namespace varnock::pace
