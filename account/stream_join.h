// The stream account's rows joined to the Account's by second, so that each
// row written carries both. One thread at a time.
#ifndef VARNOCK_ACCOUNT_STREAM_JOIN_H_
#define VARNOCK_ACCOUNT_STREAM_JOIN_H_

#include <cstddef>
#include <deque>
#include <vector>

#include "account/account.h"
#include "account/stream_account.h"

namespace varnock::account {

// A stream row settles when its second is two seconds old, the Account's
// row of the same second as late as ten: stream rows are held, in the order
// they came, until the Account's row of their second is written. A stream
// row whose second gets no Account row of its own (a clock step, a stop
// longer than the Account keeps rows for) goes with the next Account row
// written, or the last one. Rows that go together are folded, channel by
// channel: counts add up; times are the newest row's that has any (a
// percentile of several seconds cannot be made from theirs).
class StreamJoin {
 public:
  // Held rows beyond this fold the oldest two into one.
  static constexpr size_t kMaxHeld = 64;

  // Holds `rows`, oldest first, as StreamAccount::advance or finish return them.
  void hold(std::vector<StreamSecond> rows);

  // Sets r.messages to the held rows of r.second and before (every held row
  // when `last`), folded, and lets them go.
  void join(SecondReport& r, bool last = false);

  size_t held() const { return held_.size(); }

 private:
  std::deque<StreamSecond> held_;
};

// Adds `newer` into `to`, channel by channel, as StreamJoin folds rows.
void fold(std::vector<StreamChannelFigures>& to, const std::vector<StreamChannelFigures>& newer);

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_STREAM_JOIN_H_
