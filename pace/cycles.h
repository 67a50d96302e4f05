// What one cycle of varnock-pace publishes: varnock's frames, or the stream
// of --messages. One thread, the run's.
#ifndef VARNOCK_PACE_CYCLES_H_
#define VARNOCK_PACE_CYCLES_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "messages/cycle.h"
#include "messages/stream_message_t.h"
#include "pace/options.h"
#include "pattern/frames.h"
#include "platform/clock.h"

namespace varnock::pace {

// What one cycle handed to LCM, and how much of it LCM took.
struct Sent {
  int64_t offered = 0;
  int64_t taken = 0;
};

// Each cycle a status record on RECSTAT, then a frame on TFIMAGE, stamped at
// least 2 ms after the last.
class FrameCycles {
 public:
  // Cycles start at least this far apart.
  static constexpr int64_t kMinGapNs = kPauseNanoseconds;

  explicit FrameCycles(FrameSize size) : frames_(size) {}

  // Reads the wall clock for the cycle about to start; returns its calendar
  // second, for the rate lines.
  int64_t start(Clock& clock);
  // Publishes the cycle started last.
  Sent publish(lcm_t* bus, Clock& clock);

 private:
  TestPatternFrames frames_;
  int64_t stamp_ms_ = std::numeric_limits<int64_t>::min() / 2;
};

// The way a message reaches the bus: lcm_publish, or a test's stand-in.
using PublishFunction = int (*)(lcm_t*, const char*, const void*, unsigned int);

// Each cycle one stream_message_t of options.message_bytes on each of
// options.channels channels, VARNOCK_MSG_0 up, each with its own sequence,
// which moves on only when LCM takes a message: a refused message's number
// goes to the channel's next, so that a receiver's received and lost add up
// to the messages sent. Each message is stamped as it is handed to LCM, the
// first with the cycle's start.
class MessageCycles {
 public:
  static constexpr int64_t kMinGapNs = 0;

  // `publisher`: this run's id, not 0; `run_start_ns`: its start on the
  // wall clock.
  MessageCycles(const Options& options, int64_t publisher, int64_t run_start_ns,
                PublishFunction publish = lcm_publish);

  // As FrameCycles::start; the seconds never go back, so that the rate lines
  // go forward through a clock step.
  int64_t start(Clock& clock);
  Sent publish(lcm_t* bus, Clock& clock);

 private:
  StreamMessageWriter writer_;
  PublishFunction publish_;
  std::vector<std::string> channels_;
  std::vector<int64_t> sequences_;
  int64_t start_ns_ = 0;  // the wall clock as the cycle started
  int64_t second_ = std::numeric_limits<int64_t>::min();
};

// A random publisher id, never 0, so that a receiver tells this run's
// messages from those of any other run.
int64_t new_publisher_id();

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_CYCLES_H_
