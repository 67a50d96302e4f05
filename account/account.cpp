#include "account/account.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/calendar.h"
#include "base/saturating.h"

namespace varnock::account {

Account::Account(int64_t now_ms, int64_t monotonic_ms)
    : last_now_ms_(now_ms),
      last_monotonic_ms_(monotonic_ms),
      last_message_ms_(now_ms),
      resumed_ms_(INT64_MIN / 2) {
  rows_.emplace_back().report.second = second_of(now_ms);
}

void Account::open_rows_to(int64_t second) {
  if (second - rows_.back().report.second > kMaxGapRows) {
    rows_.emplace_back().report.second = second - kMaxGapRows;
  }
  while (rows_.back().report.second < second) {
    const int64_t next = rows_.back().report.second + 1;
    rows_.emplace_back().report.second = next;
  }
}

void Account::count(Row& row, int64_t Counts::*what, int64_t n) {
  row.report.counts.*what += n;
  totals_.*what += n;
}

void Account::take_back(int64_t Counts::*what, int64_t n, Row* row, int64_t from_row) {
  totals_.*what -= n;
  if (row != nullptr) row->report.counts.*what -= from_row;
}

Account::Row& Account::row_at(int64_t ms) {
  const int64_t second = second_of(ms);
  // A message handled just after a second began, before advance() saw it.
  if (second == rows_.back().report.second + 1) open_rows_to(second);
  // Rows already reported take nothing more: their part goes to the oldest
  // open row.
  if (second <= rows_.front().report.second) return rows_.front();
  for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
    if (it->report.second <= second) return *it;
  }
  return rows_.front();
}

void Account::count_lost(int64_t frames, int64_t from_ms, int64_t to_ms) {
  if (frames <= 0) return;
  if (to_ms <= from_ms) {
    count(row_at(to_ms), &Counts::lost, frames);
    return;
  }
  // The frames are spread evenly over (from_ms, to_ms); each open row takes
  // its share of that span, rounded so that the shares add up to `frames`.
  const double span = static_cast<double>(to_ms - from_ms);
  int64_t given = 0;
  for (Row& row : rows_) {
    const bool newest = &row == &rows_.back();
    const int64_t end = newest ? to_ms : std::min(to_ms, (row.report.second + 1) * 1000);
    const double covered = static_cast<double>(std::max<int64_t>(end - from_ms, 0));
    const int64_t share =
        newest ? frames : std::llround(static_cast<double>(frames) * covered / span);
    count(row, &Counts::lost, share - given);
    given = share;
  }
}

void Account::note_message(int64_t now_ms) {
  if (messages() > 0 && now_ms - last_message_ms_ > kSilenceMs) resumed_ms_ = now_ms;
  last_message_ms_ = now_ms;
}

Account::Row& Account::arrive(std::span<const uint8_t> message, int64_t recv_utime,
                              int64_t now_ms) {
  note_message(now_ms);
  Row& row = row_at(now_ms);
  note_queue(row, recv_utime, now_ms);
  count(row, &Counts::bytes, std::ssize(message));
  return row;
}

std::string_view Account::on_status(std::span<const uint8_t> message, int64_t recv_utime,
                                    int64_t now_ms) {
  Row& row = arrive(message, recv_utime, now_ms);
  const StatusVerdict v = validate_status(message);
  if (!v.valid()) {
    count(row, &Counts::corrupt);
    return v.problem;
  }
  count(row, &Counts::status_records);
  witness_.on_status(now_ms, v.timestamp);
  open_status_us_ = recv_utime;
  return {};
}

