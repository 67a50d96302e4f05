#include "messages/tfimage_t.h"

#include "messages/encoding.h"

namespace varnock {

bool tfimage_t::encode_header(PayloadWriter& w) const {
  return w.put_i64(timestamp) && w.put_i32(int_a) && w.put_i32(width) && w.put_i32(height) &&
         w.put_i32(int_b) && w.put_i32(int_c) && w.put_i32(size);
}

int32_t tfimage_t::encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const {
  PayloadWriter w(buffer + offset, capacity);
  if (!encode_header(w)) return -1;
  // The length field is trusted for the wire, never for reading memory.
  if (size > 0 && static_cast<uint64_t>(size) > data.size()) return -1;
  return w.put_bytes(data.data(), size) ? w.written() : -1;
}

std::span<const uint8_t> tfimage_t::encoded_in_place() {
  if (size <= 0 || static_cast<uint64_t>(size) != data.size()) return {};
  uint8_t* message = data.headroom();
  store_big_endian<8>(message, fingerprint);
  PayloadWriter w(message + 8, kHeaderSize);
  encode_header(w);
  return {message, static_cast<size_t>(encoded_size())};
}

}  // namespace varnock
