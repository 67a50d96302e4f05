// Loss accounting from the frames' sequence numbers (their pattern periods,
// 60 plus the publisher's cycle index).
#ifndef VARNOCK_CHECK_SEQUENCE_H_
#define VARNOCK_CHECK_SEQUENCE_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace varnock::check {

class SequenceTracker {
 public:
  // The first sequence number of a publisher's run.
  static constexpr int64_t kFirst = 60;
  // How far back a late or repeated frame is still recognised.
  static constexpr int64_t kWindow = 4096;

  // Accounts for a valid frame with sequence number `seq` stamped
  // `timestamp_ms`. Later than expected: the frames between are lost. Seen
  // before with the same stamp: a duplicate. Counted lost before: late, and
  // its loss is given back. A new run of the publisher (seq back at kFirst,
  // seen before with another stamp, or too far back to tell): a restart, and
  // the run's frames before this one are lost.
  void add(int64_t seq, int64_t timestamp_ms);

  int64_t lost() const { return lost_; }
  int64_t duplicates() const { return duplicates_; }
  int64_t late() const { return late_; }
  int64_t restarts() const { return restarts_; }
  // The first and the highest sequence number of the latest run; -1 before any.
  int64_t run_first() const { return run_first_; }
  int64_t run_last() const { return started_ ? next_ - 1 : -1; }

 private:
  struct Seen {
    int64_t seq = -1;
    int64_t timestamp_ms = 0;
  };
  Seen& slot(int64_t seq) { return seen_[static_cast<size_t>(seq % kWindow)]; }
  void start_run(int64_t seq, int64_t timestamp_ms);

  bool started_ = false;
  int64_t next_ = 0;
  int64_t lost_ = 0;
  int64_t duplicates_ = 0;
  int64_t late_ = 0;
  int64_t restarts_ = 0;
  int64_t run_first_ = -1;
  std::array<Seen, kWindow> seen_{};
};

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_SEQUENCE_H_
