// The run's image frame and its test pattern: a width x height image
// (kFrameWidth x kFrameHeight for varnock), one byte a pixel, lit (255) at every multiple of a
// period that grows by one a frame.
#ifndef VARNOCK_PATTERN_FRAMES_H_
#define VARNOCK_PATTERN_FRAMES_H_

#include <cstdint>
#include <limits>
#include <string>

#include "messages/tfimage_t.h"

namespace varnock {

// The most pixels a frame can carry: its `size` field is an int32, and so is
// its encoded size, 40 bytes more.
inline constexpr int64_t kMaxFramePixels = std::numeric_limits<int32_t>::max() - 40;

// A frame's dimensions in pixels.
struct FrameSize {
  int32_t width = kFrameWidth;
  int32_t height = kFrameHeight;
  int64_t pixels() const { return int64_t{width} * height; }
};

// "" when a frame of `width` x `height` can be made (each at least 1, their
// product at most kMaxFramePixels, computed without overflow); otherwise why not.
std::string frame_size_problem(int64_t width, int64_t height);

class TestPatternFrames {
 public:
  static constexpr int32_t kFirstPeriod = 60;

  // varnock's frames: kFrameWidth x kFrameHeight. Throws std::invalid_argument when
  // `first_period` is below 1, which has no pattern; nothing here catches
  // it, so a program given one ends.
  explicit TestPatternFrames(int32_t first_period = kFirstPeriod);
  // Frames of `size`; also throws std::invalid_argument when
  // frame_size_problem finds one. The pixels are allocated by the first next().
  explicit TestPatternFrames(FrameSize size, int32_t first_period = kFirstPeriod);

  // Refreshes the frame for this cycle (timestamp `wall_ms`, header fields,
  // the pattern of the current period) and advances the period, which stays
  // at INT32_MAX once there. Only the bytes that change are written. The
  // frame is the caller's to read and to encode in place (publish_message)
  // until the next call; its pixels must be left as they are, since the next
  // call redraws only what changes.
  tfimage_t& next(int64_t wall_ms);

  // The period the next frame will use.
  int32_t period() const { return period_; }

  // Frees the pixel storage; a later next() allocates it again.
  void release();

 private:
  tfimage_t frame_;
  int32_t width_ = kFrameWidth;
  int32_t height_ = kFrameHeight;
  int32_t pixels_ = kFramePixels;
  int32_t period_;
  int32_t drawn_ = 0;  // period whose pattern frame_.data holds; 0 for none
};

// Turns `pixels` (`count` bytes), which hold the pattern of period `from`
// (0: all zero), into the pattern of period `to` (> 0) by rewriting only the
// bytes at their multiples. A period below 1 has no multiples to write.
void redraw_pattern(uint8_t* pixels, int32_t from, int32_t to, int32_t count = kFramePixels);

}  // namespace varnock

#endif  // VARNOCK_PATTERN_FRAMES_H_
