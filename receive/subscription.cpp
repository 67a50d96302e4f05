#include "receive/subscription.h"

#include <span>
#include <utility>

#include "messages/cycle.h"

namespace varnock::receive {

struct Subscription::Handlers {
  account::Account* account;
  Clock* clock;
  ProblemSink problems;
  int64_t handler_ns;
};

namespace {

using Handlers = Subscription::Handlers;

std::span<const uint8_t> bytes_of(const lcm_recv_buf_t* rbuf) {
  return {static_cast<const uint8_t*>(rbuf->data), rbuf->data_size};
}

void tell(const Handlers* h, const char* channel, std::string_view problem) {
  if (!problem.empty() && h->problems) h->problems(channel, problem);
}

void on_status(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  tell(h, channel,
       h->account->on_status(bytes_of(rbuf), rbuf->recv_utime, h->clock->wall_milliseconds()));
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  tell(h, channel,
       h->account->on_frame(bytes_of(rbuf), rbuf->recv_utime, h->clock->wall_milliseconds()));
  if (h->handler_ns > 0) h->clock->sleep_until(h->clock->monotonic_nanoseconds() + h->handler_ns);
}

}  // namespace

Subscription::Subscription(lcm_t* bus, account::Account& account, Clock& clock,
                           ProblemSink problems, int64_t handler_ns)
    : bus_(bus),
      handlers_(
          std::make_unique<Handlers>(Handlers{&account, &clock, std::move(problems), handler_ns})),
      status_(lcm_subscribe(bus, kStatusChannel, on_status, handlers_.get())),
      frames_(lcm_subscribe(bus, kImageChannel, on_frame, handlers_.get())) {}

Subscription::~Subscription() {
  if (frames_ != nullptr) lcm_unsubscribe(bus_, frames_);
  if (status_ != nullptr) lcm_unsubscribe(bus_, status_);
}

}  // namespace varnock::receive
