#include "pattern/frames.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace varnock {

namespace {

void set_multiples(uint8_t* pixels, int32_t period, uint8_t value) {
  if (period < 1) return;
  // 64-bit index: i + period must not overflow for periods near INT32_MAX.
  for (int64_t i = 0; i < TestPatternFrames::kPixels; i += period) pixels[i] = value;
}

}  // namespace

void redraw_pattern(uint8_t* pixels, int32_t from, int32_t to) {
  // Two patterns differ only at the multiples of their periods, so clearing
  // the old and lighting the new is the whole redraw.
  if (from > 0) set_multiples(pixels, from, 0);
  set_multiples(pixels, to, 255);
}

TestPatternFrames::TestPatternFrames(int32_t first_period) : period_(first_period) {
  if (first_period < 1) {
    throw std::invalid_argument("TestPatternFrames: first period " + std::to_string(first_period) +
                                " is below 1");
  }
}

tfimage_t& TestPatternFrames::next(int64_t wall_ms) {
  frame_.timestamp = wall_ms;
  frame_.width = kWidth;
  frame_.height = kHeight;
  frame_.int_b = 1;
  frame_.int_c = 1;
  frame_.size = kPixels;

  if (drawn_ == 0) frame_.data.assign(kPixels, 0);
  redraw_pattern(frame_.data.data(), drawn_, period_);
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
