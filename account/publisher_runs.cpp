#include "account/publisher_runs.h"

#include <algorithm>
#include <cmath>

#include "account/saturating.h"

namespace varnock::account {
namespace {

// Stamps are whole milliseconds, so g cycles of at least 2 ms each show as at
// least 2g - 1 ms.
bool room_for_cycles(int64_t cycles, int64_t elapsed_ms) {
  return elapsed_ms >= 0 && 2 * cycles - 1 <= elapsed_ms;
}

}  // namespace

RunTracker::Run* RunTracker::best_continuation(int64_t seq, int64_t stamp_ms) {
  Run* best = nullptr;
  double best_misfit = 0;
  for (Run& r : runs_) {
    const int64_t cycles = seq - r.last;
    const int64_t elapsed = saturating_sub(stamp_ms, r.last_stamp_ms);
    if (cycles < 1 || !room_for_cycles(cycles, elapsed)) continue;
    // How far the stamp is from where the run's pace would put it, and a
    // cycle's worth for every frame the choice would call lost: of two
    // publishers at one rate, one whose frames were lost for a while would
    // otherwise fit the other's frames as well as their own run does.
    const double misfit =
        std::fabs(static_cast<double>(elapsed) - static_cast<double>(cycles) * r.cycle_ms) +
        static_cast<double>(cycles - 1) * r.cycle_ms;
    if (best == nullptr || misfit < best_misfit || (misfit == best_misfit && r.last > best->last)) {
      best = &r;
      best_misfit = misfit;
    }
  }
  return best;
}

void RunTracker::start(int64_t seq, int64_t stamp_ms, int64_t recv_ms) {
  if (runs_.size() == kMaxRuns) {
    runs_.erase(std::min_element(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) {
      return a.last_recv_ms < b.last_recv_ms;
    }));
  }
  Run& r = runs_.emplace_back();
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

FrameOutcome RunTracker::add(int64_t seq, int64_t stamp_ms, int64_t recv_ms) {
  std::erase_if(runs_,
                [&](const Run& r) { return saturating_sub(recv_ms, r.last_recv_ms) > kRetireMs; });

  if (Run* r = best_continuation(seq, stamp_ms); r != nullptr) {
    const int64_t cycles = seq - r->last;
    const int64_t elapsed = saturating_sub(stamp_ms, r->last_stamp_ms);
    FrameOutcome out{FrameOutcome::kContinued, cycles - 1, r->last_stamp_ms, r->last_recv_ms};
    const double per_cycle = static_cast<double>(elapsed) / static_cast<double>(cycles);
    r->cycle_ms = std::clamp(r->cycle_ms + (per_cycle - r->cycle_ms) / 8, 2.0, 60'000.0);
    r->last = seq;
    r->last_stamp_ms = stamp_ms;
    r->last_recv_ms = recv_ms;
    r->slot(seq) = {seq, stamp_ms};
    if (r->listed < kListed) listed_[r->listed].last = seq;
    return out;
  }

  for (Run& r : runs_) {
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

  start(seq, stamp_ms, recv_ms);
  return {FrameOutcome::kStarted};
}

void RunTracker::shift(int64_t delta_ms) {
  for (Run& r : runs_) r.last_recv_ms = saturating_add(r.last_recv_ms, delta_ms);
}

}  // namespace varnock::account
