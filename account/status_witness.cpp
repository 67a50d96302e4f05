#include "account/status_witness.h"

#include <algorithm>

#include "account/saturating.h"

namespace varnock::account {

void StatusWitness::on_status(int64_t recv_ms) {
  if (waiting_.size() == kMaxWaiting) waiting_.pop_front();
  waiting_.push_back(recv_ms);
}

void StatusWitness::close(int64_t frames) {
  const auto n = static_cast<size_t>(std::clamp<int64_t>(frames, 0, std::ssize(waiting_)));
  waiting_.erase(waiting_.end() - static_cast<std::ptrdiff_t>(n), waiting_.end());
}

void StatusWitness::remember(int64_t second) {
  if (!witnessed_.empty() && witnessed_.back().first == second) {
    ++witnessed_.back().second;
    return;
  }
  witnessed_.emplace_back(second, 1);
  if (witnessed_.size() > kHistorySeconds) witnessed_.pop_front();
}

int64_t StatusWitness::take_back(int64_t missing, int64_t from_ms, int64_t to_ms) {
  int64_t taken = 0;
  for (auto& [second, lost] : witnessed_) {
    if (taken == missing) break;
    if (second < from_ms / 1000 || second > to_ms / 1000) continue;
    const int64_t n = std::min(lost, missing - taken);
    lost -= n;
    taken += n;
  }
  std::erase_if(witnessed_, [](const auto& w) { return w.second == 0; });
  return taken;
}

std::vector<std::pair<int64_t, int64_t>> StatusWitness::expire(int64_t now_ms, int64_t wait_ms) {
  std::vector<std::pair<int64_t, int64_t>> lost;
  while (!waiting_.empty() && saturating_sub(now_ms, waiting_.front()) >= wait_ms) {
    const int64_t second = waiting_.front() / 1000;
    waiting_.pop_front();
    remember(second);
    if (!lost.empty() && lost.back().first == second) {
      ++lost.back().second;
    } else {
      lost.emplace_back(second, 1);
    }
  }
  return lost;
}

void StatusWitness::shift(int64_t delta_ms) {
  for (int64_t& t : waiting_) t = saturating_add(t, delta_ms);
  for (auto& w : witnessed_) w.first = saturating_add(w.first, delta_ms / 1000);
}

}  // namespace varnock::account
