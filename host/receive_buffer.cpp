#include "host/receive_buffer.h"

#include <algorithm>

namespace varnock::host {

int64_t expected_receive_buffer(const LcmUrl& url, int64_t rmem_max, int64_t rmem_default) {
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) return rmem_default;
  return 2 * std::min(*url.recv_buf_size, rmem_max);
}

std::string receive_buffer_warning(const LcmUrl& url, std::optional<int64_t> granted,
                                   int64_t rmem_max, int64_t rmem_default) {
  if (!url.udpm()) return "";
  const int64_t bytes = granted ? *granted : expected_receive_buffer(url, rmem_max, rmem_default);
  if (bytes < 0 || bytes >= kGrantedNeed) return "";
  std::string w = "varnock-check: warning: the kernel ";
  w += granted ? "granted" : "will grant";
  w += " LCM's socket a receive buffer of " + std::to_string(bytes) + " bytes, below the " +
       std::to_string(kGrantedNeed) + " that a frame of " + std::to_string(kFrameBytes) +
       " bytes needs: frames will be lost. ";
  const std::string suggested = std::to_string(kSuggestedBuffer);
  if (!url.recv_buf_size || *url.recv_buf_size <= 0) {
    w += "The URL sets no recv_buf_size, so the socket gets net.core.rmem_default: add "
         "recv_buf_size=" +
         suggested + " to the URL";
  } else if (*url.recv_buf_size < kRequestNeed) {
    w += "recv_buf_size=" + std::to_string(*url.recv_buf_size) +
         " in the URL is less than a frame: ask for recv_buf_size=" + suggested;
  } else {
    w += "net.core.rmem_max (" + std::to_string(rmem_max) +
         ") caps the URL's recv_buf_size: raise it (sysctl -w net.core.rmem_max=" + suggested + ")";
  }
  return w + ".\n";
}

}  // namespace varnock::host
