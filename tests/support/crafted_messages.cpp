#include "tests/support/crafted_messages.h"

#include "messages/cycle.h"
#include "messages/encoding.h"

namespace varnock::testing {

Bytes frame(int32_t period, int64_t ms, FrameSize size) {
  TestPatternFrames frames(size, period);
  const auto bytes = frames.next(ms).encoded_in_place();
  return Bytes(bytes.begin(), bytes.end());
}

Bytes status(int64_t second) {
  Bytes m(63);
  store_big_endian<8>(m.data(), recstat_t::fingerprint);
  status_record(second).encode_payload(m.data(), 8, 55);
  return m;
}

}  // namespace varnock::testing
