#include "account/stream_join.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace varnock::account {
namespace {

void take_known(TimePercentiles& to, const TimePercentiles& newer) {
  if (!std::isnan(newer.max)) to = newer;
}

}  // namespace

void fold(std::vector<StreamChannelFigures>& to, const std::vector<StreamChannelFigures>& newer) {
  for (const StreamChannelFigures& n : newer) {
    auto it = std::lower_bound(to.begin(), to.end(), n.channel,
                               [](const StreamChannelFigures& c, int k) { return c.channel < k; });
    if (it == to.end() || it->channel != n.channel) {
      to.insert(it, n);
      continue;
    }
    it->counts += n.counts;
    take_known(it->times.latency, n.times.latency);
    take_known(it->times.delivery, n.times.delivery);
    take_known(it->times.inter_arrival, n.times.inter_arrival);
  }
}

void StreamJoin::hold(std::vector<StreamSecond> rows) {
  for (StreamSecond& r : rows) held_.push_back(std::move(r));
  while (held_.size() > kMaxHeld) {
    fold(held_[0].channels, held_[1].channels);
    held_[1].channels = std::move(held_[0].channels);
    held_.pop_front();
  }
}

void StreamJoin::join(SecondReport& r, bool last) {
  r.messages.clear();
  while (!held_.empty() && (last || held_.front().second <= r.second)) {
    fold(r.messages, held_.front().channels);
    held_.pop_front();
  }
}

}  // namespace varnock::account
