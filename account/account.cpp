#include "account/account.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/calendar.h"
#include "base/saturating.h"

namespace varnock::account {
namespace {}  // namespace

Account::Account(int64_t now_ms, int64_t monotonic_ms)
    : last_now_ms_(now_ms),
      last_monotonic_ms_(monotonic_ms),
      last_message_ms_(now_ms),
      resumed_ms_(INT64_MIN / 2) {
  rows_.emplace_back().report.second = second_of(now_ms);
}

void Account::open_rows_to(int64_t second) {
  while (rows_.back().report.second < second) {
    const int64_t next = rows_.back().report.second + 1;
    rows_.emplace_back().report.second = next;
  }
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
  totals_.lost += frames;
  if (to_ms <= from_ms) {
    row_at(to_ms).report.counts.lost += frames;
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
    row.report.counts.lost += share - given;
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
  row.report.counts.bytes += std::ssize(message);
  totals_.bytes += std::ssize(message);
  return row;
}

std::string_view Account::on_status(std::span<const uint8_t> message, int64_t recv_utime,
                                    int64_t now_ms) {
  Row& row = arrive(message, recv_utime, now_ms);
  Counts& c = row.report.counts;
  const StatusVerdict v = validate_status(message);
  if (!v.valid()) {
    ++c.corrupt;
    ++totals_.corrupt;
    return v.problem;
  }
  ++c.status_records;
  ++totals_.status_records;
  witness_.on_status(now_ms, v.timestamp);
  open_status_us_ = recv_utime;
  return {};
}

std::string_view Account::on_frame(std::span<const uint8_t> message, int64_t recv_utime,
                                   int64_t now_ms) {
  Row& row = arrive(message, recv_utime, now_ms);
  Counts& c = row.report.counts;
  const FrameVerdict v = frames_.validate(message);
  if (!v.valid()) {
    ++c.corrupt;
    ++totals_.corrupt;
    return v.problem;
  }
  ++c.frames;
  ++totals_.frames;
  largest_frame_bytes_ = std::max<int64_t>(largest_frame_bytes_, std::ssize(message));
  const int64_t latency_us = saturating_sub(recv_utime, saturating_mul(v.timestamp_ms, 1000));
  row.histograms.latency.add(latency_us);
  run_histograms_.latency.add(latency_us);
  if (last_frame_us_ >= 0) {
    const int64_t gap_us = saturating_sub(recv_utime, last_frame_us_);
    row.histograms.inter_arrival.add(gap_us);
    run_histograms_.inter_arrival.add(gap_us);
  }
  last_frame_us_ = recv_utime;
  // A cycle's status record comes just before its frame; a frame with no
  // status record since the last frame (it was lost) has no delivery time.
  if (open_status_us_ >= 0) {
    const int64_t delivery_us = saturating_sub(recv_utime, open_status_us_);
    row.histograms.delivery.add(delivery_us);
    run_histograms_.delivery.add(delivery_us);
    open_status_us_ = -1;
  }

  if (v.period < 0) {
    ++c.unsequenced;
    ++totals_.unsequenced;
    close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
    return {};
  }
  const FrameOutcome o = runs_.add(v.period, v.timestamp_ms, now_ms, v.pixels);
  switch (o.kind) {
    case FrameOutcome::kStarted:
      ++c.runs;
      ++totals_.runs;
      close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
      break;
    case FrameOutcome::kEarly:
      ++c.late;
      ++totals_.late;
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
      totals_.lost_estimated -= witnessed;
      const int64_t unmatched =
          close_records(1 + o.missing - witnessed, now_ms, o.previous_stamp_ms, v.timestamp_ms);
      count_lost(o.missing - witnessed, o.previous_recv_ms, until);
      // Frames lost with their status records: both went the same way, as
      // when LCM's queue discards every message while it is full.
      if (const int64_t in_step = std::min(unmatched, o.missing - witnessed); in_step > 0) {
        row_at(until).report.counts.lost_with_records += in_step;
        totals_.lost_with_records += in_step;
      }
      break;
    }
    case FrameOutcome::kDuplicate:
      ++c.duplicates;
      ++totals_.duplicates;
      // A repeated frame came with its repeated status record, which stands
      // for no frame of its own.
      close_records(1, now_ms, v.timestamp_ms, v.timestamp_ms);
      break;
    case FrameOutcome::kLate: {
      ++c.late;
      ++totals_.late;
      // Its loss was counted: the total gives it back, and so does the
      // newest open row that counted a gap's loss. No row goes below zero.
      --totals_.lost;
      for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        Counts& rc = it->report.counts;
        if (rc.lost > rc.lost_estimated) {
          --rc.lost;
          break;
        }
      }
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
    totals_.lost -= frames_back;
    totals_.lost_estimated -= frames_back;
    if (second < rows_.front().report.second) continue;
    Counts& c = row_at(second * 1000).report.counts;
    const int64_t n = std::min(frames_back, c.lost_estimated);
    c.lost -= n;
    c.lost_estimated -= n;
  }
  return unmatched;
}

void Account::count_witnessed(int64_t now_ms, bool last) {
  for (const auto& [second, lost] : witness_.expire(now_ms, last)) {
    Counts& c = row_at(second * 1000).report.counts;
    c.lost += lost;
    c.lost_estimated += lost;
    totals_.lost += lost;
    totals_.lost_estimated += lost;
  }
}

void Account::count_network(int64_t reassembly_failures, int64_t reassembly_timeouts,
                            int64_t queues_left, int64_t checksum_errors, int64_t at_ms) {
  network_known_ = true;
  Counts& c = row_at(at_ms).report.counts;
  for (Counts* k : {&c, &totals_}) {
    k->reassembly_failures += reassembly_failures;
    k->reassembly_timeouts += reassembly_timeouts;
    k->reassembly_queues_left += queues_left;
    k->checksum_errors += checksum_errors;
  }
}

void Account::note_queue(Row& row, int64_t recv_utime, int64_t now_ms) {
  // The handler's clock reads whole milliseconds: a wait shorter than one
  // may come out below zero, and is none.
  const int64_t queued_us =
      std::max<int64_t>(saturating_sub(saturating_mul(now_ms, 1000), recv_utime), 0);
  row.histograms.lcm_queue.add(queued_us);
  run_histograms_.lcm_queue.add(queued_us);
}

void Account::count_kernel_drops(int64_t datagrams, int64_t at_ms) {
  kernel_drops_known_ = true;
  row_at(at_ms).report.counts.kernel_drops += datagrams;
  totals_.kernel_drops += datagrams;
}

void Account::split_by_cause(Row& row) {
  Counts& c = row.report.counts;
  if (!kernel_drops_known_ && !network_known_) return;
  int64_t left = std::max<int64_t>(c.lost, 0);
  auto take = [&left](int64_t up_to) {
    const int64_t n = std::clamp<int64_t>(up_to, 0, left);
    left -= n;
    return n;
  };
  // A bad checksum is one datagram, and so at most one frame; the socket
  // counts it among its drops too.
  if (network_known_) c.lost_checksum = take(c.checksum_errors);
  // A dropped datagram takes at most one frame with it. A drop and the loss
  // it makes can land a second apart (the drop is read a little after it
  // happened, the loss is placed by the run's pace), so a row's loss is also
  // explained by drops of the row before that its loss left over, and by
  // drops of the row after that its own loss does not need.
  if (kernel_drops_known_) {
    const int64_t own = c.kernel_drops - row.drops_lent;
    const int64_t checksum = network_known_ ? c.checksum_errors : 0;
    int64_t available = drops_carried_ + own - checksum;
    if (left > available && rows_.size() > 1) {
      Row& next = rows_[1];
      const int64_t lend =
          std::min(left - available, next.report.counts.kernel_drops - next.drops_lent);
      next.drops_lent += lend;
      available += lend;
    }
    c.lost_receive_buffer = take(available);
    const int64_t explained = c.lost_receive_buffer + c.lost_checksum;
    drops_carried_ = own - std::clamp<int64_t>(explained - drops_carried_, 0, own);
  }
  if (network_known_) {
    // Reassembly refused for want of memory fails a datagram for each
    // fragment refused, with no timeout; a fragment lost on the way leaves
    // a queue that is never completed, one datagram each. It shows when it
    // begins, as one more incomplete queue, and again when it times out,
    // ipfrag_time later, as one less queue and one more timeout (and
    // failure): counted once, at its beginning. One begun at the end of a
    // row may show in the next, so a row's loss is also explained by the
    // next row's queues.
    c.lost_reassembly_memory = take(c.reassembly_failures - c.reassembly_timeouts);
    int64_t queues = c.reassembly_queues_left - row.queues_lent;
    if (left > queues && rows_.size() > 1) {
      Row& next = rows_[1];
      const int64_t lend =
          std::clamp<int64_t>(left - std::max<int64_t>(queues, 0), 0,
                              next.report.counts.reassembly_queues_left - next.queues_lent);
      next.queues_lent += lend;
      queues = std::max<int64_t>(queues, 0) + lend;
    }
    c.lost_fragments = take(queues);
    const double deepest = row.histograms.lcm_queue.summary().max;
    if (!std::isnan(deepest) && deepest >= kDeepQueueMs) c.lost_in_lcm = take(c.lost_with_records);
  }
  c.lost_other = left + std::min<int64_t>(c.lost, 0);
  for (int64_t Counts::*cause :
       {&Counts::lost_receive_buffer, &Counts::lost_checksum, &Counts::lost_reassembly_memory,
        &Counts::lost_fragments, &Counts::lost_in_lcm, &Counts::lost_other}) {
    totals_.*cause += c.*cause;
  }
}

std::vector<SecondReport> Account::take_rows(int64_t up_to_second) {
  std::vector<SecondReport> out;
  while (!rows_.empty() && rows_.front().report.second <= up_to_second) {
    Row& row = rows_.front();
    SecondReport& r = row.report;
    r.latency = row.histograms.latency.summary();
    r.times = {row.histograms.inter_arrival.summary(), row.histograms.delivery.summary(),
               row.histograms.lcm_queue.summary()};
    r.kernel_drops_known = kernel_drops_known_;
    r.network_known = network_known_;
    split_by_cause(row);
    out.push_back(r);
    rows_.pop_front();
  }
  return out;
}

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

Summary Account::summary(double seconds) const {
  return {seconds,
          totals_,
          kernel_drops_known_,
          network_known_,
          run_histograms_.latency.summary(),
          {run_histograms_.inter_arrival.summary(), run_histograms_.delivery.summary(),
           run_histograms_.lcm_queue.summary()},
          runs_.listed(),
          largest_frame_bytes_};
}

}  // namespace varnock::account
