// What a subscriber of varnock's two channels received: counts, loss, damage
// and latency, second by second and for the whole run.
#ifndef VARNOCK_ACCOUNT_ACCOUNT_H_
#define VARNOCK_ACCOUNT_ACCOUNT_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "account/loss_causes.h"
#include "account/publisher_runs.h"
#include "account/status_witness.h"
#include "account/stream_account.h"
#include "account/time_histogram.h"
#include "account/validate.h"

namespace varnock::account {

struct Counts {
  int64_t status_records = 0;  // valid RECSTAT messages
  int64_t frames = 0;          // valid TFIMAGE messages, duplicates included
  int64_t lost = 0;            // frames never received intact
  int64_t lost_estimated = 0;  // of those, counted from status records alone
  int64_t corrupt = 0;         // messages of either channel that failed validation
  int64_t duplicates = 0;
  int64_t late = 0;         // frames received after a later one of their run
  int64_t runs = 0;         // publisher runs begun
  int64_t unsequenced = 0;  // frames with only byte 0 lit: valid, no sequence number
  int64_t bytes = 0;        // bytes of every message received
  // Datagrams the kernel dropped for the receiving socket, and the lost
  // frames they explain (each drop at most one) or not; all three are
  // meaningful only where the kernel's count is known.
  int64_t kernel_drops = 0;
  int64_t lost_receive_buffer = 0;
  int64_t lost_other = 0;
  // More causes of `lost`, from the host's network counters, meaningful only
  // where those are known (network_known): IP reassembly refused for want
  // of memory, fragments lost before this host (a reassembly that timed
  // out), complete messages LCM discarded (frames lost with their status
  // records while its queue was deep), and bad UDP checksums.
  int64_t lost_reassembly_memory = 0;
  int64_t lost_fragments = 0;
  int64_t lost_in_lcm = 0;
  int64_t lost_checksum = 0;
  // The host's counts behind them, and the lost frames whose status records
  // never came either.
  int64_t reassembly_failures = 0;
  int64_t reassembly_timeouts = 0;
  int64_t reassembly_queues_left = 0;
  int64_t checksum_errors = 0;
  int64_t lost_with_records = 0;
};

// Times measured by this host alone, from LCM's receive times: from one
// frame to the next, and from a status record to the frame that follows it.
struct ReceiveTimes {
  TimePercentiles inter_arrival;
  TimePercentiles delivery;
  TimePercentiles lcm_queue;  // from LCM's receive time to the handler's start
};

struct SecondReport {
  int64_t second = 0;        // calendar second the counts belong to
  int64_t clock_step_s = 0;  // the clock jumped by this much just before it
  Counts counts;
  // Frames without a sequence number had come by the row's end: `lost` is a
  // lower bound (a frame lost with its status record leaves no trace).
  bool lost_lower_bound = false;
  bool kernel_drops_known = false;
  bool network_known = false;
  TimePercentiles latency;  // receive time minus the frame's stamp
  ReceiveTimes times;
  // Datagrams this host dropped of what it sent meanwhile, filled in by the
  // caller (the account sends nothing); -1 while unknown.
  int64_t send_drops = -1;
  // The streams' figures of the second, by channel, joined in by the caller
  // (account/stream_join.h): the Account itself takes no stream message.
  std::vector<StreamChannelFigures> messages{};
};

// The whole run, for the reports.
struct Summary {
  double seconds = 0;  // the run's length
  Counts totals;
  bool lost_lower_bound = false;  // as in SecondReport, for the whole run
  bool kernel_drops_known = false;
  bool network_known = false;
  TimePercentiles latency;
  ReceiveTimes times;
  std::vector<RunTracker::Span> runs;  // the first RunTracker::kListed runs
  int64_t largest_frame_bytes = 0;     // the largest valid frame's message; 0 with none
  int64_t send_drops = -1;             // as in SecondReport, over the whole run
  // StreamAccount::summary()'s channels, filled in by the caller.
  std::vector<StreamChannelFigures> messages{};
};

// Rows are kept open kSettleSeconds after their second, for losses found
// later (a gap, a status record left without its frame) to land in the
// second they happened; while the bus is silent and shortly after, up to
// kSilentSettleSeconds, so that an outage shows in its own seconds once
// frames return. Times are
// this host's clock in milliseconds since 1970, as the caller reads it.
class Account {
 public:
  static constexpr int64_t kSettleSeconds = 2;
  static constexpr int64_t kSilentSettleSeconds = 10;
  // After a stop, the seconds before the last kMaxGapRows get no row of
  // their own: what lands in them goes to the row before the stop, so that
  // an hour's stop opens no more rows than ten minutes'.
  static constexpr int64_t kMaxGapRows = 600;
  // A gap this much larger between the wall and monotonic clocks is a step.
  static constexpr int64_t kStepMs = 1500;
  // No message for this long: the bus is silent.
  static constexpr int64_t kSilenceMs = 1000;

  // Starts the account at `now_ms`, with `monotonic_ms` read at the same time.
  Account(int64_t now_ms, int64_t monotonic_ms);

  // The handlers: a message, when LCM received it (microseconds since 1970,
  // for latency), and the time now. Return the problem found, empty when valid.
  std::string_view on_status(std::span<const uint8_t> message, int64_t recv_utime, int64_t now_ms);
  std::string_view on_frame(std::span<const uint8_t> message, int64_t recv_utime, int64_t now_ms);

