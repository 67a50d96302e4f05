#include "messages/recstat_t.h"

#include "messages/encoding.h"

namespace varnock {

int32_t recstat_t::encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const {
  PayloadWriter w(buffer + offset, capacity);
  const bool ok = w.put_i64(timestamp) && w.put_i32(int_a) && w.put_f64(real_a) &&
                  w.put_f64(real_b) && w.put_f64(real_c) && w.put_i8(byte_a) && w.put_i8(byte_b) &&
                  w.put_i8(byte_c) && w.put_i32(int_b) && w.put_i32(int_c) && w.put_i32(int_d) &&
                  w.put_i32(int_e);
  return ok ? w.written() : -1;
}

}  // namespace varnock
