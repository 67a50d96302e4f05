#include "pace/cycles.h"

#include <algorithm>
#include <random>
#include <span>

#include "base/calendar.h"
#include "messages/encoding.h"

namespace varnock::pace {

int64_t FrameCycles::start(Clock& clock) {
  // Stamps stay 2 ms apart, as a cycle is, even when this one read the clock
  // late and the next on time: subscribers tell runs apart by them. The
  // status record and the rate lines take their frame's second, from the one
  // reading: after the clock steps back the stamps go on rising, and a record
  // read apart would no longer pair with its frame.
  stamp_ms_ = std::max(clock.wall_milliseconds(), stamp_ms_ + kMinGapNs / 1'000'000);
  return second_of(stamp_ms_);
}

Sent FrameCycles::publish(lcm_t* bus, Clock& /*clock*/) {
  recstat_t record = status_record(second_of(stamp_ms_));
  const int status_sent = publish_message(bus, kStatusChannel, record);
  const int frame_sent = publish_message(bus, kImageChannel, frames_.next(stamp_ms_));
  return {2, int64_t{status_sent == 0} + int64_t{frame_sent == 0}};
}

MessageCycles::MessageCycles(const Options& options, int64_t publisher, int64_t run_start_ns,
                             PublishFunction publish)
    : writer_(publisher, run_start_ns, options.message_bytes),
      publish_(publish),
      sequences_(static_cast<size_t>(std::max(options.channels, 0)), 0) {
  for (size_t k = 0; k < sequences_.size(); ++k) {
    channels_.push_back(kStreamChannelPrefix + std::to_string(k));
  }
}

int64_t MessageCycles::start(Clock& clock) {
  constexpr int64_t kNanosPerSecond = 1'000'000'000;
  start_ns_ = clock.wall_nanoseconds();
  second_ =
      std::max(second_, start_ns_ / kNanosPerSecond - (start_ns_ % kNanosPerSecond < 0 ? 1 : 0));
  return second_;
}

Sent MessageCycles::publish(lcm_t* bus, Clock& clock) {
  Sent sent;
  for (size_t k = 0; k < channels_.size(); ++k) {
    // The first message goes as the cycle starts: the clock read for its
    // second stamps it, one reading less a cycle for a run as fast as
    // possible to pay.
    const int64_t now_ns = k == 0 ? start_ns_ : clock.wall_nanoseconds();
    const std::span<const uint8_t> bytes = writer_.message(sequences_[k], now_ns);
    ++sent.offered;
    if (publish_(bus, channels_[k].c_str(), bytes.data(),
                 static_cast<unsigned int>(bytes.size())) == 0) {
      ++sequences_[k];
      ++sent.taken;
    }
  }
  return sent;
}

int64_t new_publisher_id() {
  std::random_device random;
  std::uniform_int_distribution<uint64_t> any;
  uint64_t id = 0;
  while (id == 0) id = any(random);
  return static_cast<int64_t>(id);
}

}  // namespace varnock::pace
