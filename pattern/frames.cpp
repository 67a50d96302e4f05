#include "pattern/frames.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace varnock {

namespace {

void set_multiples(uint8_t* pixels, int32_t count, int32_t period, uint8_t value) {
  if (period < 1) return;
  // 64-bit index: i + period must not overflow for periods near INT32_MAX.
  for (int64_t i = 0; i < count; i += period) pixels[i] = value;
}

void require_first_period(int32_t first_period) {
  if (first_period < 1) {
    throw std::invalid_argument("TestPatternFrames: first period " + std::to_string(first_period) +
                                " is below 1");
  }
}

}  // namespace

std::string frame_size_problem(int64_t width, int64_t height) {
  if (width < 1 || height < 1) {
    return "a frame needs a width and a height of at least 1 pixel, not " + std::to_string(width) +
           " x " + std::to_string(height);
  }
  // Divided rather than multiplied, so that no product can overflow.
  if (width > kMaxFramePixels / height) {
    return "a frame of " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels is larger than a frame can carry (" + std::to_string(kMaxFramePixels) +
           " bytes)";
  }
  return "";
}

void redraw_pattern(uint8_t* pixels, int32_t from, int32_t to, int32_t count) {
  // Two patterns differ only at the multiples of their periods, so clearing
  // the old and lighting the new is the whole redraw.
  if (from > 0) set_multiples(pixels, count, from, 0);
  set_multiples(pixels, count, to, 255);
}

TestPatternFrames::TestPatternFrames(int32_t first_period) : period_(first_period) {
  require_first_period(first_period);
}

TestPatternFrames::TestPatternFrames(FrameSize size, int32_t first_period)
    : width_(size.width), height_(size.height), period_(first_period) {
  if (const std::string problem = frame_size_problem(size.width, size.height); !problem.empty()) {
    throw std::invalid_argument("TestPatternFrames: " + problem);
  }
  pixels_ = static_cast<int32_t>(size.pixels());
  require_first_period(first_period);
}

tfimage_t& TestPatternFrames::next(int64_t wall_ms) {
  frame_.timestamp = wall_ms;
  frame_.width = width_;
  frame_.height = height_;
  frame_.int_b = 1;
  frame_.int_c = 1;
  frame_.size = pixels_;

  if (drawn_ == 0) frame_.data.assign(static_cast<size_t>(pixels_), 0);
  redraw_pattern(frame_.data.data(), drawn_, period_, pixels_);
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
