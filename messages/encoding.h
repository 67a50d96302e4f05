// Wire encoding shared by every message: big-endian fields, a bounds-checked
// payload writer, and publish_message, the one way a record reaches the bus.
#ifndef VARNOCK_MESSAGES_ENCODING_H_
#define VARNOCK_MESSAGES_ENCODING_H_

#include <lcm/lcm.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string_view>

namespace varnock {

// Stores `value` at `out` as `Width` bytes, most significant byte first.
template <int Width>
inline void store_big_endian(uint8_t* out, uint64_t value) {
  for (int i = Width - 1; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

// Appends fields to a payload of `capacity` bytes under the bounds rule: a
// field that does not fit in what remains fails the writer and writes nothing;
// fields already written stay.
class PayloadWriter {
 public:
  PayloadWriter(uint8_t* out, int32_t capacity) : out_(out), capacity_(capacity) {}

  bool put_i8(int8_t v) { return put<1>(static_cast<uint8_t>(v)); }
  bool put_i16(int16_t v) { return put<2>(static_cast<uint16_t>(v)); }
  bool put_i32(int32_t v) { return put<4>(static_cast<uint32_t>(v)); }
  bool put_i64(int64_t v) { return put<8>(static_cast<uint64_t>(v)); }
  bool put_f64(double v) { return put<8>(std::bit_cast<uint64_t>(v)); }

  // Copies `n` bytes; n <= 0 writes nothing and always succeeds.
  bool put_bytes(const uint8_t* data, int32_t n) {
    if (n <= 0) return true;
    if (remaining() < n) return false;
    std::memcpy(out_ + written_, data, static_cast<size_t>(n));
    written_ += n;
    return true;
  }

  // An LCM string: its length with the terminating NUL as an int32, the
  // bytes, then the NUL; all of it or, when it does not fit, nothing.
  bool put_string(std::string_view s) {
    if (s.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() - 1)) return false;
    const int32_t length = static_cast<int32_t>(s.size()) + 1;
    if (remaining() < int64_t{4} + length) return false;
    put<4>(static_cast<uint32_t>(length));
    if (!s.empty()) std::memcpy(out_ + written_, s.data(), s.size());
    written_ += length - 1;
    out_[written_++] = 0;
    return true;
  }

  int32_t written() const { return written_; }

 private:
  int64_t remaining() const { return int64_t{capacity_} - written_; }

  template <int Width>
  bool put(uint64_t bits) {
    if (remaining() < Width) return false;
    store_big_endian<Width>(out_ + written_, bits);
    written_ += Width;
    return true;
  }

  uint8_t* out_;
  int32_t capacity_;
  int32_t written_ = 0;
};

// Encodes `message` (fingerprint, then payload) into a buffer of exactly its
// encoded size, or in place when the message offers that and is not const,
// and publishes it on `channel`. Returns lcm_publish's result, or -1 without
// publishing when the message cannot be encoded.
template <typename Message>
int publish_message(lcm_t* instance, const char* channel, Message& message) {
  // A message that can lay itself out in one piece goes to the bus as it is,
  // saving the allocation and the copy of its byte array.
  if constexpr (requires { message.encoded_in_place(); }) {
    const std::span<const uint8_t> bytes = message.encoded_in_place();
    if (!bytes.empty()) {
      return lcm_publish(instance, channel, bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
  }
  const int64_t n = message.encoded_size();
  if (n < 8 || n > std::numeric_limits<int32_t>::max()) return -1;
  // Every byte is written by the encoder, so the buffer is not zero-filled.
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n));
  store_big_endian<8>(buffer.get(), Message::fingerprint);
  const int32_t payload = static_cast<int32_t>(n - 8);
  if (message.encode_payload(buffer.get(), 8, payload) != payload) return -1;
  return lcm_publish(instance, channel, buffer.get(), static_cast<unsigned int>(n));
}

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_ENCODING_H_
