#include "check/sequence.h"

namespace varnock::check {

void SequenceTracker::start_run(int64_t seq, int64_t timestamp_ms) {
  seen_.fill(Seen{});
  run_first_ = seq;
  next_ = seq + 1;
  slot(seq) = {seq, timestamp_ms};
}

void SequenceTracker::add(int64_t seq, int64_t timestamp_ms) {
  if (!started_) {
    started_ = true;
    start_run(seq, timestamp_ms);
    return;
  }
  if (seq >= next_) {
    lost_ += seq - next_;
    next_ = seq + 1;
    slot(seq) = {seq, timestamp_ms};
    return;
  }
  Seen& s = slot(seq);
  const bool in_window = next_ - seq <= kWindow;
  if (in_window && s.seq == seq && s.timestamp_ms == timestamp_ms) {
    ++duplicates_;
    return;
  }
  // A number from the past that was never seen is late, unless it starts a
  // new run: the first number of a run, a number seen before with another
  // timestamp, or one too far back to tell.
  if (in_window && s.seq != seq && seq != kFirst) {
    s = {seq, timestamp_ms};
    --lost_;
    ++late_;
    return;
  }
  ++restarts_;
  lost_ += seq - kFirst;
  start_run(seq, timestamp_ms);
}

}  // namespace varnock::check
