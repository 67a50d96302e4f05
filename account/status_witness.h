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

// (calendar second, frames) pairs, oldest first.
using LossBySecond = std::vector<std::pair<int64_t, int64_t>>;

class StatusWitness {
 public:
  // How long a status record waits for its frame before the frame counts as
  // lost, at least: far longer than a frame takes to follow its status
  // record on a LAN. Where frames have been seen to lag their status records
  // (a slow link), three times that lag, up to kMaxWaitMs.
  static constexpr int64_t kWaitMs = 1000;
  static constexpr int64_t kMaxWaitMs = 5000;
  // At the end of a run there is no more waiting: a status record left
  // waiting this long, or three times the lag seen, has lost its frame.
  static constexpr int64_t kLastWaitMs = 20;
  // Waiting records kept at most; in a flood of them the oldest are dropped
  // uncounted.
  static constexpr size_t kMaxWaiting = 1 << 16;
  // Seconds of witnessed losses remembered, so that a frame or a gap found
  // later takes them back instead of counting them twice.
  static constexpr size_t kHistorySeconds = 3600;

  // A status record of calendar second `second` (its publisher's clock)
  // arrived at `recv_ms` (this host's).
  void on_status(int64_t recv_ms, int64_t second);

  // `frames` frames stamped from `from_stamp_ms` to `to_stamp_ms` are
  // accounted for at `now_ms` (received, or shown missing by a gap): they
  // close as many status records of those seconds (a record's second may be
  // one before its frame's), oldest first, since a publisher sends each
  // frame after its record and both carry its clock. Records already
  // counted lost come first: their frames came after all, and the losses so
  // taken back are returned. A frame whose record never came closes none;
  // *unmatched (may be null) tells how many did not.
  LossBySecond close(int64_t frames, int64_t now_ms, int64_t from_stamp_ms, int64_t to_stamp_ms,
                     int64_t* unmatched = nullptr);

  // Of `missing` frames that a gap shows lost between `from_ms` and `to_ms`,
  // returns how many this witness already counted lost then, and forgets
  // them, so that they count once.
  int64_t take_back(int64_t missing, int64_t from_ms, int64_t to_ms);

  // Status records that have waited long enough by `now_ms`: each is a lost
  // frame. At the end of a run (`last`), the wait is short.
  LossBySecond expire(int64_t now_ms, bool last = false);

  // Every status record still waiting: the input has ended and nothing is
  // in flight, so each has lost its frame.
  LossBySecond expire_all();

  // The clock stepped by `delta_ms`: moves the times kept by as much.
  void shift(int64_t delta_ms);

  // How long a status record waits now (kWaitMs, or more after lags).
  int64_t wait_ms() const;

 private:
  struct Record {
    int64_t recv_ms;
    int64_t second;  // what the record says: its publisher's clock
  };
  struct Witnessed {
    int64_t recv_second;  // this host's, where the loss was counted
    int64_t second;       // the records'
    int64_t frames;
  };

  void remember(const Record& r);
  void note_lag(int64_t lag_ms);

  std::deque<Record> waiting_;       // oldest first
  std::deque<Witnessed> witnessed_;  // oldest first
  double lag_ms_ = 0;                // how long frames have followed their records, lately
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_STATUS_WITNESS_H_