std::string_view Account::on_frame(std::span<const uint8_t> message, int64_t recv_utime,
                                   int64_t now_ms) {
  Row& row = arrive(message, recv_utime, now_ms);
  const FrameVerdict v = frames_.validate(message);
  if (!v.valid()) {
    count(row, &Counts::corrupt);
    return v.problem;
  }
  count(row, &Counts::frames);
  largest_frame_bytes_ = std::max<int64_t>(largest_frame_bytes_, std::ssize(message));
  const int64_t latency_us = saturating_sub(recv_utime, saturating_mul(v.timestamp_ms, 1000));
  row.samples().latency.add(latency_us);
  run_histograms_.latency.add(latency_us);
  if (last_frame_us_ >= 0) {
    const int64_t gap_us = saturating_sub(recv_utime, last_frame_us_);
    row.samples().inter_arrival.add(gap_us);
    run_histograms_.inter_arrival.add(gap_us);
  }
  last_frame_us_ = recv_utime;
  // A cycle's status record comes just before its frame; a frame with no
  // status record since the last frame (it was lost) has no delivery time.
  if (open_status_us_ >= 0) {
    const int64_t delivery_us = saturating_sub(recv_utime, open_status_us_);
    row.samples().delivery.add(delivery_us);
    run_histograms_.delivery.add(delivery_us);
    open_status_us_ = -1;
  }

  if (v.period < 0) {
    count(row, &Counts::unsequenced);
    close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
    return {};
  }
  const FrameOutcome o = runs_.add(v.period, v.timestamp_ms, now_ms, v.pixels);
  switch (o.kind) {
    case FrameOutcome::kStarted:
      count(row, &Counts::runs);
      close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
      break;
    case FrameOutcome::kEarly:
      count(row, &Counts::late);
      close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
      break;
    case FrameOutcome::kContinued: {
      // The missing frames would have arrived as the run's pace had them,
      // from the previous frame's arrival on.
      const int64_t until = std::clamp(
          saturating_sub(o.previous_recv_ms, saturating_sub(o.previous_stamp_ms, v.timestamp_ms)),
          o.previous_recv_ms, std::max(o.previous_recv_ms, now_ms));
      // Frames the witness counted lost are now known lost: counted once,
      // and no longer an estimate.
      const int64_t witnessed = witness_.take_back(o.missing, o.previous_recv_ms, now_ms);
      take_back(&Counts::lost_estimated, witnessed, nullptr, 0);
      const int64_t unmatched =
          close_records(1 + o.missing - witnessed, now_ms, o.previous_stamp_ms, v.timestamp_ms);
      count_lost(o.missing - witnessed, o.previous_recv_ms, until);
      // Frames lost with their status records: both went the same way, as
      // when LCM's queue discards every message while it is full.
      if (const int64_t in_step = std::min(unmatched, o.missing - witnessed); in_step > 0) {
        count(row_at(until), &Counts::lost_with_records, in_step);
      }
      break;
    }
    case FrameOutcome::kDuplicate:
      count(row, &Counts::duplicates);
      // A repeated frame came with its repeated status record, which stands
      // for no frame of its own.
      close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
      break;
    case FrameOutcome::kLate: {
      count(row, &Counts::late);
      // Its loss was counted: the total gives it back, and so does the
      // newest open row that counted a gap's loss. No row goes below zero.
      Row* counted = nullptr;
      for (auto it = rows_.rbegin(); it != rows_.rend() && counted == nullptr; ++it) {
        if (it->report.counts.lost > it->report.counts.lost_estimated) counted = &*it;
      }
      take_back(&Counts::lost, 1, counted, 1);
      break;
    }
  }
  return {};
}

int64_t Account::close_records(int64_t frames, int64_t now_ms, int64_t from_stamp_ms,
                               int64_t to_stamp_ms) {
  int64_t unmatched = 0;
  // Frames whose status records had been counted lost came after all: the
  // loss is taken back in its row while that is open, and in any case from
  // the totals.
  for (const auto& [second, frames_back] :
       witness_.close(frames, now_ms, from_stamp_ms, to_stamp_ms, &unmatched)) {
    Row* row = second < rows_.front().report.second ? nullptr : &row_at(second * 1000);
    const int64_t n = row ? std::min(frames_back, row->report.counts.lost_estimated) : 0;
    take_back(&Counts::lost, frames_back, row, n);
    take_back(&Counts::lost_estimated, frames_back, row, n);
  }
  return unmatched;
}

void Account::count_witnessed(int64_t now_ms, bool last) {
  for (const auto& [second, lost] : witness_.expire(now_ms, last)) {
    Row& row = row_at(second * 1000);
    count(row, &Counts::lost, lost);
    count(row, &Counts::lost_estimated, lost);
  }
}

void Account::count_network(int64_t reassembly_failures, int64_t reassembly_timeouts,
                            int64_t queues_left, int64_t checksum_errors, int64_t at_ms) {
  network_known_ = true;
  Row& row = row_at(at_ms);
  count(row, &Counts::reassembly_failures, reassembly_failures);
  count(row, &Counts::reassembly_timeouts, reassembly_timeouts);
  count(row, &Counts::reassembly_queues_left, queues_left);
  count(row, &Counts::checksum_errors, checksum_errors);
}

void Account::note_queue(Row& row, int64_t recv_utime, int64_t now_ms) {
  // The handler's clock reads whole milliseconds: a wait shorter than one
  // may come out below zero, and is none.
  const int64_t queued_us =
      std::max<int64_t>(saturating_sub(saturating_mul(now_ms, 1000), recv_utime), 0);
  row.samples().lcm_queue.add(queued_us);
  run_histograms_.lcm_queue.add(queued_us);
}

void Account::count_kernel_drops(int64_t datagrams, int64_t at_ms) {
  kernel_drops_known_ = true;
  count(row_at(at_ms), &Counts::kernel_drops, datagrams);
}

