#include "account/status_witness.h"

#include <algorithm>

#include "base/calendar.h"
#include "base/saturating.h"

namespace varnock::account {
namespace {

void add_to(LossBySecond* loss, int64_t second, int64_t frames) {
  if (!loss->empty() && loss->back().first == second) {
    loss->back().second += frames;
  } else {
    loss->emplace_back(second, frames);
  }
}

// Of the records counted lost, those a frame may still close: the loss of
// the last minutes or so, not an hour's.
constexpr size_t kReopened = 64;

}  // namespace

void StatusWitness::on_status(int64_t recv_ms, int64_t second) {
  if (waiting_.size() == kMaxWaiting) waiting_.pop_front();
  waiting_.push_back({recv_ms, second});
}

void StatusWitness::note_lag(int64_t lag_ms) {
  const double lag = static_cast<double>(std::clamp<int64_t>(lag_ms, 0, kMaxWaitMs));
  lag_ms_ += (lag - lag_ms_) / 8;
}

int64_t StatusWitness::wait_ms() const {
  return std::clamp(static_cast<int64_t>(3 * lag_ms_), kWaitMs, kMaxWaitMs);
}

LossBySecond StatusWitness::close(int64_t frames, int64_t now_ms, int64_t from_stamp_ms,
                                  int64_t to_stamp_ms, int64_t* unmatched) {
  LossBySecond taken;
  const int64_t first = second_of(from_stamp_ms);
  const int64_t last = second_of(to_stamp_ms);
  // One frame received tells how long frames lag their records, at least:
  // since the newest record of its second. A gap's frames closing records
  // tell nothing of it.
  bool one = frames == 1;
  if (one) {
    for (auto r = waiting_.rbegin(); r != waiting_.rend(); ++r) {
      if (r->second >= first && r->second <= last) {
        note_lag(saturating_sub(now_ms, r->recv_ms));
        one = false;
        break;
      }
    }
  }
  // Records of the frames' own seconds first; then of the seconds beside
  // them, where a record read just as a second began may belong (clocks read
  // coarsely or finely). Records left over in a second (their frames were
  // lost) stay there.
  const int64_t before = saturating_sub(first, 1);
  const int64_t after = saturating_add(last, 1);
  for (const bool beside : {false, true}) {
    const auto ours = [=](int64_t second) {
      return beside ? second == before || second == after : second >= first && second <= last;
    };
    auto w = witnessed_.begin() + static_cast<std::ptrdiff_t>(
                                      witnessed_.size() - std::min(witnessed_.size(), kReopened));
    while (frames > 0 && w != witnessed_.end()) {
      if (!ours(w->second)) {
        ++w;
        continue;
      }
      const int64_t n = std::min(w->frames, frames);
      add_to(&taken, w->recv_second, n);
      if (one) note_lag(saturating_sub(now_ms, saturating_mul(w->recv_second, 1000)));
      w->frames -= n;
      frames -= n;
      w = w->frames == 0 ? witnessed_.erase(w) : w + 1;
    }
    for (auto r = waiting_.begin(); frames > 0 && r != waiting_.end();) {
      if (!ours(r->second)) {
        ++r;
        continue;
      }
      r = waiting_.erase(r);
      --frames;
    }
  }
  if (unmatched != nullptr) *unmatched = std::max<int64_t>(frames, 0);
  return taken;
}

void StatusWitness::remember(const Record& r) {
  const int64_t recv_second = second_of(r.recv_ms);
  if (!witnessed_.empty() && witnessed_.back().recv_second == recv_second &&
      witnessed_.back().second == r.second) {
    ++witnessed_.back().frames;
    return;
  }
  witnessed_.push_back({recv_second, r.second, 1});
  if (witnessed_.size() > kHistorySeconds) witnessed_.pop_front();
}

int64_t StatusWitness::take_back(int64_t missing, int64_t from_ms, int64_t to_ms) {
  int64_t taken = 0;
  for (Witnessed& w : witnessed_) {
    if (taken == missing) break;
    if (w.recv_second < second_of(from_ms) || w.recv_second > second_of(to_ms)) continue;
    const int64_t n = std::min(w.frames, missing - taken);
    w.frames -= n;
    taken += n;
  }
  std::erase_if(witnessed_, [](const Witnessed& w) { return w.frames == 0; });
  return taken;
}

LossBySecond StatusWitness::expire(int64_t now_ms, bool last) {
  const int64_t wait =
      last ? std::clamp(static_cast<int64_t>(3 * lag_ms_), kLastWaitMs, kMaxWaitMs) : wait_ms();
  LossBySecond lost;
  // Records wait in the order they came, so the oldest expire first.
  while (!waiting_.empty() && saturating_sub(now_ms, waiting_.front().recv_ms) >= wait) {
    const Record r = waiting_.front();
    waiting_.pop_front();
    remember(r);
    add_to(&lost, second_of(r.recv_ms), 1);
  }
  return lost;
}

LossBySecond StatusWitness::expire_all() {
  LossBySecond lost;
  for (const Record& r : waiting_) {
    remember(r);
    add_to(&lost, second_of(r.recv_ms), 1);
  }
  waiting_.clear();
  return lost;
}

void StatusWitness::shift(int64_t delta_ms) {
  for (Record& r : waiting_) r.recv_ms = saturating_add(r.recv_ms, delta_ms);
  for (Witnessed& w : witnessed_) w.recv_second = saturating_add(w.recv_second, delta_ms / 1000);
}

}  // namespace varnock::account
