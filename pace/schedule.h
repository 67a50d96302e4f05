// When the cycles of a paced run start, on the monotonic clock.
#ifndef VARNOCK_PACE_SCHEDULE_H_
#define VARNOCK_PACE_SCHEDULE_H_

#include <cstdint>

#include "messages/cycle.h"

namespace varnock::pace {

// At `rate_hz` cycles a second, cycles start on fixed deadlines
// start + k / rate_hz (k = 0, 1, ...), computed from the start rather than
// added up, so that the rate does not drift. A cycle that ends past its
// successor's deadline is followed at once, so a late cycle costs nothing
// while it stays within a period; past more than a period, the missed
// deadlines are skipped, so the run never bursts to catch up. Cycles start
// at least `min_gap_ns` apart: for frames kPauseNanoseconds (2 ms), as
// varnock-check expects. At rate 0 (as fast as possible), each cycle starts
// `min_gap_ns` after the last one ended, as varnock's do.
class CycleSchedule {
 public:
  // `rate_hz`: 0, or kMinRateHz to kMaxMessageRateHz (pace/options.h).
  // `start_ns`: when the first cycle starts. `min_gap_ns`: 0 or more.
  CycleSchedule(double rate_hz, int64_t start_ns, int64_t min_gap_ns = kPauseNanoseconds);

  // When the next cycle starts, after one that started at `started_ns` and
  // ended at `ended_ns`. Call once per cycle, in order.
  int64_t after(int64_t started_ns, int64_t ended_ns);

 private:
  int64_t deadline(int64_t slot) const;

  double period_ns_;  // 0: as fast as possible
  int64_t start_ns_;
  int64_t min_gap_ns_;
  int64_t slot_ = 0;  // the deadline the last cycle was started for
};

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_SCHEDULE_H_
