// Status records as witnesses of frames. Every cycle of a publisher sends a
// status record (one datagram, rarely lost) just before its frame, so a
// status record whose frame never comes tells of a lost frame that no gap in
// the sequence can show: all frames lost, frames lost after the last one
// received, frames past the last sequenced period.
#ifndef VARNOCK_ACCOUNT_STATUS_WITNESS_H_
#define VARNOCK_ACCOUNT_STATUS_WITNESS_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace varnock::account {

class StatusWitness {
 public:
  // How long a status record waits for its frame before the frame counts as
  // lost: far longer than a frame takes to follow its status record.
  static constexpr int64_t kWaitMs = 1000;
  // At the end of a run there is no more waiting: a status record left
  // waiting this long has lost its frame (frames follow within milliseconds).
  static constexpr int64_t kLastWaitMs = 20;
  // Waiting records kept at most; in a flood of them the oldest are dropped
  // uncounted.
  static constexpr size_t kMaxWaiting = 1 << 16;
  // Seconds of witnessed losses remembered, so that a gap found later takes
  // them back instead of counting them twice.
  static constexpr size_t kHistorySeconds = 3600;

  // A status record arrived at `recv_ms`.
  void on_status(int64_t recv_ms);

  // `frames` frames are accounted for (received, or shown missing by a gap):
  // they close as many waiting status records, newest first: a frame follows
  // its own status record, so the records left waiting are those of frames
  // that never came.
  void close(int64_t frames);

  // Of `missing` frames that a gap shows lost between `from_ms` and `to_ms`,
  // returns how many this witness already counted lost then, and forgets
  // them, so that they count once.
  int64_t take_back(int64_t missing, int64_t from_ms, int64_t to_ms);

  // Status records that have waited `wait_ms` by `now_ms`: each is a lost
  // frame. Returns (second of the status record, frames) pairs, oldest first.
  std::vector<std::pair<int64_t, int64_t>> expire(int64_t now_ms, int64_t wait_ms = kWaitMs);

  // The clock stepped by `delta_ms`: moves the times kept by as much.
  void shift(int64_t delta_ms);

 private:
  void remember(int64_t second);

  std::deque<int64_t> waiting_;                        // receive times
  std::deque<std::pair<int64_t, int64_t>> witnessed_;  // (second, lost frames)
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_STATUS_WITNESS_H_
