// tfimage_t: an image frame, a fixed header followed by `size` pixel bytes,
// published on "TFIMAGE".
#ifndef VARNOCK_MESSAGES_TFIMAGE_T_H_
#define VARNOCK_MESSAGES_TFIMAGE_T_H_

#include <cstdint>
#include <span>

#include "messages/headroom_bytes.h"

namespace varnock {

class PayloadWriter;

struct tfimage_t {
  static constexpr uint64_t fingerprint = 0xA348F4250C8B9CEF;
  static constexpr int32_t kHeaderSize = 32;

  int64_t timestamp = 0;  // wall-clock milliseconds since 1970
  int32_t int_a = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t int_b = 0;
  int32_t int_c = 0;
  int32_t size = 0;  // bytes of `data` on the wire; kept equal to data.size()
  // Pixels, with room in front for the fingerprint and header.
  HeadroomBytes<8 + kHeaderSize> data;

  // Fingerprint, header and `size` bytes of data (none when size <= 0).
  int64_t encoded_size() const { return 8 + kHeaderSize + (size > 0 ? int64_t{size} : 0); }

  // Writes the payload at buffer + offset; returns 32 + size (32 when
  // size <= 0), or -1 when `capacity` runs short before a field or when
  // `size` exceeds the bytes held in `data` (then the pixels are not written).
  int32_t encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const;

  // The whole encoded message in one piece, made by writing the fingerprint
  // and header into the room in front of `data`, which is not copied; valid
  // until `data` or the header changes. Empty when `size` is not positive or
  // differs from data.size().
  std::span<const uint8_t> encoded_in_place();

 private:
  bool encode_header(PayloadWriter& w) const;
};

// varnock's frames, one byte a pixel, and their size on the wire: what every
// program assumes of a frame it has not seen.
inline constexpr int32_t kFrameWidth = 1280;
inline constexpr int32_t kFrameHeight = 1280;
inline constexpr int32_t kFramePixels = kFrameWidth * kFrameHeight;
inline constexpr int64_t kFrameBytes = 8 + tfimage_t::kHeaderSize + int64_t{kFramePixels};

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_TFIMAGE_T_H_
