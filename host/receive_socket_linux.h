// The socket LCM's udpm provider receives on, as Linux sees it.
#ifndef VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_
#define VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_

#include <cstdint>
#include <memory>

#include "host/host.h"

namespace varnock::host {

// This process's UDP socket bound to `port` with SO_REUSEADDR: LCM's udpm
// receiving socket (its sending socket is bound to no port, or to another,
// and has no SO_REUSEADDR); null when there is none. With several (two buses
// on one port), the one with the lowest descriptor. Its counters come from
// getsockopt(SO_MEMINFO) on the descriptor, and only while the descriptor
// still holds that socket: one closed and reused reads as unknown.
std::unique_ptr<ReceiveCounters> find_receive_socket(uint16_t port);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_
