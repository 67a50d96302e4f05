// Validation of received messages against what varnock publishes: every byte
// of a status record or an image frame is checked.
#ifndef VARNOCK_CHECK_VALIDATE_H_
#define VARNOCK_CHECK_VALIDATE_H_

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace varnock::check {

struct StatusVerdict {
  std::string_view problem;  // empty when valid
  int64_t timestamp = 0;     // seconds, when valid
  bool valid() const { return problem.empty(); }
};

struct FrameVerdict {
  std::string_view problem;  // empty when valid
  int64_t timestamp_ms = 0;  // when valid
  int32_t period = -1;       // the frame's sequence number; -1 when only byte 0 is lit
  bool valid() const { return problem.empty(); }
};

// A status record: 63 bytes, its fingerprint, and the fixed values of every
// field but the timestamp (and int_a, whose value publishers may choose).
StatusVerdict validate_status(std::span<const uint8_t> message);

// Image frames of any size: 40 + size bytes, the fingerprint, the fixed
// header fields, width and height at least 1 with width x height = size, and
// `size` pixels lit (255) exactly at the multiples of some period, 0
// elsewhere. The pixels are compared with a reference pattern kept from
// frame to frame, which consecutive periods change only a little; it holds
// as many bytes as the last valid-looking frame's pixels.
class FrameValidator {
 public:
  FrameVerdict validate(std::span<const uint8_t> message);

 private:
  std::vector<uint8_t> reference_;
  int32_t reference_period_ = 0;  // 0: reference_ is all zero
};

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_VALIDATE_H_
