// recstat_t: the fixed 63-byte status record published on "RECSTAT".
#ifndef VARNOCK_MESSAGES_RECSTAT_T_H_
#define VARNOCK_MESSAGES_RECSTAT_T_H_

#include <cstdint>

namespace varnock {

struct recstat_t {
  static constexpr uint64_t fingerprint = 0xC588205A3FCED597;
  static constexpr int32_t kPayloadSize = 55;

  int64_t timestamp = 0;  // calendar seconds since 1970
  int32_t int_a = 0;
  double real_a = 0;
  double real_b = 0;
  double real_c = 0;
  int8_t byte_a = 0;
  int8_t byte_b = 0;
  int8_t byte_c = 0;
  int32_t int_b = 0;
  int32_t int_c = 0;
  int32_t int_d = 0;
  int32_t int_e = 0;

  // Fingerprint plus payload: always 63.
  static constexpr int64_t encoded_size() { return 8 + kPayloadSize; }

  // Writes the payload at buffer + offset; returns 55, or -1 when `capacity`
  // runs short before a field (the fields before it stay written).
  int32_t encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const;
};

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_RECSTAT_T_H_
