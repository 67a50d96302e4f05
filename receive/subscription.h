// varnock's channels subscribed on a bus, each message handed to an account
// as LCM delivers it.
#ifndef VARNOCK_RECEIVE_SUBSCRIPTION_H_
#define VARNOCK_RECEIVE_SUBSCRIPTION_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "account/account.h"
#include "account/stream_account.h"
#include "platform/clock.h"

namespace varnock::receive {

// Told of each corrupt message: its channel and what is wrong with it.
using ProblemSink = std::function<void(std::string_view channel, std::string_view problem)>;

// k of a stream channel "VARNOCK_MSG_<k>": decimal digits without a leading
// zero, 0 to 255; -1 for any other name.
int stream_channel_number(std::string_view channel);

// A stream channel's queue when none is asked for: at 20 kHz, a few
// milliseconds of the subscriber's own work between dispatches would fill
// LCM's 30 and lose messages to the checker rather than to the bus.
inline constexpr int kStreamQueue = 100'000;

// The queue a stream channel's subscription gets with `queue_capacity`.
inline int stream_queue(int queue_capacity) {
  return queue_capacity > 0 ? queue_capacity : kStreamQueue;
}

struct SubscriptionSettings {
  // Every handler takes this much longer than it needs, as a slow
  // subscriber's would.
  int64_t handler_ns = 0;
  // The queue LCM keeps for each subscription
  // (lcm_subscription_set_queue_capacity); 0 leaves LCM's own, 30 messages,
  // for RECSTAT and TFIMAGE, and kStreamQueue for each stream channel.
  int queue_capacity = 0;
  // RECSTAT and TFIMAGE are subscribed.
  bool frames = true;
  // When set, each stream channel VARNOCK_MSG_0 to VARNOCK_MSG_255 is
  // subscribed on its own to it, so each has a queue of its own (the
  // account's model of LCM's queue).
  account::StreamAccount* streams = nullptr;
};

// RECSTAT and TFIMAGE (unless settings.frames is false) and the streams
// (when asked) subscribed to `account`,
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

  struct Handlers;  // what LCM's callbacks are given

 private:
  lcm_t* bus_;
  std::unique_ptr<Handlers> handlers_;
  bool frames_wanted_;
  lcm_subscription_t* status_ = nullptr;
  lcm_subscription_t* frames_ = nullptr;
  std::vector<lcm_subscription_t*> streams_;
};

}  // namespace varnock::receive

#endif  // VARNOCK_RECEIVE_SUBSCRIPTION_H_
