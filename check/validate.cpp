#include "check/validate.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "messages/encoding.h"
#include "messages/recstat_t.h"
#include "messages/tfimage_t.h"
#include "pattern/frames.h"

namespace varnock::check {
namespace {

constexpr size_t kFrameHeader = 8 + tfimage_t::kHeaderSize;
constexpr size_t kBlock = 4096;

uint32_t read_u32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int64_t read_i64(const uint8_t* p) {
  return static_cast<int64_t>((uint64_t{read_u32(p)} << 32) | read_u32(p + 4));
}

template <typename Message>
bool has_fingerprint(const uint8_t* p) {
  std::array<uint8_t, 8> expected{};
  store_big_endian<8>(expected.data(), Message::fingerprint);
  return std::memcmp(p, expected.data(), expected.size()) == 0;
}

// Bytes 20-62 of every status record, written out here rather than taken
// from the publisher's code so that the check stands on its own: 20.0, 0.5,
// 0.0, then 1, 1, 10, then 1, 2, 3, 0.
constexpr std::array<uint8_t, 43> kStatusTail = {
    0x40, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x0A, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};

// Index of the first non-zero byte in [from, n), or n.
size_t first_nonzero(const uint8_t* p, size_t from, size_t n) {
  static constexpr std::array<uint8_t, kBlock> kZeros{};
  size_t i = from;
  while (i < n) {
    const size_t len = std::min(kBlock, n - i);
    if (std::memcmp(p + i, kZeros.data(), len) != 0) {
      while (p[i] == 0) ++i;
      return i;
    }
    i += len;
  }
  return n;
}

}  // namespace

StatusVerdict validate_status(std::span<const uint8_t> m) {
  if (m.size() != static_cast<size_t>(recstat_t::encoded_size())) return {"wrong size"};
  if (!has_fingerprint<recstat_t>(m.data())) return {"wrong fingerprint"};
  if (std::memcmp(m.data() + 20, kStatusTail.data(), kStatusTail.size()) != 0)
    return {"wrong field value"};
  return {"", read_i64(m.data() + 8)};
}

FrameVerdict FrameValidator::validate(std::span<const uint8_t> m) {
  // The size field is read only once the header is there, and trusted only
  // once the message's length agrees with it.
  if (m.size() < kFrameHeader) return {"wrong size"};
  const uint8_t* p = m.data();
  const auto size = static_cast<int32_t>(read_u32(p + 36));
  if (static_cast<int64_t>(m.size()) != int64_t{kFrameHeader} + size) return {"wrong size"};
  if (!has_fingerprint<tfimage_t>(p)) return {"wrong fingerprint"};
  if (read_u32(p + 16) != 0) return {"int_a is not 0"};
  const auto width = static_cast<int32_t>(read_u32(p + 20));
  const auto height = static_cast<int32_t>(read_u32(p + 24));
  if (width < 1) return {"width is below 1"};
  if (height < 1) return {"height is below 1"};
  if (read_u32(p + 28) != 1) return {"int_b is not 1"};
  if (read_u32(p + 32) != 1) return {"int_c is not 1"};
  // Also makes size at least 1; 64-bit, so the product cannot overflow.
  if (int64_t{width} * height != size) return {"width times height is not size"};

  const uint8_t* pixels = p + kFrameHeader;
  const auto count = static_cast<size_t>(size);
  if (pixels[0] != 255) return {"pixel 0 is not lit"};
  // In a valid frame the second lit byte is at the period; past the end,
  // only byte 0 is lit and the scan has checked every other byte is 0.
  const size_t second = first_nonzero(pixels, 1, count);
  if (second == count) return {"", read_i64(p + 8), -1};
  const auto period = static_cast<int32_t>(second);
  // The reference follows the frames' size: no larger than the message
  // LCM has delivered, and drawn afresh when the size changes.
  if (count != reference_.size()) {
    reference_.assign(count, 0);
    reference_period_ = 0;
  }
  if (period != reference_period_) {
    redraw_pattern(reference_.data(), reference_period_, period, size);
    reference_period_ = period;
  }
  if (std::memcmp(pixels, reference_.data(), count) != 0) return {"pixels off the pattern"};
  return {"", read_i64(p + 8), period};
}

}  // namespace varnock::check
