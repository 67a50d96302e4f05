#include "host/receive_buffer.h"

#include <algorithm>

#include "account/saturating.h"

namespace varnock::host {

BufferNeed buffer_need(int64_t frame_bytes) {
  constexpr int64_t kMiB = 1 << 20;
  const int64_t frame = std::max<int64_t>(frame_bytes, 1);
  const int64_t few = account::saturating_mul(frame, 4);
  const int64_t suggested =
      std::max<int64_t>(8 * kMiB, account::saturating_add(few, kMiB - 1) / kMiB * kMiB);
  return {frame, account::saturating_mul(frame, 2), suggested};
}

int64_t expected_receive_buffer(const LcmUrl& url, int64_t rmem_max, int64_t rmem_default) {
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) return rmem_default;
  return 2 * std::min(*url.recv_buf_size, rmem_max);
}

std::string receive_buffer_warning(const LcmUrl& url, std::optional<int64_t> granted,
                                   int64_t rmem_max, int64_t rmem_default, int64_t frame_bytes) {
  if (!url.udpm()) return "";
  const BufferNeed need = buffer_need(frame_bytes);
  const int64_t bytes = granted ? *granted : expected_receive_buffer(url, rmem_max, rmem_default);
  if (bytes < 0 || bytes >= need.granted) return "";
  std::string w = "varnock-check: warning: the kernel ";
  w += granted ? "granted" : "will grant";
  w += " LCM's socket a receive buffer of " + std::to_string(bytes) + " bytes, below the " +
       std::to_string(need.granted) + " that a frame of " + std::to_string(frame_bytes) +
       " bytes needs: frames will be lost. ";
  const std::string suggested = std::to_string(need.suggested);
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) {
    w += "The URL sets no recv_buf_size, so the socket gets net.core.rmem_default: add "
         "recv_buf_size=" +
         suggested + " to the URL";
  } else if (*url.recv_buf_size < need.request) {
    w += "recv_buf_size=" + std::to_string(*url.recv_buf_size) +
         " in the URL is less than a frame: ask for recv_buf_size=" + suggested;
  } else {
    w += "net.core.rmem_max (" + std::to_string(rmem_max) +
         ") caps the URL's recv_buf_size: raise it (sysctl -w net.core.rmem_max=" + suggested + ")";
  }
  return w + ".\n";
}

}  // namespace varnock::host