  // The kernel dropped `datagrams` more for the receiving socket, by `at_ms`;
  // once called, rows and summary tell drops and split the loss by cause.
  void count_kernel_drops(int64_t datagrams, int64_t at_ms);

  // The host's network counters rose by these by `at_ms`; once called, rows
  // and summary split the loss by those causes too. `queues_left` counts the
  // reassembly queues begun and never completed: those waiting more (the
  // rise in incomplete queues) and those that timed out; it may be below
  // zero when a queue in flight at the last reading has since completed.
  void count_network(int64_t reassembly_failures, int64_t reassembly_timeouts, int64_t queues_left,
                     int64_t checksum_errors, int64_t at_ms);

  // This process was stopped (Ctrl+Z, SIGSTOP) or starved of CPU for
  // `stalled_ms` just before `now_ms`: what was sent meanwhile waited in the
  // socket and comes now, late, so publisher runs allow for that wait.
  void note_stall(int64_t stalled_ms);

  // Moves the account to `now_ms` (a clock step shows as a difference from
  // the monotonic clock) and returns the rows that have settled, oldest first.
  std::vector<SecondReport> advance(int64_t now_ms, int64_t monotonic_ms);

  // Ends the account at `now_ms`: status records still waiting for their
  // frame after StatusWitness::kLastWaitMs count them lost; returns every row
  // still open.
  std::vector<SecondReport> finish(int64_t now_ms);

  // The input has ended and nothing is in flight (a log read to its end):
  // every status record still waiting has lost its frame. Call before
  // finish(), and only where nothing more can arrive.
  void end_of_input();

  Summary summary(double seconds) const;
  // Valid status records so far.
  int64_t status_records() const { return totals_.status_records; }
  // The largest valid frame's message so far, in bytes; 0 before any.
  int64_t largest_frame_bytes() const { return largest_frame_bytes_; }
  // Publisher runs retired while live, for want of room (RunTracker::kMaxRuns).
  int64_t live_runs_retired() const { return runs_.live_runs_retired(); }
  // Messages received so far, valid or not.
  int64_t messages() const { return totals_.status_records + totals_.frames + totals_.corrupt; }

 private:
  struct Histograms {
    TimeHistogram latency;
    TimeHistogram inter_arrival;
    TimeHistogram delivery;
    TimeHistogram lcm_queue;
  };
  struct Row {
    SecondReport report;
    // Made by the first sample: seconds that receive nothing (a stopped
    // checker's, a silent bus's) cost no histograms.
    std::unique_ptr<Histograms> histograms;
    Histograms& samples() {
      if (!histograms) histograms = std::make_unique<Histograms>();
      return *histograms;
    }
    int64_t drops_lent = 0;   // of its kernel drops, those that explained the row before's loss
    int64_t queues_lent = 0;  // the same of its reassembly queues left
  };

  // Counts `n` of `what` into `row` and into the run's totals: every event is
  // counted here, once.
  void count(Row& row, int64_t Counts::*what, int64_t n = 1);
  // Takes back `n` of `what` counted before: all from the run's totals, and
  // `from_row` of them from `row` (null when no open row holds any). Rows
  // already reported keep theirs.
  void take_back(int64_t Counts::*what, int64_t n, Row* row, int64_t from_row);
  Row& row_at(int64_t ms);
  void note_message(int64_t now_ms);
  void open_rows_to(int64_t second);
  void count_lost(int64_t frames, int64_t from_ms, int64_t to_ms);
  // Counts the frames of status records left waiting long enough by
  // `now_ms`; at the end of the run (`last`) the wait is short.
  void count_witnessed(int64_t now_ms, bool last = false);
  // `frames` frames stamped in [from, to] close as many status records
  // (StatusWitness::close).
  // Returns how many of them found no record to close.
  int64_t close_records(int64_t frames, int64_t now_ms, int64_t from_stamp_ms, int64_t to_stamp_ms);
  void note_queue(Row& row, int64_t recv_utime, int64_t now_ms);
  // What every message, valid or not, adds to the account; returns its row.
  Row& arrive(std::span<const uint8_t> message, int64_t recv_utime, int64_t now_ms);
  // Splits a settling row, the oldest open, by cause (account/loss_causes.h).
  void split_by_cause(Row& row);
  std::vector<SecondReport> take_rows(int64_t up_to_second);

  FrameValidator frames_;
  RunTracker runs_;
  StatusWitness witness_;
  std::deque<Row> rows_;  // open rows, oldest first; never empty
  Counts totals_;
  Histograms run_histograms_;
  bool kernel_drops_known_ = false;
  bool network_known_ = false;
  int64_t drops_carried_ = 0;  // drops of the last settled row its loss left unexplained
  int64_t largest_frame_bytes_ = 0;
  int64_t last_frame_us_ = -1;   // LCM's receive time of the last valid frame
  int64_t open_status_us_ = -1;  // of the last status record no frame has followed
  int64_t last_now_ms_;
  int64_t last_monotonic_ms_;
  int64_t last_message_ms_;
  int64_t resumed_ms_;  // when messages came again after a silence
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_ACCOUNT_H_
