#include "receive/subscription.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "messages/cycle.h"
#include "messages/stream_message_t.h"

namespace varnock::receive {

struct Subscription::Handlers {
  account::Account* account;
  Clock* clock;
  ProblemSink problems;
  int64_t handler_ns;
  account::StreamAccount* streams;
};

namespace {

using Handlers = Subscription::Handlers;

std::span<const uint8_t> bytes_of(const lcm_recv_buf_t* rbuf) {
  return {static_cast<const uint8_t*>(rbuf->data), rbuf->data_size};
}

void tell(const Handlers* h, const char* channel, std::string_view problem) {
  if (!problem.empty() && h->problems) h->problems(channel, problem);
}

void take_time(Handlers* h) {
  if (h->handler_ns > 0) h->clock->sleep_until(h->clock->monotonic_nanoseconds() + h->handler_ns);
}

void on_status(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  tell(h, channel,
       h->account->on_status(bytes_of(rbuf), rbuf->recv_utime, h->clock->wall_milliseconds()));
  take_time(h);
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  tell(h, channel,
       h->account->on_frame(bytes_of(rbuf), rbuf->recv_utime, h->clock->wall_milliseconds()));
  take_time(h);
}

// Decodes and checks the message; "" when it is whole.
std::string decode(const lcm_recv_buf_t* rbuf, stream_message_t* m) {
  const char* why = nullptr;
  if (!stream_message_t::decode(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size, m,
                                &why)) {
    return why != nullptr ? why : "it does not decode";
  }
  return stream_payload_problem(m->publisher, m->sequence, m->payload);
}

void on_stream(const lcm_recv_buf_t* rbuf, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  const int64_t now_ns = h->clock->wall_nanoseconds();
  // Subscribed by their names, so the name is always a stream's.
  if (const int k = stream_channel_number(channel); k >= 0) {
    account::StreamArrival m;
    m.channel = k;
    m.recv_utime = rbuf->recv_utime;
    m.handler_utime = now_ns / 1000;
    stream_message_t decoded;
    const std::string problem = decode(rbuf, &decoded);
    m.valid = problem.empty();
    if (m.valid) {
      m.header = {decoded.publisher, decoded.run_start_ns, decoded.sequence, decoded.send_time_ns};
    }
    h->streams->on_message(m, now_ns / 1'000'000);
    tell(h, channel, problem);
  }
  take_time(h);
}

lcm_subscription_t* subscribe(lcm_t* bus, const char* channel, lcm_msg_handler_t handler,
                              Handlers* h, int queue_capacity) {
  lcm_subscription_t* s = lcm_subscribe(bus, channel, handler, h);
  if (s != nullptr && queue_capacity > 0) lcm_subscription_set_queue_capacity(s, queue_capacity);
  return s;
}

}  // namespace

int stream_channel_number(std::string_view channel) {
  const std::string_view prefix = kStreamChannelPrefix;
  if (!channel.starts_with(prefix)) return -1;
  const std::string_view digits = channel.substr(prefix.size());
  if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return -1;
  int k = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    k = k * 10 + (c - '0');
  }
  return k < kMaxStreamChannels ? k : -1;
}

Subscription::Subscription(lcm_t* bus, account::Account& account, Clock& clock,
                           ProblemSink problems, const SubscriptionSettings& settings)
    : bus_(bus),
      handlers_(std::make_unique<Handlers>(
          Handlers{&account, &clock, std::move(problems), settings.handler_ns, settings.streams})),
      frames_wanted_(settings.frames) {
  if (frames_wanted_) {
    status_ = subscribe(bus, kStatusChannel, on_status, handlers_.get(), settings.queue_capacity);
    frames_ = subscribe(bus, kImageChannel, on_frame, handlers_.get(), settings.queue_capacity);
  }
  if (settings.streams == nullptr) return;
  // A subscription, so a queue, for each channel, as a control loop's
  // subscriber has: one pattern for them all would share one queue.
  streams_.reserve(kMaxStreamChannels);
  for (int k = 0; k < kMaxStreamChannels; ++k) {
    const std::string name = kStreamChannelPrefix + std::to_string(k);
    streams_.push_back(subscribe(bus, name.c_str(), on_stream, handlers_.get(),
                                 stream_queue(settings.queue_capacity)));
  }
}

Subscription::~Subscription() {
  for (lcm_subscription_t* s : streams_) {
    if (s != nullptr) lcm_unsubscribe(bus_, s);
  }
  for (lcm_subscription_t* s : {frames_, status_}) {
    if (s != nullptr) lcm_unsubscribe(bus_, s);
  }
}

bool Subscription::subscribed() const {
  return (!frames_wanted_ || (status_ != nullptr && frames_ != nullptr)) &&
         std::find(streams_.begin(), streams_.end(), nullptr) == streams_.end();
}

}  // namespace varnock::receive
