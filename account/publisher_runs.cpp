#include "account/publisher_runs.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/saturating.h"

namespace varnock::account {
namespace {

// Stamps are whole milliseconds, so g cycles of at least 2 ms each show as at
// least 2g - 1 ms; a millisecond more is forgiven, for a publisher that read
// its clock late in one cycle and on time in the next.
bool room_for_cycles(int64_t cycles, int64_t elapsed_ms) {
  return elapsed_ms >= 0 && 2 * cycles - 2 <= elapsed_ms;
}

}  // namespace

bool RunTracker::offset_fits(const Run& r, int64_t offset_ms) {
  return !r.offset_known ||
         (offset_ms >= saturating_sub(r.min_offset_ms, kEarlierOffsetMs) &&
          offset_ms <=
              saturating_add(r.min_offset_ms, saturating_add(kLaterOffsetMs, r.stalled_ms)));
}

double RunTracker::shown_pace(int64_t pixels) {
  // The median of the paces shown: one publisher of another rate among
  // several alike moves it little.
  paces_.clear();
  for (const Run& r : runs_) {
    if (r.pixels == pixels && r.cycle_ms > 0) paces_.push_back(r.cycle_ms);
  }
  if (paces_.empty()) return 0;
  const auto middle = paces_.begin() + static_cast<std::ptrdiff_t>(paces_.size() / 2);
  std::nth_element(paces_.begin(), middle, paces_.end());
  return *middle;
}

RunTracker::Run* RunTracker::best_continuation(int64_t seq, int64_t stamp_ms, int64_t offset_ms,
                                               int64_t pixels) {
  const double shown = shown_pace(pixels);
  Run* best = nullptr;
  double best_misfit = 0;
  int64_t best_cycles = 0;
  int64_t best_elapsed = 0;
  for (Run& r : runs_) {
    if (r.pixels != pixels || !offset_fits(r, offset_ms)) continue;
    const int64_t cycles = seq - r.last;
    const int64_t elapsed = saturating_sub(stamp_ms, r.last_stamp_ms);
    if (cycles < 1 || !room_for_cycles(cycles, elapsed)) continue;
    const double pace = r.cycle_ms > 0 ? r.cycle_ms : shown;
    bool better = best == nullptr;
    double misfit = 0;
    if (pace > 0) {
      // How far the stamp is from where the run's pace would put it, and a
      // cycle's worth for every frame the choice would call lost: of two
      // publishers at one rate, one whose frames were lost for a while would
      // otherwise fit the other's frames as well as their own run does.
      misfit = std::fabs(static_cast<double>(elapsed) - static_cast<double>(cycles) * pace) +
               static_cast<double>(cycles - 1) * pace;
      better = better || misfit < best_misfit || (misfit == best_misfit && r.last > best->last);
    } else {
      // No run has shown a pace: of publishers started apart at one rate,
      // the frame's own run is the one that has waited longest for it.
      better = better || cycles < best_cycles || (cycles == best_cycles && elapsed > best_elapsed);
    }
    if (better) {
      best = &r;
      best_misfit = misfit;
      best_cycles = cycles;
      best_elapsed = elapsed;
    }
  }
  return best;
}

void RunTracker::start(int64_t seq, int64_t stamp_ms, int64_t recv_ms, int64_t pixels) {
  if (runs_.size() == kMaxRuns) {
    // Silent runs have retired in add(): every run left is live.
    runs_.erase(std::min_element(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) {
      return a.last_recv_ms < b.last_recv_ms;
    }));
    ++live_runs_retired_;
  }
  Run& r = runs_.emplace_back();
  r.pixels = pixels;
  r.min_offset_ms = saturating_sub(recv_ms, stamp_ms);
  r.first = seq;
  r.first_stamp_ms = stamp_ms;
  r.counted_from = seq;
  r.last = seq;
  r.last_stamp_ms = stamp_ms;
  r.last_recv_ms = recv_ms;
  r.slot(seq) = {seq, stamp_ms};
  if (listed_.size() < kListed) {
    r.listed = listed_.size();
    listed_.push_back({seq, seq});
  }
  ++runs_started_;
}

FrameOutcome RunTracker::add(int64_t seq, int64_t stamp_ms, int64_t recv_ms, int64_t pixels) {
  std::erase_if(runs_,
                [&](const Run& r) { return saturating_sub(recv_ms, r.last_recv_ms) > kRetireMs; });

  const int64_t offset = saturating_sub(recv_ms, stamp_ms);
  if (Run* r = best_continuation(seq, stamp_ms, offset, pixels); r != nullptr) {
    const int64_t cycles = seq - r->last;
    const int64_t elapsed = saturating_sub(stamp_ms, r->last_stamp_ms);
    FrameOutcome out{FrameOutcome::kContinued, cycles - 1, r->last_stamp_ms, r->last_recv_ms};
    const double per_cycle = static_cast<double>(elapsed) / static_cast<double>(cycles);
    // The first pace shown is taken whole; later ones move it gently.
    const double pace = r->cycle_ms > 0 ? r->cycle_ms + (per_cycle - r->cycle_ms) / 8 : per_cycle;
    r->cycle_ms = std::clamp(pace, 1.0, 60'000.0);
    r->min_offset_ms = r->offset_known ? std::min(r->min_offset_ms, offset) : offset;
    r->offset_known = true;
    r->last = seq;
    r->last_stamp_ms = stamp_ms;
    r->last_recv_ms = recv_ms;
    r->slot(seq) = {seq, stamp_ms};
    if (r->listed < kListed) listed_[r->listed].last = seq;
    return out;
  }

  for (Run& r : runs_) {
    if (r.pixels != pixels || !offset_fits(r, offset)) continue;
    if (seq >= r.first && seq <= r.last &&
        room_for_cycles(r.last - seq, saturating_sub(r.last_stamp_ms, stamp_ms))) {
      // Too far back to tell a late frame from a repeated one: a repeat is
      // the likelier, and it changes no count but its own.
      if (r.last - seq >= kWindow) return {FrameOutcome::kDuplicate};
      Seen& s = r.slot(seq);
      if (s.seq != seq) {
        s = {seq, stamp_ms};
        // Below where the run's gaps were first counted, nothing was.
        return {seq >= r.counted_from ? FrameOutcome::kLate : FrameOutcome::kEarly};
      }
      if (s.stamp_ms == stamp_ms) return {FrameOutcome::kDuplicate};
    } else if (seq < r.first && r.first - seq < kWindow &&
               room_for_cycles(r.first - seq, saturating_sub(r.first_stamp_ms, stamp_ms))) {
      // From before the run's first frame: the run began earlier than it
      // seemed, and nothing had been counted missing there.
      r.first = seq;
      r.first_stamp_ms = stamp_ms;
      r.slot(seq) = {seq, stamp_ms};
      if (r.listed < kListed) listed_[r.listed].first = seq;
      return {FrameOutcome::kEarly};
    }
  }

  start(seq, stamp_ms, recv_ms, pixels);
  return {FrameOutcome::kStarted};
}

void RunTracker::stalled(int64_t stalled_ms) {
  for (Run& r : runs_) {
    r.last_recv_ms = saturating_add(r.last_recv_ms, stalled_ms);
    r.stalled_ms = saturating_add(r.stalled_ms, stalled_ms);
  }
}

void RunTracker::shift(int64_t delta_ms) {
  for (Run& r : runs_) {
    r.last_recv_ms = saturating_add(r.last_recv_ms, delta_ms);
    r.offset_known = false;
  }
}

}  // namespace varnock::account
