#include "check/receive_buffer_warning.h"

#include "host/receive_buffer.h"

namespace varnock::check {

std::string receive_buffer_warning(const bus::LcmUrl& url, std::optional<int64_t> granted,
                                   int64_t rmem_max, int64_t rmem_default, int64_t frame_bytes) {
  const std::optional<host::BufferShortfall> s =
      host::receive_buffer_shortfall(url, granted, rmem_max, rmem_default, frame_bytes);
  if (!s) return "";
  std::string w = "varnock-check: warning: the kernel ";
  w += s->predicted ? "will grant" : "granted";
  w += " LCM's socket a receive buffer of " + std::to_string(s->bytes) + " bytes, below the " +
       std::to_string(s->need.granted) + " that a frame of " + std::to_string(frame_bytes) +
       " bytes needs: frames will be lost. ";
  const std::string suggested = std::to_string(s->need.suggested);
  switch (s->cause) {
    case host::BufferShortfall::kNoRequest:
      w += "The URL sets no recv_buf_size, so the socket gets net.core.rmem_default: add "
           "recv_buf_size=" +
           suggested + " to the URL";
      break;
    case host::BufferShortfall::kRequestBelowFrame:
      w += "recv_buf_size=" + std::to_string(*url.recv_buf_size) +
           " in the URL is less than a frame: ask for recv_buf_size=" + suggested;
      break;
    case host::BufferShortfall::kCappedByRmemMax:
      w += "net.core.rmem_max (" + std::to_string(rmem_max) +
           ") caps the URL's recv_buf_size: raise it (sysctl -w net.core.rmem_max=" + suggested +
           ")";
      break;
  }
  return w + ".\n";
}

}  // namespace varnock::check
