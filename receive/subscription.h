// varnock's channels subscribed on a bus, each message handed to an account
// as LCM delivers it.
#ifndef VARNOCK_RECEIVE_SUBSCRIPTION_H_
#define VARNOCK_RECEIVE_SUBSCRIPTION_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "account/account.h"
#include "account/stream_account.h"
#include "platform/clock.h"

namespace varnock::receive {

// Told of each corrupt message: its channel and what is wrong with it.
using ProblemSink = std::function<void(std::string_view channel, std::string_view problem)>;

// k of a stream channel "VARNOCK_MSG_<k>": decimal digits without a leading
// zero, 0 to 255; -1 for any other name.
int stream_channel_number(std::string_view channel);

// How much longer the witness's queue is than the account's: room for the
// messages that wait while the account's handlers are slow.
inline constexpr int kWitnessQueueMargin = 10'000;

struct SubscriptionSettings {
  // Every handler takes this much longer than it needs, as a slow
  // subscriber's would.
  int64_t handler_ns = 0;
  // The queue LCM keeps for each of the account's subscriptions
  // (lcm_subscription_set_queue_capacity); 0 leaves LCM's own, 30 messages.
  // At most INT_MAX - kWitnessQueueMargin.
  int queue_capacity = 0;
  // When set, "VARNOCK_MSG_.*" is subscribed to it as well, and once more
  // for the witness (StreamAccount::on_witnessed), whose queue is
  // kWitnessQueueMargin longer than the account's and whose handler never
  // waits: what it got beyond the account's handler is what LCM's queue
  // discarded for the account.
  account::StreamAccount* streams = nullptr;
};

// RECSTAT and TFIMAGE (and the streams, when asked) subscribed to `account`,
// with `clock` telling the handlers the time; unsubscribed when destroyed.
// Handlers run in the thread that calls lcm_handle on `bus`.
class Subscription {
 public:
  Subscription(lcm_t* bus, account::Account& account, Clock& clock, ProblemSink problems,
               const SubscriptionSettings& settings = {});
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // False when LCM could not subscribe (it could not set up receiving).
  bool subscribed() const;

  // Messages on "VARNOCK_MSG_..." channels that name no stream channel
  // (stream_channel_number), ignored; the first is told on standard error.
  int64_t ignored_channel_messages() const;

  struct Handlers;  // what LCM's callbacks are given

 private:
  lcm_t* bus_;
  std::unique_ptr<Handlers> handlers_;
  lcm_subscription_t* status_;
  lcm_subscription_t* frames_;
  lcm_subscription_t* streams_ = nullptr;
  lcm_subscription_t* witness_ = nullptr;
};

}  // namespace varnock::receive

#endif  // VARNOCK_RECEIVE_SUBSCRIPTION_H_
