// The kernel's view of the socket LCM's udpm provider receives on: how many
// datagrams the kernel dropped for it, and the receive buffer it granted.
#ifndef VARNOCK_CHECK_SOCKET_STATS_H_
#define VARNOCK_CHECK_SOCKET_STATS_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace varnock::check {

// A row of the kernel's UDP socket table (/proc/net/udp or udp6).
struct UdpRow {
  uint16_t local_port = 0;
  uint64_t rx_queue = 0;  // bytes waiting to be read
  uint64_t inode = 0;
  uint64_t drops = 0;  // datagrams dropped for the socket since it was opened
};

// The row of socket `inode` in the text of a UDP socket table; nullopt when
// no well-formed row has it (malformed rows are skipped).
std::optional<UdpRow> find_udp_row(std::string_view table, uint64_t inode);

// One row of the table, the header and malformed rows give nullopt.
std::optional<UdpRow> parse_udp_row(std::string_view line);

class ReceiveSocket {
 public:
  // This process's UDP socket bound to `port` with SO_REUSEADDR: LCM's udpm
  // receiving socket (its sending socket is bound to no port, or to another,
  // and has no SO_REUSEADDR). LCM 1.3.1 opens it lazily, at the first
  // lcm_subscribe, lcm_get_fileno or lcm_handle on the bus, so find() succeeds
  // only after one of those. nullopt when there is none; with several (two
  // buses on one port), the one with the lowest descriptor.
  static std::optional<ReceiveSocket> find(uint16_t port);

  // Datagrams the kernel has dropped for the socket since it was opened
  // (a full receive buffer, mostly), read from the kernel's table now;
  // -1 when it cannot be read, e.g. once the socket is closed. Any thread.
  int64_t drops() const;

  // The socket's SO_RCVBUF when found: the kernel's limit for the bytes of
  // queued datagrams, overhead included. A request of recv_buf_size is
  // granted as 2 * min(recv_buf_size, net.core.rmem_max); without one it is
  // net.core.rmem_default.
  int64_t receive_buffer_bytes() const { return receive_buffer_bytes_; }

  int fd() const { return fd_; }
  uint64_t inode() const { return inode_; }

 private:
  ReceiveSocket(int fd, uint64_t inode, bool ipv6, int64_t receive_buffer_bytes)
      : fd_(fd), inode_(inode), ipv6_(ipv6), receive_buffer_bytes_(receive_buffer_bytes) {}

  int fd_;
  uint64_t inode_;
  bool ipv6_;
  int64_t receive_buffer_bytes_;
};

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_SOCKET_STATS_H_
