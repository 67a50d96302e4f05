// Test-pattern frames against a plain per-byte reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "pattern/frames.h"

namespace varnock {
namespace {

constexpr int32_t kPixels = kFramePixels;
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

std::vector<uint8_t> reference_pattern(int32_t period, int32_t pixels = kPixels) {
  std::vector<uint8_t> p(static_cast<size_t>(pixels));
  for (int32_t i = 0; i < pixels; ++i) p[static_cast<size_t>(i)] = (i % period == 0) ? 255 : 0;
  return p;
}

// Index of the first byte that differs, or -1.
int64_t first_difference(std::span<const uint8_t> a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return static_cast<int64_t>(i);
  }
  return -1;
}

TEST(TestPattern, FramesMatchReferenceOverConsecutiveCycles) {
  struct Case {
    int32_t first_period;
    int cycles;
  };
  const Case cases[] = {
      {60, 3}, {1, 3}, {1278, 4}, {63, 70}, {kPixels - 2, 4}, {kMax - 2, 4},
  };
  for (const Case& c : cases) {
    TestPatternFrames frames(c.first_period);
    for (int k = 0; k < c.cycles; ++k) {
      const int64_t expected = std::min<int64_t>(int64_t{c.first_period} + k, kMax);
      SCOPED_TRACE(::testing::Message() << "first period " << c.first_period << ", cycle " << k);
      const tfimage_t& f = frames.next(1000 + k);
      EXPECT_EQ(first_difference(f.data, reference_pattern(static_cast<int32_t>(expected))), -1);
    }
  }
}

TEST(TestPattern, FirstTwoFramesOfARun) {
  TestPatternFrames frames;
  const tfimage_t& first = frames.next(0);
  EXPECT_EQ(first.data[0], 255);
  EXPECT_EQ(first.data[60], 255);
  EXPECT_EQ(first.data[61], 0);
  EXPECT_EQ(first.data[120], 255);
  const tfimage_t& second = frames.next(0);
  EXPECT_EQ(second.data[0], 255);
  EXPECT_EQ(second.data[60], 0);
  EXPECT_EQ(second.data[61], 255);
  EXPECT_EQ(second.data[120], 0);
  EXPECT_EQ(second.data[122], 255);
}

TEST(TestPattern, HeaderAndStorageEveryCycle) {
  TestPatternFrames frames;
  const uint8_t* storage = nullptr;
  for (int64_t ms : {int64_t{1'700'000'000'123}, int64_t{1'700'000'000'125}}) {
    const tfimage_t& f = frames.next(ms);
    EXPECT_EQ(f.timestamp, ms);
    EXPECT_EQ(f.int_a, 0);
    EXPECT_EQ(f.width, 1280);
    EXPECT_EQ(f.height, 1280);
    EXPECT_EQ(f.int_b, 1);
    EXPECT_EQ(f.int_c, 1);
    EXPECT_EQ(f.size, kPixels);
    EXPECT_EQ(f.data.size(), static_cast<size_t>(kPixels));
    EXPECT_EQ(f.encoded_size(), 1'638'440);
    if (storage != nullptr) {
      EXPECT_EQ(f.data.data(), storage) << "pixel storage was reallocated";
    }
    storage = f.data.data();
  }
}

TEST(TestPattern, PeriodStopsAtLargestValueAndNeverReachesZero) {
  TestPatternFrames frames(kMax - 1);
  frames.next(0);
  EXPECT_EQ(frames.period(), kMax);
  for (int i = 0; i < 3; ++i) {
    frames.next(0);
    EXPECT_EQ(frames.period(), kMax);
  }
}

TEST(TestPattern, FirstPeriodBelowOneIsRefused) {
  for (const int32_t period : {0, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_THROW(TestPatternFrames{period}, std::invalid_argument) << period;
  }
}

TEST(TestPattern, FramesOfOtherSizes) {
  struct Case {
    FrameSize size;
    int32_t first_period;
  };
  // Periods run past the last pixel, where only byte 0 stays lit.
  const Case cases[] = {
      {{640, 480}, 60}, {{1, 1}, 60}, {{7, 3}, 19}, {{3, 7}, 1}, {{100'000, 1}, 60}};
  for (const Case& c : cases) {
    const auto pixels = static_cast<int32_t>(c.size.pixels());
    SCOPED_TRACE(::testing::Message() << c.size.width << " x " << c.size.height);
    TestPatternFrames frames(c.size, c.first_period);
    for (int k = 0; k < 4; ++k) {
      const tfimage_t& f = frames.next(1000 + k);
      EXPECT_EQ(f.width, c.size.width);
      EXPECT_EQ(f.height, c.size.height);
      EXPECT_EQ(f.size, pixels);
      EXPECT_EQ(f.encoded_size(), 40 + int64_t{pixels});
      EXPECT_EQ(first_difference(f.data, reference_pattern(c.first_period + k, pixels)), -1);
    }
  }
}

TEST(TestPattern, FrameSizes) {
  struct Case {
    int64_t width;
    int64_t height;
    bool makes_a_frame;
  };
  constexpr int64_t kMost = kMax - 40;  // the size field, and 40 bytes more, fit an int32
  const Case cases[] = {
      {1280, 1280, true},
      {1, 1, true},
      {kMost, 1, true},
      {1, kMost, true},
      {65'536, 32'767, true},  // 2,147,418,112
      {kMost + 1, 1, false},
      {46'341, 46'341, false},  // 2,147,488,281
      {0, 1, false},
      {1, 0, false},
      {-1, -1, false},
      {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
    EXPECT_EQ(frame_size_problem(c.width, c.height).empty(), c.makes_a_frame);
  }
  EXPECT_THROW((TestPatternFrames{FrameSize{0, 480}}), std::invalid_argument);
  EXPECT_THROW((TestPatternFrames{FrameSize{46'341, 46'341}}), std::invalid_argument);
  EXPECT_THROW((TestPatternFrames{FrameSize{640, 480}, 0}), std::invalid_argument);
}

TEST(TestPattern, ReleaseThenNextRedrawsFromScratch) {
  TestPatternFrames frames;
  frames.next(0);
  frames.release();
  const tfimage_t& f = frames.next(0);
  EXPECT_EQ(first_difference(f.data, reference_pattern(61)), -1);
}

}  // namespace
}  // namespace varnock
