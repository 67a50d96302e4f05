// varnock's two channels subscribed on a bus, each message handed to an
// account as LCM delivers it.
#ifndef VARNOCK_RECEIVE_SUBSCRIPTION_H_
#define VARNOCK_RECEIVE_SUBSCRIPTION_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "account/account.h"
#include "platform/clock.h"

namespace varnock::receive {

// Told of each corrupt message: its channel and what is wrong with it.
using ProblemSink = std::function<void(std::string_view channel, std::string_view problem)>;

// RECSTAT and TFIMAGE subscribed to `account`, with `clock` telling the
// handlers the time; unsubscribed when destroyed. The frame handler takes
// `handler_ns` longer than it needs, as a slow subscriber would. Handlers
// run in the thread that calls lcm_handle on `bus`.
class Subscription {
 public:
  Subscription(lcm_t* bus, account::Account& account, Clock& clock, ProblemSink problems,
               int64_t handler_ns = 0);
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // False when LCM could not subscribe (it could not set up receiving).
  bool subscribed() const { return status_ != nullptr && frames_ != nullptr; }

  struct Handlers;  // what LCM's callbacks are given

 private:
  lcm_t* bus_;
  std::unique_ptr<Handlers> handlers_;
  lcm_subscription_t* status_;
  lcm_subscription_t* frames_;
};

}  // namespace varnock::receive

#endif  // VARNOCK_RECEIVE_SUBSCRIPTION_H_
