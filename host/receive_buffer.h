// The receive buffer a frame needs on a udpm socket, and why a socket's
// buffer falls short of one.
#ifndef VARNOCK_HOST_RECEIVE_BUFFER_H_
#define VARNOCK_HOST_RECEIVE_BUFFER_H_

#include <cstdint>
#include <optional>

#include "bus/lcm_url.h"

namespace varnock::host {

// What a frame of `frame_bytes` (its message) needs of a socket. The kernel
// charges each queued datagram its whole allocation, about twice its payload
// for the 64 KB datagrams a frame travels in, and grants an SO_RCVBUF request
// doubled for that overhead. So a socket granted twice a frame holds one
// whole frame while LCM's thread drains it. Measured over loopback with
// varnock at full rate for 3 s: a request of one frame (3,276,880 granted)
// lost nothing, 1,310,720 (2,621,440 granted) lost a frame, 524,288 (1 MB
// granted) lost 40% to 97% of them.
struct BufferNeed {
  int64_t request;    // recv_buf_size, and net.core.rmem_max: one frame
  int64_t granted;    // SO_RCVBUF, and net.core.rmem_default: two frames
  int64_t suggested;  // what fixes suggest: room for a few frames, 8 MiB at least
};
BufferNeed buffer_need(int64_t frame_bytes);

// The buffer the kernel grants a socket for `url`: twice its recv_buf_size,
// at most twice net.core.rmem_max; without one, net.core.rmem_default.
int64_t expected_receive_buffer(const bus::LcmUrl& url, int64_t rmem_max, int64_t rmem_default);

// A socket's buffer too small for a frame, and what keeps it so.
struct BufferShortfall {
  enum Cause {
    kNoRequest,          // the URL sets no recv_buf_size: net.core.rmem_default applies
    kRequestBelowFrame,  // the URL's recv_buf_size is less than a frame
    kCappedByRmemMax,    // net.core.rmem_max caps the URL's recv_buf_size
  };
  int64_t bytes;    // the buffer the socket has, or will have
  bool predicted;   // true: foreseen from the URL and the sysctls, not read of the socket
  BufferNeed need;  // what the frame needs
  Cause cause;
};

// The shortfall when `granted` (what the kernel gave LCM's socket, or nullopt
// when unknown and so predicted from `url` and the sysctls) cannot hold a
// frame of `frame_bytes`; nullopt when it can, when the size is unknown
// (negative), and for providers other than udpm.
std::optional<BufferShortfall> receive_buffer_shortfall(const bus::LcmUrl& url,
                                                        std::optional<int64_t> granted,
                                                        int64_t rmem_max, int64_t rmem_default,
                                                        int64_t frame_bytes);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_RECEIVE_BUFFER_H_
