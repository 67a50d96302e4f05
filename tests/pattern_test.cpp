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

constexpr int32_t kPixels = TestPatternFrames::kPixels;
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

std::vector<uint8_t> reference_pattern(int32_t period) {
  std::vector<uint8_t> p(kPixels);
  for (int32_t i = 0; i < kPixels; ++i) p[static_cast<size_t>(i)] = (i % period == 0) ? 255 : 0;
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

TEST(TestPattern, ReleaseThenNextRedrawsFromScratch) {
  TestPatternFrames frames;
  frames.next(0);
  frames.release();
  const tfimage_t& f = frames.next(0);
  EXPECT_EQ(first_difference(f.data, reference_pattern(61)), -1);
}

}  // namespace
}  // namespace varnock
