// Fuzzes encode_payload of both message types with any field values, any
// `size` against the bytes in `data`, and any `offset` and `capacity`, and
// checks the bounds rule: nothing is written outside
// [buffer + offset, buffer + offset + capacity), and the result is -1 or the
// number of bytes written.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "messages/recstat_t.h"
#include "messages/tfimage_t.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

void require(bool condition) {
  if (!condition) std::abort();
}

varnock::recstat_t status_from(FuzzedDataProvider& in) {
  varnock::recstat_t r;
  r.timestamp = in.ConsumeIntegral<int64_t>();
  r.int_a = in.ConsumeIntegral<int32_t>();
  r.real_a = in.ConsumeFloatingPoint<double>();
  r.real_b = in.ConsumeFloatingPoint<double>();
  r.real_c = in.ConsumeFloatingPoint<double>();
  r.byte_a = in.ConsumeIntegral<int8_t>();
  r.byte_b = in.ConsumeIntegral<int8_t>();
  r.byte_c = in.ConsumeIntegral<int8_t>();
  r.int_b = in.ConsumeIntegral<int32_t>();
  r.int_c = in.ConsumeIntegral<int32_t>();
  r.int_d = in.ConsumeIntegral<int32_t>();
  r.int_e = in.ConsumeIntegral<int32_t>();
  return r;
}

varnock::tfimage_t image_from(FuzzedDataProvider& in, int32_t* size) {
  varnock::tfimage_t f;
  f.timestamp = in.ConsumeIntegral<int64_t>();
  f.int_a = in.ConsumeIntegral<int32_t>();
  f.width = in.ConsumeIntegral<int32_t>();
  f.height = in.ConsumeIntegral<int32_t>();
  f.int_b = in.ConsumeIntegral<int32_t>();
  f.int_c = in.ConsumeIntegral<int32_t>();
  // Mostly near the data's length, sometimes anything at all.
  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 600));
  f.size = in.ConsumeBool() ? static_cast<int32_t>(bytes.size()) + in.ConsumeIntegralInRange(-3, 3)
                            : in.ConsumeIntegral<int32_t>();
  f.data.assign(bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), f.data.begin());
  *size = f.size;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
  FuzzedDataProvider in(data, length);
  const bool image = in.ConsumeBool();
  const auto offset_seed = in.ConsumeIntegral<int32_t>();
  const auto capacity = in.ConsumeIntegral<int32_t>();
  int32_t size = 0;
  varnock::tfimage_t frame;
  varnock::recstat_t status;
  if (image) {
    frame = image_from(in, &size);
  } else {
    status = status_from(in);
  }

  // The most a correct encoder can write, and an arena with room for it on
  // either side of any offset chosen below.
  const int64_t most = image ? 32 + static_cast<int64_t>(frame.data.size()) : 55;
  std::vector<uint8_t> arena(static_cast<size_t>(3 * most + 64), kGuard);
  uint8_t* buffer = arena.data() + most + 32;
  const int64_t offset = -(most + 32) + std::abs(int64_t{offset_seed}) % (2 * most + 33);
  uint8_t* start = buffer + offset;

  const int32_t result =
      image ? frame.encode_payload(buffer, static_cast<int32_t>(offset), capacity)
            : status.encode_payload(buffer, static_cast<int32_t>(offset), capacity);

  const int64_t payload = image ? 32 + std::max<int64_t>(size, 0) : 55;
  const bool fits =
      capacity >= payload && (!image || size <= static_cast<int64_t>(frame.data.size()));
  require(result == (fits ? payload : -1));
  // Written bytes stay inside [start, start + capacity), and inside the result.
  int64_t allowed =
      std::max<int64_t>(0, std::min<int64_t>(capacity, arena.data() + arena.size() - start));
  if (result >= 0) allowed = std::min<int64_t>(allowed, result);
  for (size_t i = 0; i < arena.size(); ++i) {
    const int64_t at = static_cast<int64_t>(i) - (start - arena.data());
    if (at < 0 || at >= allowed) require(arena[i] == kGuard);
  }
  return 0;
}
