// Validation of received messages against what varnock publishes: every byte
// of a status record or an image frame is checked.
#ifndef VARNOCK_ACCOUNT_VALIDATE_H_
#define VARNOCK_ACCOUNT_VALIDATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace varnock::account {

struct StatusVerdict {
  std::string_view problem;  // empty when valid
  int64_t timestamp = 0;     // seconds, when valid
  bool valid() const { return problem.empty(); }
};

struct FrameVerdict {
  std::string_view problem;  // empty when valid
  int64_t timestamp_ms = 0;  // when valid
  int32_t period = -1;       // the frame's sequence number; -1 when only byte 0 is lit
  int64_t pixels = 0;        // width x height, when valid
  bool valid() const { return problem.empty(); }
};

// A status record: 63 bytes, its fingerprint, and the fixed values of every
// field but the timestamp (and int_a, whose value publishers may choose).
StatusVerdict validate_status(std::span<const uint8_t> message);

// Image frames of any size: 40 + size bytes, the fingerprint, the fixed
// header fields, width and height at least 1 with width x height = size, and
// `size` pixels lit (255) exactly at the multiples of some period, 0
// elsewhere.
// The pixels are read once: a short period's pattern repeats a small tile,
// which they are compared with piece by piece; a long one's lit bytes are
// checked one by one and the gaps between them for zero.
class FrameValidator {
 public:
  // Tiles are at least this long (a whole number of periods); longer periods
  // are checked gap by gap.
  static constexpr int32_t kMinTile = 4096;

  FrameValidator();
  FrameVerdict validate(std::span<const uint8_t> message);

 private:
  // Whether the `count` pixels follow the pattern of `period` (below
  // `count`), given that the first `period` of them do.
  bool follows_pattern(const uint8_t* pixels, size_t count, int32_t period);

  std::unique_ptr<uint8_t[]> tile_;  // 2 * kMinTile bytes
  int32_t tile_period_ = 0;          // the period tile_ holds; 0 for none
  int32_t tile_size_ = 0;            // a whole number of periods, at least kMinTile
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_VALIDATE_H_
