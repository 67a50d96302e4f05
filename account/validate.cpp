#include "account/validate.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "messages/encoding.h"
#include "messages/recstat_t.h"
#include "messages/tfimage_t.h"

namespace varnock::account {
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

// Whether the `n` bytes at `p` are all zero: compared with a block of
// zeros, so that the bytes are read once, at memcmp's speed.
bool all_zero(const uint8_t* p, size_t n) {
  static constexpr std::array<uint8_t, kBlock> kZeros{};
  for (size_t i = 0; i < n; i += kBlock) {
    if (std::memcmp(p + i, kZeros.data(), std::min(kBlock, n - i)) != 0) return false;
  }
  return true;
}

// Index of the first non-zero byte in [from, n), or n.
size_t first_nonzero(const uint8_t* p, size_t from, size_t n) {
  for (size_t i = from; i < n; i += kBlock) {
    const size_t len = std::min(kBlock, n - i);
    if (!all_zero(p + i, len)) {
      while (p[i] == 0) ++i;
      return i;
    }
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

FrameValidator::FrameValidator() : tile_(std::make_unique<uint8_t[]>(size_t{2} * kMinTile)) {}

bool FrameValidator::follows_pattern(const uint8_t* pixels, size_t count, int32_t period) {
  const auto step = static_cast<size_t>(period);
  if (period >= kMinTile) {
    // Few lit bytes, long gaps: each gap is scanned for zero.
    for (size_t i = step; i < count; i += step) {
      if (pixels[i] != 255 || !all_zero(pixels + i + 1, std::min(step - 1, count - i - 1))) {
        return false;
      }
    }
    return true;
  }
  if (period != tile_period_) {
    // The pattern from 0 repeats every whole number of periods.
    tile_size_ = (kMinTile + period - 1) / period * period;
    std::memset(tile_.get(), 0, static_cast<size_t>(tile_size_));
    for (int32_t i = 0; i < tile_size_; i += period) tile_[static_cast<size_t>(i)] = 255;
    tile_period_ = period;
  }
  const auto tile = static_cast<size_t>(tile_size_);
  for (size_t i = 0; i < count; i += tile) {
    if (std::memcmp(pixels + i, tile_.get(), std::min(tile, count - i)) != 0) return false;
  }
  return true;
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
  // In a valid frame the second lit byte is at the period, and the bytes
  // before it are the pattern's first period; past the end, only byte 0 is
  // lit and the scan has checked every other byte is 0.
  const size_t second = first_nonzero(pixels, 1, count);
  if (second == count) return {"", read_i64(p + 8), -1, size};
  const auto period = static_cast<int32_t>(second);
  if (!follows_pattern(pixels, count, period)) return {"pixels off the pattern"};
  return {"", read_i64(p + 8), period, size};
}

}  // namespace varnock::account
