// varnock-check's warning for a receive buffer too small for the frames it
// receives, worded from what host/receive_buffer.h finds.
#ifndef VARNOCK_CHECK_RECEIVE_BUFFER_WARNING_H_
#define VARNOCK_CHECK_RECEIVE_BUFFER_WARNING_H_

#include <cstdint>
#include <optional>
#include <string>

#include "bus/lcm_url.h"

namespace varnock::check {

// A warning naming the cause and the fix when `granted` (what the kernel gave
// LCM's socket, or nullopt when unknown and so predicted from `url` and the
// sysctls) cannot hold a frame of `frame_bytes`; "" otherwise and for other
// providers.
std::string receive_buffer_warning(const bus::LcmUrl& url, std::optional<int64_t> granted,
                                   int64_t rmem_max, int64_t rmem_default, int64_t frame_bytes);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_RECEIVE_BUFFER_WARNING_H_
