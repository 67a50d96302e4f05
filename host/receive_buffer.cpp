#include "host/receive_buffer.h"

#include <algorithm>

#include "base/saturating.h"

namespace varnock::host {

BufferNeed buffer_need(int64_t frame_bytes) {
  constexpr int64_t kMiB = 1 << 20;
  const int64_t frame = std::max<int64_t>(frame_bytes, 1);
  const int64_t few = saturating_mul(frame, 4);
  const int64_t suggested =
      std::max<int64_t>(8 * kMiB, saturating_add(few, kMiB - 1) / kMiB * kMiB);
  return {frame, saturating_mul(frame, 2), suggested};
}

int64_t expected_receive_buffer(const bus::LcmUrl& url, int64_t rmem_max, int64_t rmem_default) {
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) return rmem_default;
  return 2 * std::min(*url.recv_buf_size, rmem_max);
}

std::optional<BufferShortfall> receive_buffer_shortfall(const bus::LcmUrl& url,
                                                        std::optional<int64_t> granted,
                                                        int64_t rmem_max, int64_t rmem_default,
                                                        int64_t frame_bytes) {
  if (!url.udpm()) return std::nullopt;
  const BufferNeed need = buffer_need(frame_bytes);
  const int64_t bytes = granted ? *granted : expected_receive_buffer(url, rmem_max, rmem_default);
  if (bytes < 0 || bytes >= need.granted) return std::nullopt;
  BufferShortfall::Cause cause = BufferShortfall::kCappedByRmemMax;
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) {
    cause = BufferShortfall::kNoRequest;
  } else if (*url.recv_buf_size < need.request) {
    cause = BufferShortfall::kRequestBelowFrame;
  }
  return BufferShortfall{bytes, !granted.has_value(), need, cause};
}

}  // namespace varnock::host
