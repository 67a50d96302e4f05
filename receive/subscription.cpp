#include "receive/subscription.h"

#include <cstdio>
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
  int64_t ignored = 0;
};

namespace {

using Handlers = Subscription::Handlers;

constexpr char kStreamChannels[] = "VARNOCK_MSG_.*";

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

// The channel's number, or -1 after counting (and telling the first) a name
// that is none.
int channel_number(Handlers* h, const char* channel) {
  const int k = stream_channel_number(channel);
  if (k < 0 && h->ignored++ == 0) {
    std::fprintf(stderr,
                 "varnock-check: note: messages on %s are ignored: stream channels are "
                 "VARNOCK_MSG_0 to VARNOCK_MSG_%d\n",
                 channel, account::kMaxStreamChannels - 1);
  }
  return k;
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
  if (const int k = channel_number(h, channel); k >= 0) {
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

// Counts only, and never waits: it must keep up however slow the others are.
void on_witnessed(const lcm_recv_buf_t* /*rbuf*/, const char* channel, void* user) {
  auto* h = static_cast<Handlers*>(user);
  if (const int k = stream_channel_number(channel); k >= 0) {
    h->streams->on_witnessed(k, h->clock->wall_milliseconds());
  }
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
  return k < account::kMaxStreamChannels ? k : -1;
}

Subscription::Subscription(lcm_t* bus, account::Account& account, Clock& clock,
                           ProblemSink problems, const SubscriptionSettings& settings)
    : bus_(bus),
      handlers_(std::make_unique<Handlers>(
          Handlers{&account, &clock, std::move(problems), settings.handler_ns, settings.streams})),
      status_(subscribe(bus, kStatusChannel, on_status, handlers_.get(), settings.queue_capacity)),
      frames_(subscribe(bus, kImageChannel, on_frame, handlers_.get(), settings.queue_capacity)) {
  if (settings.streams == nullptr) return;
  streams_ = subscribe(bus, kStreamChannels, on_stream, handlers_.get(), settings.queue_capacity);
  // LCM's own queue, when none is set, is 30 messages.
  const int account_queue = settings.queue_capacity > 0 ? settings.queue_capacity : 30;
  witness_ = subscribe(bus, kStreamChannels, on_witnessed, handlers_.get(),
                       account_queue + kWitnessQueueMargin);
}

Subscription::~Subscription() {
  for (lcm_subscription_t* s : {witness_, streams_, frames_, status_}) {
    if (s != nullptr) lcm_unsubscribe(bus_, s);
  }
}

bool Subscription::subscribed() const {
  const bool streams =
      handlers_->streams == nullptr || (streams_ != nullptr && witness_ != nullptr);
  return status_ != nullptr && frames_ != nullptr && streams;
}

int64_t Subscription::ignored_channel_messages() const { return handlers_->ignored; }

}  // namespace varnock::receive
