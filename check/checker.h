// What a subscriber of varnock's two channels received: counts, loss, damage
// and latency, second by second and for the whole run.
#ifndef VARNOCK_CHECK_CHECKER_H_
#define VARNOCK_CHECK_CHECKER_H_

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "check/sequence.h"
#include "check/validate.h"

namespace varnock::check {

// Latency percentiles in milliseconds; NaN when there was no sample.
struct Latency {
  double p50;
  double p99;
  double max;
};

struct Counts {
  int64_t status_records = 0;  // valid RECSTAT messages
  int64_t frames = 0;          // valid TFIMAGE messages, duplicates included
  int64_t lost = 0;            // frames never received intact (late arrivals give one back)
  int64_t corrupt = 0;         // messages of either channel that failed validation
  int64_t duplicates = 0;
  int64_t late = 0;         // frames received out of order
  int64_t restarts = 0;     // publisher runs begun after the first
  int64_t unsequenced = 0;  // frames with only byte 0 lit: valid, no sequence number
  int64_t bytes = 0;        // bytes of every message received
};

struct SecondReport {
  int64_t second;  // calendar second the counts belong to
  Counts counts;
  Latency latency;
};

class Checker {
 public:
  // The two handlers: a received message, and when LCM received it
  // (microseconds since 1970). Return the problem found, empty when valid.
  std::string_view on_status(std::span<const uint8_t> message, int64_t recv_utime);
  std::string_view on_frame(std::span<const uint8_t> message, int64_t recv_utime);

  // Closes calendar second `second`: returns what arrived since the last
  // call, and starts counting the next.
  SecondReport end_second(int64_t second);

  // The whole run so far.
  Counts totals() const;
  Latency latency() const;
  const SequenceTracker& sequence() const { return sequence_; }

 private:
  // Latencies over a whole run: 10 us buckets within +-1 s, which holds a
  // run of hours in 800 KB; samples outside are kept as they are.
  class Histogram {
   public:
    Histogram();
    void add(double ms);
    Latency summary() const;

   private:
    std::vector<uint32_t> buckets_;
    std::vector<double> outside_;
    int64_t count_ = 0;
    double max_;
  };

  FrameValidator frames_;
  SequenceTracker sequence_;
  Counts totals_;  // all but the tracker's counts
  Counts last_;    // totals() at the last end_second
  std::vector<double> second_latencies_;
  Histogram run_latencies_;
};

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_CHECKER_H_
