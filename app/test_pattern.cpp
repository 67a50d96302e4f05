#include "app/test_pattern.h"

#include <limits>

namespace varnock {

void TestPatternFrames::set_multiples(int32_t period, uint8_t value) {
  uint8_t* pixels = frame_.data.data();
  // 64-bit index: i + period must not overflow for periods near INT32_MAX.
  for (int64_t i = 0; i < kPixels; i += period) pixels[i] = value;
}

const tfimage_t& TestPatternFrames::next(int64_t wall_ms) {
  frame_.timestamp = wall_ms;
  frame_.width = kWidth;
  frame_.height = kHeight;
  frame_.int_b = 1;
  frame_.int_c = 1;
  frame_.size = kPixels;

  // The previous frame differs from this one only at the multiples of the two
  // periods, so clearing the old and lighting the new is the whole redraw.
  if (drawn_ == 0) {
    frame_.data.assign(kPixels, 0);
  } else {
    set_multiples(drawn_, 0);
  }
  set_multiples(period_, 255);
  drawn_ = period_;
  if (period_ < std::numeric_limits<int32_t>::max()) ++period_;
  return frame_;
}

void TestPatternFrames::release() {
  frame_.data.release();
  frame_.size = 0;
  drawn_ = 0;
}

}  // namespace varnock
