// The socket LCM's udpm provider receives on, as Linux sees it.
#ifndef VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_
#define VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "host/host.h"

namespace varnock::host {

// This process's UDP socket bound to `port` with SO_REUSEADDR: LCM's udpm
// receiving socket (its sending socket is bound to no port, or to another,
// and has no SO_REUSEADDR); null when there is none. With several (two buses
// on one port), the one with the lowest descriptor. Its counters come from
// getsockopt(SO_MEMINFO) on the descriptor, else from the socket's line of
// /proc/self/net/udp or udp6, and only while the descriptor still holds that
// socket: one closed and reused reads as unknown.
std::unique_ptr<ReceiveCounters> find_receive_socket(uint16_t port);

// The drops column of the line for socket `inode` in `table`, text laid out
// as /proc/net/udp and udp6 are; -1 when no well-formed line has it.
int64_t udp_table_drops(std::string_view table, ino_t inode);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_RECEIVE_SOCKET_LINUX_H_
