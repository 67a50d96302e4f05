// The receive buffer a frame needs on a udpm socket, and the warning for one
// that is too small.
#ifndef VARNOCK_HOST_RECEIVE_BUFFER_H_
#define VARNOCK_HOST_RECEIVE_BUFFER_H_

#include <cstdint>
#include <optional>
#include <string>

#include "host/lcm_url.h"

namespace varnock::host {

// varnock's encoded frame. The kernel charges each queued datagram its whole
// allocation, about twice its payload for the 64 KB datagrams a frame
// travels in, and grants an SO_RCVBUF request doubled for that overhead. So
// a socket granted twice a frame holds one whole frame while LCM's thread
// drains it. Measured over loopback with varnock at full rate for 3 s: a
// request of one frame (3,276,880 granted) lost nothing, 1,310,720
// (2,621,440 granted) lost a frame, 524,288 (1 MB granted) lost 40% to 97%
// of them.
inline constexpr int64_t kFrameBytes = 1'638'440;

// What a frame of `frame_bytes` (its message) needs of a socket.
struct BufferNeed {
  int64_t request;    // recv_buf_size, and net.core.rmem_max: one frame
  int64_t granted;    // SO_RCVBUF, and net.core.rmem_default: two frames
  int64_t suggested;  // what fixes suggest: room for a few frames, 8 MiB at least
};
BufferNeed buffer_need(int64_t frame_bytes);

// The buffer the kernel grants a socket for `url`: twice its recv_buf_size,
// at most twice net.core.rmem_max; without one, net.core.rmem_default.
int64_t expected_receive_buffer(const LcmUrl& url, int64_t rmem_max, int64_t rmem_default);

// A warning naming the cause and the fix when `granted` (what the kernel gave
// LCM's socket, or nullopt when unknown and so predicted from `url` and the
// sysctls) cannot hold a frame of `frame_bytes`; "" otherwise and for other
// providers.
std::string receive_buffer_warning(const LcmUrl& url, std::optional<int64_t> granted,
                                   int64_t rmem_max, int64_t rmem_default, int64_t frame_bytes);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_RECEIVE_BUFFER_H_
