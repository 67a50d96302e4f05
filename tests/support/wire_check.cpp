#include "tests/support/wire_check.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace varnock::testing {
namespace {

constexpr size_t kStatusSize = 63;

constexpr std::array<uint8_t, 8> kStatusFingerprint = {0xC5, 0x88, 0x20, 0x5A,
                                                       0x3F, 0xCE, 0xD5, 0x97};
constexpr std::array<uint8_t, 8> kFrameFingerprint = {0xA3, 0x48, 0xF4, 0x25,
                                                      0x0C, 0x8B, 0x9C, 0xEF};
// Bytes 16-62 of every status record: int_a 0, 20.0, 0.5, 0.0, 1, 1, 10, 1, 2, 3, 0.
constexpr std::array<uint8_t, 47> kStatusTail = {
    0x00, 0x00, 0x00, 0x00, 0x40, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xE0, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x0A, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
// Bytes 16-39 of every frame: int_a 0, width, height, 1, 1, width * height
// (for varnock's 1280 x 1280: 00000000 00000500 00000500 00000001 00000001 00190000).
std::array<uint8_t, 24> frame_header_tail(int32_t width, int32_t height) {
  std::array<uint8_t, 24> tail{};
  const int64_t pixels = int64_t{width} * height;
  const int64_t fields[] = {0, width, height, 1, 1, pixels};
  for (size_t f = 0; f < 6; ++f) {
    for (size_t b = 0; b < 4; ++b) {
      tail[4 * f + b] = static_cast<uint8_t>(static_cast<uint64_t>(fields[f]) >> (24 - 8 * b));
    }
  }
  return tail;
}

template <size_t N>
bool same(const uint8_t* p, const std::array<uint8_t, N>& expected) {
  return std::memcmp(p, expected.data(), N) == 0;
}

int64_t read_i64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return static_cast<int64_t>(v);
}

}  // namespace

std::string check_status(std::span<const uint8_t> bytes, int64_t* timestamp) {
  if (bytes.size() != kStatusSize)
    return "status record of " + std::to_string(bytes.size()) + " bytes";
  if (!same(bytes.data(), kStatusFingerprint)) return "status record fingerprint";
  if (!same(bytes.data() + 16, kStatusTail)) return "status record fields after the timestamp";
  *timestamp = read_i64(bytes.data() + 8);
  return "";
}

std::string check_frame(std::span<const uint8_t> bytes, int32_t period, int64_t* timestamp_ms,
                        int32_t width, int32_t height) {
  const int64_t pixel_count = int64_t{width} * height;
  if (width < 1 || height < 1 || static_cast<int64_t>(bytes.size()) != 40 + pixel_count) {
    return "frame of " + std::to_string(bytes.size()) + " bytes for " + std::to_string(width) +
           " x " + std::to_string(height) + " pixels";
  }
  if (!same(bytes.data(), kFrameFingerprint)) return "frame fingerprint";
  if (!same(bytes.data() + 16, frame_header_tail(width, height))) return "frame header fields";
  const uint8_t* pixels = bytes.data() + 40;
  size_t next_lit = 0;
  for (size_t i = 0; i < static_cast<size_t>(pixel_count); ++i) {
    const bool lit = (i == next_lit);
    if (lit) next_lit += static_cast<size_t>(period);
    if (pixels[i] != (lit ? 255 : 0)) {
      return "pixel " + std::to_string(i) + " is " + std::to_string(pixels[i]) + " for period " +
             std::to_string(period);
    }
  }
  *timestamp_ms = read_i64(bytes.data() + 8);
  return "";
}

int32_t frame_period(std::span<const uint8_t> bytes, int64_t pixels) {
  if (pixels < 1 || static_cast<int64_t>(bytes.size()) != 40 + pixels) return -1;
  const uint8_t* first = bytes.data() + 40;
  const uint8_t* end = first + pixels;
  const uint8_t* second = std::find(first + 1, end, uint8_t{255});
  return second == end ? -1 : static_cast<int32_t>(second - first);
}

}  // namespace varnock::testing