void Account::split_by_cause(Row& row) {
  const Counts& c = row.report.counts;
  LossEvidence e;
  e.lost = c.lost;
  e.kernel_drops_known = kernel_drops_known_;
  e.network_known = network_known_;
  e.kernel_drops = c.kernel_drops - row.drops_lent;
  e.drops_carried = drops_carried_;
  e.checksum_errors = c.checksum_errors;
  e.reassembly_failures = c.reassembly_failures;
  e.reassembly_timeouts = c.reassembly_timeouts;
  e.queues_left = c.reassembly_queues_left - row.queues_lent;
  e.lost_with_records = c.lost_with_records;
  e.deepest_queue_ms =
      row.histograms ? row.histograms->lcm_queue.summary().max : TimePercentiles{}.max;
  Row* next = rows_.size() > 1 ? &rows_[1] : nullptr;
  if (next != nullptr) {
    const Counts& n = next->report.counts;
    e.next = {n.kernel_drops - next->drops_lent, n.reassembly_queues_left - next->queues_lent};
  }
  const LossSplit split = split_loss(e);
  if (next != nullptr) {
    next->drops_lent += split.drops_borrowed;
    next->queues_lent += split.queues_borrowed;
  }
  drops_carried_ = split.drops_carried;
  count(row, &Counts::lost_receive_buffer, split.receive_buffer);
  count(row, &Counts::lost_checksum, split.checksum);
  count(row, &Counts::lost_reassembly_memory, split.reassembly_memory);
  count(row, &Counts::lost_fragments, split.fragments);
  count(row, &Counts::lost_in_lcm, split.in_lcm);
  count(row, &Counts::lost_other, split.other);
}

std::vector<SecondReport> Account::take_rows(int64_t up_to_second) {
  std::vector<SecondReport> out;
  while (!rows_.empty() && rows_.front().report.second <= up_to_second) {
    Row& row = rows_.front();
    SecondReport& r = row.report;
    if (row.histograms) {
      const Histograms& h = *row.histograms;
      r.latency = h.latency.summary();
      r.times = {h.inter_arrival.summary(), h.delivery.summary(), h.lcm_queue.summary()};
    }
    r.kernel_drops_known = kernel_drops_known_;
    r.network_known = network_known_;
    r.lost_lower_bound = totals_.unsequenced > 0;
    split_by_cause(row);
    out.push_back(r);
    rows_.pop_front();
  }
  return out;
}

void Account::note_stall(int64_t stalled_ms) { runs_.stalled(stalled_ms); }

std::vector<SecondReport> Account::advance(int64_t now_ms, int64_t monotonic_ms) {
  const int64_t drift =
      saturating_sub(saturating_sub(now_ms, last_now_ms_), monotonic_ms - last_monotonic_ms_);
  last_now_ms_ = now_ms;
  last_monotonic_ms_ = monotonic_ms;
  if (std::llabs(drift) > kStepMs) {
    // The clock stepped: what is open is reported as it stands, and one row
    // begins at the new time, marked with the step. Times kept move with it.
    count_witnessed(now_ms - drift);
    std::vector<SecondReport> out = take_rows(rows_.back().report.second);
    Row& row = rows_.emplace_back();
    row.report.second = second_of(now_ms);
    row.report.clock_step_s = drift / 1000;
    witness_.shift(drift);
    runs_.shift(drift);
    last_message_ms_ = saturating_add(last_message_ms_, drift);
    resumed_ms_ = saturating_add(resumed_ms_, drift);
    return out;
  }
  open_rows_to(second_of(now_ms));
  count_witnessed(now_ms);
  // A bus that fell silent may be in an outage whose loss shows once frames
  // return, a little after the first status record; one that never spoke
  // has nothing to wait for.
  const bool silent = messages() > 0 && now_ms - last_message_ms_ > kSilenceMs;
  const bool resuming = now_ms - resumed_ms_ < kSettleSeconds * 1000;
  const int64_t settle = silent || resuming ? kSilentSettleSeconds : kSettleSeconds;
  // The newest row stays open for what arrives next.
  return take_rows(std::min(second_of(now_ms) - settle, rows_.back().report.second - 1));
}

std::vector<SecondReport> Account::finish(int64_t now_ms) {
  count_witnessed(now_ms, true);
  std::vector<SecondReport> out = take_rows(rows_.back().report.second);
  rows_.emplace_back().report.second = second_of(now_ms);
  return out;
}

void Account::end_of_input() {
  for (const auto& [second, lost] : witness_.expire_all()) {
    Row& row = row_at(second * 1000);
    count(row, &Counts::lost, lost);
    count(row, &Counts::lost_estimated, lost);
  }
}

Summary Account::summary(double seconds) const {
  return {seconds,
          totals_,
          totals_.unsequenced > 0,
          kernel_drops_known_,
          network_known_,
          run_histograms_.latency.summary(),
          {run_histograms_.inter_arrival.summary(), run_histograms_.delivery.summary(),
           run_histograms_.lcm_queue.summary()},
          runs_.listed(),
          largest_frame_bytes_};
}

}  // namespace varnock::account
